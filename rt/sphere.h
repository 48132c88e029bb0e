// Ray-sphere test and the hit record of a sphere: the GPU tracer draws the
// spheres that the kd-tree's leaf records list (the CPU tracer skips them).
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "intersect.h"

namespace koru {
namespace rt {

using Sphere = TAU_MATH::SPHERE<4, float>;

// Geometric ray-sphere test for unit-length directions, over the lane type
// (float for one ray, the SIMD lanes for a packet): of the active lanes,
// those whose ray meets the sphere ahead of its origin, with t the distance
// of the nearest surface point not nearer than a triangle hit may be
// (min_hit_distance2, squared). From inside the sphere that is the far side.
// The radius is squared here; the record's radius2 is the caller's.
//
// The discriminant is r^2 - |f|^2, f the foot of the perpendicular from the
// centre to the ray (oc - (oc.d) d): the classic b^2 - (|oc|^2 - r^2) takes
// the difference of two squares of the centre's distance, which for a sphere
// a dozen units away loses about 1e-5 of it, enough to turn a ray passing
// 3e-6 outside into a hit and to move a grazing hit by 2e-4.
template <class F>
KORU_HD mask_of<F> intersect_sphere(const F origin[3], const F dir[3], const Sphere& sphere, mask_of<F> active,
                                    F& t)
{
    const F oc[3] = {origin[0] - F(sphere.center[0]), origin[1] - F(sphere.center[1]),
                     origin[2] - F(sphere.center[2])};
    const F b = (oc[0] * dir[0] + oc[1] * dir[1]) + oc[2] * dir[2];
    const F foot[3] = {oc[0] - b * dir[0], oc[1] - b * dir[1], oc[2] - b * dir[2]};
    const F radius(sphere.radius);
    const F discriminant = radius * radius - ((foot[0] * foot[0] + foot[1] * foot[1]) + foot[2] * foot[2]);
    // NaN fails the test as a miss does.
    const mask_of<F> meets = both(active, discriminant >= F(0.0f));
    if (none(meets))
        return meets;
    using std::sqrt;
    const F root = sqrt(max_or_bound(discriminant, F(0.0f)));
    const F near_t = (F(0.0f) - b) - root;
    const F far_t = (F(0.0f) - b) + root;
    const F min_d2(min_hit_distance2);
    const mask_of<F> near_ok = both(near_t > F(0.0f), near_t * near_t >= min_d2);
    const mask_of<F> far_ok = both(far_t > F(0.0f), far_t * far_t >= min_d2);
    t = select(near_ok, near_t, far_t);
    return both(meets, either(near_ok, far_ok));
}

// The test for one ray.
KORU_HD bool intersect_sphere(const float origin[3], const float dir[3], const Sphere& sphere, float& t)
{
    return intersect_sphere<float>(origin, dir, sphere, true, t);
}

// prim_id of a sphere hit is the sphere's index; a miss record carries this.
constexpr int32_t miss_prim_id = -2;

// A sphere hit: the point at distance t, the outward unit normal, the
// sphere's material, no texture (untextured set, tex_id 255, coordinates 0).
KORU_HD void fill_sphere_hit(const float origin[3], const float dir[3], float t, const Sphere& sphere,
                             uint32_t index, RAYTR::Hit* hit)
{
    const float inv_radius = 1.0f / sphere.radius;
    for (int i = 0; i < 3; ++i) {
        hit->pos[i] = origin[i] + t * dir[i];
        hit->norm[i] = (hit->pos[i] - sphere.center[i]) * inv_radius;
    }
    hit->tex_coord[0] = 0.0f;
    hit->tex_coord[1] = 0.0f;
    hit->tex_id = TAU_GRAPHICS::kNoTexture;
    hit->material_id = static_cast<uint8_t>(sphere.material_id & 0xFF);
    hit->untextured = 1;
    hit->reserved = 0;
    hit->prim_id = static_cast<int32_t>(index);
}

// What a ray query returns for a ray that hits nothing: zeros, no texture,
// prim_id miss_prim_id.
KORU_HD void fill_miss(RAYTR::Hit* hit)
{
    for (int i = 0; i < 3; ++i) {
        hit->pos[i] = 0.0f;
        hit->norm[i] = 0.0f;
    }
    hit->tex_coord[0] = 0.0f;
    hit->tex_coord[1] = 0.0f;
    hit->tex_id = TAU_GRAPHICS::kNoTexture;
    hit->material_id = 0;
    hit->untextured = 1;
    hit->reserved = 0;
    hit->prim_id = miss_prim_id;
}

} // namespace rt
} // namespace koru
