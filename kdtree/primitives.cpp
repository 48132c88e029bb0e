// The builder's views of the scene's triangles and spheres: bounds, centres,
// growing a box, and overlap with a box.
#include <cmath>

#include "geometry.h"
#include "kdtree.h"

namespace RAYTR {

using TAU_MATH::VECTOR;
using build::kd_margin;
using build::max3;
using build::min3;

namespace {

constexpr float third = 0.33333334f;

inline const float* triangle_corner(const KdTree* owner, uint32_t k, int c)
{
    return owner->vertices[owner->indices[k + c]].pos.v;
}

} // namespace

bool KdTree::KTriangle::OverlapsBox(const KdTreeBox& box) const
{
    return build::triangle_overlaps_box(triangle_corner(owner, index, 0), triangle_corner(owner, index, 1),
                                 triangle_corner(owner, index, 2), box);
}

void KdTree::KTriangle::ExtendBox(KdTreeBox& box) const
{
    for (int c = 0; c < 3; ++c) {
        const float* p = triangle_corner(owner, index, c);
        for (int a = 0; a < 3; ++a) {
            if (box.min[a] > p[a])
                box.min[a] = p[a] - kd_margin;
            if (box.max[a] < p[a])
                box.max[a] = p[a] + kd_margin;
        }
    }
}

VECTOR<4, float> KdTree::KTriangle::GetCenter() const
{
    const VECTOR<4, float>& p0 = owner->vertices[owner->indices[index]].pos;
    const VECTOR<4, float>& p1 = owner->vertices[owner->indices[index + 1]].pos;
    const VECTOR<4, float>& p2 = owner->vertices[owner->indices[index + 2]].pos;
    return (p1 + p0 + p2) * third;
}

float KdTree::KTriangle::GetMax(int axis) const
{
    return max3(triangle_corner(owner, index, 0)[axis], triangle_corner(owner, index, 1)[axis],
                triangle_corner(owner, index, 2)[axis]);
}

float KdTree::KTriangle::GetMin(int axis) const
{
    return min3(triangle_corner(owner, index, 0)[axis], triangle_corner(owner, index, 1)[axis],
                triangle_corner(owner, index, 2)[axis]);
}

bool KdTree::KSphere::OverlapsBox(const KdTreeBox& box) const
{
    const auto& s = owner->spheres[index];
    return build::sphere_overlaps_box(s.center, s.radius, box);
}

void KdTree::KSphere::ExtendBox(KdTreeBox& box) const
{
    const auto& s = owner->spheres[index];
    for (int a = 0; a < 3; ++a) {
        const float lo = s.center[a] - s.radius;
        if (lo < box.min[a])
            box.min[a] = lo - kd_margin;
        const float hi = s.center[a] + s.radius;
        if (hi > box.max[a])
            box.max[a] = hi + kd_margin;
    }
}

VECTOR<4, float> KdTree::KSphere::GetCenter() const { return owner->spheres[index].center; }

float KdTree::KSphere::GetMax(int axis) const
{
    const auto& s = owner->spheres[index];
    return s.center[axis] + s.radius;
}

float KdTree::KSphere::GetMin(int axis) const
{
    const auto& s = owner->spheres[index];
    return s.center[axis] - s.radius;
}

} // namespace RAYTR
