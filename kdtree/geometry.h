// Primitive geometry of the kd-tree build: the margin that keeps bounds and
// candidates off the primitives, and the primitive-box overlap tests.
#pragma once

#include <cstdint>

#include "../engine/tau_math.h"
#include "../simd/lanes.h"
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

// Box-space coordinates t0, t1, t2 of the corners on one axis and the box's
// half-size h on it: the box face on that axis separates the triangle (one of
// the tests below, alone enough to answer no).
template <class F>
koru::rt::mask_of<F> apart_on_axis(F t0, F t1, F t2, F h)
{
    using koru::rt::either;
    using koru::rt::max_or_bound;
    using koru::rt::min_or_bound;
    return either(min_or_bound(t2, min_or_bound(t1, t0)) > h, max_or_bound(t2, max_or_bound(t1, t0)) < F(-0.0f) - h);
}

// Coordinates of corners and boxes up to this size keep every quantity of
// the triangle-box test finite, products and sums included.
constexpr float overlap_finite_limit = 1e9f;

// Akenine-Möller's separating-axis triangle-box test, written once over the
// lane type (float, or the four-wide float4 of simd/simd.h: four triangles
// against one box, each lane with the scalar answer). p[c][a] is axis a of
// corner c. Touching counts as overlapping. Every projection is computed from
// all three corners, so no rounding shortcut enters; the separations are
// combined as a whole, so their order does not change the answer.
//
// Finite: the caller guarantees corners and box within overlap_finite_limit.
// The axes unit x edge then have one zero component, whose products are
// zeros that change no sum, and the test skips them with the same answer.
// And a triangle whose box-space corners all lie within the half-sizes
// overlaps: on every axis below, each product of a corner coordinate is at
// most the matching product of the half-size (rounding keeps the order), so
// no projection reaches beyond the radius and the plane's offset stays
// within the box's reach; with try_inside the test stops as soon as that
// settles every lane.
template <class F, bool Finite = false>
koru::rt::mask_of<F> triangle_box_overlap(const F (&p)[3][3], const KdTreeBox& box, bool try_inside = false)
{
    using koru::rt::andnot;
    using koru::rt::both;
    using koru::rt::either;
    using koru::rt::max_or_bound;
    using koru::rt::min_or_bound;
    using koru::rt::none;
    using koru::rt::select;
    using M = koru::rt::mask_of<F>;
    // Exactly -x and |x| but for the sign of a zero or a NaN, which no
    // comparison below can see.
    const auto neg = [](F x) { return F(-0.0f) - x; };
    const auto abs = [neg](F x) { return max_or_bound(x, neg(x)); };
    const auto dot = [](const F (&u)[3], const F (&v)[3]) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
    const auto cross = [](const F (&u)[3], const F (&v)[3], F (&r)[3]) {
        r[0] = u[1] * v[2] - u[2] * v[1];
        r[1] = u[2] * v[0] - u[0] * v[2];
        r[2] = u[0] * v[1] - u[1] * v[0];
    };
    const auto low3 = [](F a, F b, F c) { return min_or_bound(c, min_or_bound(b, a)); };
    const auto high3 = [](F a, F b, F c) { return max_or_bound(c, max_or_bound(b, a)); };

    // Corners and edges in box space.
    F h[3], t[3][3], e[3][3];
    for (int a = 0; a < 3; ++a) {
        const F m((box.min[a] + box.max[a]) * 0.5f);
        h[a] = F((box.max[a] - box.min[a]) * 0.5f);
        for (int c = 0; c < 3; ++c)
            t[c][a] = p[c][a] - m;
    }
    for (int a = 0; a < 3; ++a) {
        e[0][a] = t[1][a] - t[0][a];
        e[1][a] = t[2][a] - t[1][a];
        e[2][a] = t[0][a] - t[2][a];
    }

    // Box faces.
    M alive(true);
    for (int a = 0; a < 3; ++a)
        alive = andnot(alive, apart_on_axis(t[0][a], t[1][a], t[2][a], h[a]));
    if (none(alive))
        return alive;
    if (Finite && try_inside) {
        M inside(true);
        for (int a = 0; a < 3; ++a)
            for (int c = 0; c < 3; ++c)
                inside = both(inside, both(t[c][a] <= h[a], t[c][a] >= neg(h[a])));
        if (none(andnot(alive, inside)))
            return alive;
    }

    // Nine axes: unit axis x edge.
    const auto apart_along = [&](F q0, F q1, F q2, F rad) {
        return either(low3(q0, q1, q2) > rad, high3(q0, q1, q2) < neg(rad));
    };
    for (int k = 0; k < 3; ++k) {
        if (Finite) {
            const F(&v)[3] = e[k];
            const F size[3] = {abs(v[0]), abs(v[1]), abs(v[2])};
            const auto q = [&](int i, int j, int c) { return v[i] * t[c][j] - v[j] * t[c][i]; };
            alive = andnot(alive, apart_along(q(1, 2, 0), q(1, 2, 1), q(1, 2, 2), h[1] * size[2] + h[2] * size[1]));
            alive = andnot(alive, apart_along(q(2, 0, 0), q(2, 0, 1), q(2, 0, 2), h[0] * size[2] + h[2] * size[0]));
            alive = andnot(alive, apart_along(q(0, 1, 0), q(0, 1, 1), q(0, 1, 2), h[0] * size[1] + h[1] * size[0]));
            if (none(alive))
                return alive;
            continue;
        }
        for (int unit_axis = 0; unit_axis < 3; ++unit_axis) {
            F unit[3] = {F(0.0f), F(0.0f), F(0.0f)};
            unit[unit_axis] = F(1.0f);
            F u[3];
            cross(unit, e[k], u);
            const F q0 = dot(u, t[0]), q1 = dot(u, t[1]), q2 = dot(u, t[2]);
            const F rad = h[0] * abs(u[0]) + h[1] * abs(u[1]) + h[2] * abs(u[2]);
            alive = andnot(alive, apart_along(q0, q1, q2, rad));
        }
        if (none(alive))
            return alive;
    }

    // The triangle's plane against the box corners nearest and farthest along n.
    F n[3];
    cross(e[0], e[1], n);
    const F d = neg(dot(n, t[0]));
    F vmin[3], vmax[3];
    for (int a = 0; a < 3; ++a) {
        const M up = n[a] > F(0.0f);
        vmin[a] = select(up, neg(h[a]), h[a]);
        vmax[a] = select(up, h[a], neg(h[a]));
    }
    return both(alive, both(dot(n, vmin) + d <= F(0.0f), dot(n, vmax) + d >= F(0.0f)));
}

// One triangle, corners p0, p1, p2 (x, y, z each).
bool triangle_overlaps_box(const float* p0, const float* p1, const float* p2, const KdTreeBox& box);

// The sphere's bounding cube against the box, strictly: a cube that only
// touches a face does not overlap.
bool sphere_overlaps_box(const TAU_MATH::VECTOR<4, float>& center, float radius, const KdTreeBox& box);

} // namespace build
} // namespace RAYTR
