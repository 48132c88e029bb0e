// Primitive-box overlap for the kd-tree build.
#include "geometry.h"

#include <cmath>

namespace RAYTR {
namespace build {

bool triangle_overlaps_box(const float* p0, const float* p1, const float* p2, const KdTreeBox& box)
{
    const float p[3][3] = {{p0[0], p0[1], p0[2]}, {p1[0], p1[1], p1[2]}, {p2[0], p2[1], p2[2]}};
    return triangle_box_overlap<float>(p, box);
}

bool sphere_overlaps_box(const TAU_MATH::VECTOR<4, float>& c, float r, const KdTreeBox& box)
{
    for (int a = 0; a < 3; ++a) {
        const float m = (box.min[a] + box.max[a]) * 0.5f;
        const float h = (box.max[a] - box.min[a]) * 0.5f;
        const float d = m - c[a];
        if (!(std::fabs(d) < r + h))
            return false;
    }
    return true;
}

} // namespace build
} // namespace RAYTR
