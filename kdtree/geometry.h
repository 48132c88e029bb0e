// Primitive geometry of the kd-tree build: the margin that keeps bounds and
// candidates off the primitives, and the primitive-box overlap tests.
#pragma once

#include <cstdint>

#include "../engine/tau_math.h"
#include "kdtree_format.h"

namespace RAYTR {
namespace build {

// 9.99999997e-07: distance of a split candidate, or of a grown box bound,
// from the primitive's own bound.
constexpr float kd_margin = 1e-6f;

inline float min3(float a, float b, float c)
{
    float m = a;
    if (b < m)
        m = b;
    if (c < m)
        m = c;
    return m;
}

inline float max3(float a, float b, float c)
{
    float m = a;
    if (b > m)
        m = b;
    if (c > m)
        m = c;
    return m;
}

// Akenine-Möller's separating-axis triangle-box test on corners p0, p1, p2
// (x, y, z each). Touching counts as overlapping.
bool triangle_overlaps_box(const float* p0, const float* p1, const float* p2, const KdTreeBox& box);

// The sphere's bounding cube against the box, strictly: a cube that only
// touches a face does not overlap.
bool sphere_overlaps_box(const TAU_MATH::VECTOR<4, float>& center, float radius, const KdTreeBox& box);

} // namespace build
} // namespace RAYTR
