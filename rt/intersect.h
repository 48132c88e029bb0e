// The computations that a single ray, a four-ray packet and a GPU thread
// share, written once over the lane type: float for one ray, the SIMD float4
// for a packet. Each lane of a packet therefore gets exactly the single-ray
// answer. A lane type needs +, -, *, /, the comparisons giving its mask type,
// and min_or_bound, max_or_bound, select, both, either, andnot and none
// (simd/lanes.h for float, simd/simd.h for float4 and wider).
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/host_device.h"
#include "../kdtree/kdtree_format.h"
#include "../simd/lanes.h"

namespace koru {
namespace rt {

// The root of KD_INFINITY: a leaf's answer when it accepted nothing.
constexpr float no_hit_distance = 1e19f;
constexpr float determinant_epsilon = 1e-6f;
constexpr float barycentric_tolerance = 0.001f;
constexpr float min_hit_distance2 = 1e-8f; // also the least advance along the ray
// A hit that lies on a leaf's exit plane (a floor on the face of the world
// box, a triangle in a thin slab cut at its own plane) comes out of the
// rounding a little beyond the exit; the leaf accepts hits up to this share of
// (exit distance + scene scale) beyond its exit.
constexpr float leaf_exit_tolerance = 4e-6f;
// Enough for any root-to-leaf path: every inner node pushes at most once.
constexpr int walk_stack_size = RAYTR::kd_max_depth;

// Slab test: the stretch of the ray inside the box. A zero direction
// component gives an infinite reciprocal, and an origin on that slab's plane
// a NaN, which falls to the bound (-KD_INFINITY for the entry, KD_INFINITY
// for the exit).
template <class F>
struct Box_Stretch {
    F tnear;
    F tfar;
};

template <class F>
KORU_HD Box_Stretch<F> slab_stretch(const RAYTR::KdTreeBox& box, const F origin[3], const F inv[3])
{
    const F lower(-RAYTR::KD_INFINITY), upper(RAYTR::KD_INFINITY);
    Box_Stretch<F> s;
    for (int a = 0; a < 3; ++a) {
        const F t0 = (F(box.min[a]) - origin[a]) * inv[a];
        const F t1 = (F(box.max[a]) - origin[a]) * inv[a];
        const F entry = min_or_bound(max_or_bound(t0, lower), max_or_bound(t1, lower));
        const F exit = max_or_bound(min_or_bound(t0, upper), min_or_bound(t1, upper));
        s.tnear = a == 0 ? entry : max_or_bound(s.tnear, entry);
        s.tfar = a == 0 ? exit : min_or_bound(s.tfar, exit);
    }
    return s;
}

// Whether the stretch lies ahead of the origin, be it only a point (a flat
// scene has a box without thickness).
template <class F>
KORU_HD mask_of<F> meets_box(const Box_Stretch<F>& s)
{
    return both(s.tfar >= s.tnear, s.tfar >= F(0.0f));
}

// Moller-Trumbore, two-sided, for the active lanes: the lanes whose ray
// meets triangle (a, b, c), with the weights u of b and v of c (a's is
// 1 - u - v). A lane where the ray lies in the triangle's plane misses.
// The corners are one triangle's (C = float) or, lane by lane, as many
// triangles as the lanes (C = F, one ray in every lane): each lane makes the
// same operations either way.
template <class F, class C = float>
KORU_HD mask_of<F> moller_trumbore(const F origin[3], const F dir[3], const C a[3], const C b[3], const C c[3],
                                   mask_of<F> active, F& u, F& v)
{
    const C e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const C e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const F p[3] = {dir[1] * e2[2] - dir[2] * e2[1], dir[2] * e2[0] - dir[0] * e2[2],
                    dir[0] * e2[1] - dir[1] * e2[0]};
    const F det = (F(e1[0]) * p[0] + F(e1[1]) * p[1]) + F(e1[2]) * p[2];
    mask_of<F> ok = andnot(active, both(det > F(-determinant_epsilon), det < F(determinant_epsilon)));
    if (none(ok))
        return ok;
    const F inv = F(1.0f) / det;
    const F s[3] = {origin[0] - F(a[0]), origin[1] - F(a[1]), origin[2] - F(a[2])};
    u = ((s[0] * p[0] + s[1] * p[1]) + s[2] * p[2]) * inv;
    ok = andnot(andnot(ok, u < F(-barycentric_tolerance)), u > F(1.0f + barycentric_tolerance));
    if (none(ok))
        return ok;
    const F q[3] = {s[1] * F(e1[2]) - s[2] * F(e1[1]), s[2] * F(e1[0]) - s[0] * F(e1[2]),
                    s[0] * F(e1[1]) - s[1] * F(e1[0])};
    v = ((dir[0] * q[0] + dir[1] * q[1]) + dir[2] * q[2]) * inv;
    return andnot(andnot(ok, v < F(-barycentric_tolerance)), u + v > F(1.0f + barycentric_tolerance));
}

// Of the lanes that met the triangle, those whose hit point, rebuilt from the
// weights, lies ahead, not too near and not farther than best (squared
// distances). d2 receives the squared distance of every lane's point.
template <class F, class C = float>
KORU_HD mask_of<F> accept_hit(const F origin[3], const F dir[3], const C a[3], const C b[3], const C c[3],
                              mask_of<F> met, const F& u, const F& v, const F& best, F& d2)
{
    const F w0 = F(1.0f) - u - v;
    F to_point[3];
    for (int i = 0; i < 3; ++i)
        to_point[i] = ((F(a[i]) * w0 + F(b[i]) * u) + F(c[i]) * v) - origin[i];
    d2 = (to_point[0] * to_point[0] + to_point[1] * to_point[1]) + to_point[2] * to_point[2];
    const F ahead = (dir[0] * to_point[0] + dir[1] * to_point[1]) + dir[2] * to_point[2];
    const F min_d2(min_hit_distance2);
    // Too near, farther than the best so far, or behind the origin.
    return andnot(andnot(both(met, ahead > min_d2), d2 < min_d2), d2 > best);
}

// The farthest distance a leaf accepts for a stretch that ends at tfar.
template <class F>
KORU_HD F leaf_exit(const F& tfar, float scale)
{
    return tfar + (tfar + F(scale)) * F(leaf_exit_tolerance);
}

// Whether a leaf's answer is a hit within its stretch. The leaf's "nothing
// accepted" (no_hit_distance) never is, however far the stretch reaches (an
// unbounded world box, as an empty scene has, ends at KD_INFINITY).
template <class F>
KORU_HD mask_of<F> hit_in_leaf(const F& dist, const F& tfar, float scale)
{
    return both(dist < F(no_hit_distance), dist <= leaf_exit(tfar, scale));
}

// Distance to a split plane. NaN (origin on the plane of a parallel ray)
// keeps the ray on the near side, as an infinite distance would.
template <class F>
KORU_HD F split_distance(float position, const F& origin, const F& inv)
{
    return min_or_bound((F(position) - origin) * inv, F(INFINITY));
}

// 1 when the far child along an axis is the upper one (a direction that heads
// up the axis), 0 when it is the lower one. The direction's sign bit also
// gives the sign of its reciprocal, so -0.0 heads down.
KORU_HD uint32_t far_child_is_upper(float d)
{
    return std::signbit(d) ? 0u : 1u;
}

} // namespace rt
} // namespace koru
