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

// Geometric ray-sphere test for a unit-length direction: the distance t of
// the nearest surface point ahead of the origin, not nearer than a triangle
// hit may be (min_hit_distance2, squared). From inside the sphere that is the
// far side. The radius is squared here; the record's radius2 is the caller's.
KORU_HD bool intersect_sphere(const float origin[3], const float dir[3], const Sphere& sphere, float& t)
{
    const float oc[3] = {origin[0] - sphere.center[0], origin[1] - sphere.center[1], origin[2] - sphere.center[2]};
    const float b = (oc[0] * dir[0] + oc[1] * dir[1]) + oc[2] * dir[2];
    const float c = ((oc[0] * oc[0] + oc[1] * oc[1]) + oc[2] * oc[2]) - sphere.radius * sphere.radius;
    const float discriminant = b * b - c;
    if (!(discriminant >= 0.0f))
        return false;
    const float root = std::sqrt(discriminant);
    const float near_t = -b - root;
    const float far_t = -b + root;
    if (near_t > 0.0f && near_t * near_t >= min_hit_distance2) {
        t = near_t;
        return true;
    }
    if (far_t > 0.0f && far_t * far_t >= min_hit_distance2) {
        t = far_t;
        return true;
    }
    return false;
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
