// The GPU tracer's per-pixel work, one function for a kernel thread and for
// the host loop that emulates a frame: the constant block the kernels read,
// the primary ray, the walk over triangles and spheres, the shading of each
// generation and the mirror reflections that chain the generations.
//
// The model of depth and ambient light:
// - Generation 1 is the CPU tracer's picture: the primary ray's nearest hit,
//   each point light's term (its own ambient part included) limited to 1 per
//   channel and summed, a light's term without its diffuse and specular parts
//   when `shadows` is set and a shadow ray towards it hits anything.
// - Each further generation (depth 2 to 5) follows the mirror reflection of
//   the previous ray about the hit's normal, when the hit's material has a
//   reflectivity param[0] above 0 (the demo's materials: 0.5, 0.35 or 0;
//   values above 1 count as 1). Its colour, shaded the same way, is added
//   weighted by the product of the reflectivities along the way.
// - The ambient light (pAmbient_light, 0.15 grey) is the light of the world
//   around the scene: a reflected ray that leaves the scene brings it back,
//   weighted like a hit. A primary ray that misses stays black, as in the
//   CPU tracer, so depth 1 never sees it.
// The sum is packed as the CPU tracer packs it (each channel saturates at 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../engine/limits.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "../kdtree/kdtree_format.h"
#include "scene_walk.h"
#include "shading.h"
#include "texture_filter.h"

namespace koru {
namespace rt {

// The constant block's tables: 32 materials and 8 lights, as the store holds.
constexpr int max_materials = 32;
constexpr int max_point_lights = 8;
static_assert(max_materials == koru::max_materials && max_point_lights == koru::max_point_lights,
              "the constant block holds every material and light the store holds");
constexpr int light_words = 12; // floats in one Point_Light<4,float>
// Reflected rays start just off the surface, like shadow rays.
constexpr float reflection_ray_offset = shadow_ray_offset;

// The device module's constant block, byte for byte: the host writes its
// fields at these offsets, the kernels read it. Records that need 16-byte
// alignment (matrix, box, lights) sit at offsets that do not have it, so they
// are kept as floats and copied out.
struct Constant_Block {
    int32_t window_size[2];         // width, height in pixels
    int32_t num_point_lights;       // valid entries of point_lights_dump
    int32_t trace_depth;            // never written: the kernels' template argument rules
    int32_t shadows_needed;         // never written, likewise
    float pMatrix_transform[16];    // camera matrix, row-major
    float pAmbient_light[4];        // r, g, b, unused
    float pWorldKdTreeBox[8];       // minimum corner, maximum corner (x, y, z, unused)
    Material materials_dump[max_materials];
    float point_lights_dump[max_point_lights * light_words];
};

static_assert(offsetof(Constant_Block, window_size) == 0 && offsetof(Constant_Block, num_point_lights) == 8 &&
                  offsetof(Constant_Block, trace_depth) == 12 && offsetof(Constant_Block, shadows_needed) == 16 &&
                  offsetof(Constant_Block, pMatrix_transform) == 20 && offsetof(Constant_Block, pAmbient_light) == 84 &&
                  offsetof(Constant_Block, pWorldKdTreeBox) == 100 && offsetof(Constant_Block, materials_dump) == 132 &&
                  offsetof(Constant_Block, point_lights_dump) == 1924 && sizeof(Constant_Block) == 2308,
              "the constant block's layout is the device module's contract");
static_assert(sizeof(Material) == 56 && sizeof(Light) == light_words * 4, "constant block slots");

KORU_HD TAU_MATH::MATRIX<4, 4, float> camera_of(const Constant_Block& k)
{
    TAU_MATH::MATRIX<4, 4, float> m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            m[i][j] = k.pMatrix_transform[4 * i + j];
    return m;
}

KORU_HD RAYTR::KdTreeBox world_box_of(const Constant_Block& k)
{
    RAYTR::KdTreeBox box;
    for (int i = 0; i < 4; ++i) {
        box.min[i] = k.pWorldKdTreeBox[i];
        box.max[i] = k.pWorldKdTreeBox[4 + i];
    }
    return box;
}

KORU_HD Light light_of(const Constant_Block& k, int index)
{
    Light light;
    std::memcpy(static_cast<void*>(&light), &k.point_lights_dump[light_words * index], sizeof light);
    return light;
}

// The kernel variant that runs a requested depth: 1 to 5 as asked, any other
// depth as 4.
KORU_HD int kernel_depth(unsigned depth) { return depth >= 1 && depth <= 5 ? static_cast<int>(depth) : 4; }

// The primary ray of pixel (x, y), as the CPU tracer makes it: the camera
// matrix applied to the camera-space origin, and its rotation part to the
// pixel's eye direction, in the same order of operations.
KORU_HD Ray4 primary_ray(const TAU_MATH::MATRIX<4, 4, float>& m, int x, int y, int width, int height,
                         float half_angle = half_view_angle)
{
    const Vec4 eye = eye_ray_direction(x, y, width, height, half_angle);
    Ray4 ray;
    ray.pos = m * Vec4(0.0f, 0.0f, 0.0f, 1.0f);
    for (int a = 0; a < 3; ++a)
        ray.dir[a] = (m[a][0] * eye[0] + m[a][1] * eye[1]) + m[a][2] * eye[2];
    ray.dir[3] = 0.0f;
    return ray;
}

// The mirror image of the ray about the hit's normal, turned to face the
// ray, starting just off the surface. False when the normal has no length.
KORU_HD bool reflection_ray(const Ray4& ray, const RAYTR::Hit& hit, Ray4& reflected)
{
    const Vec4 n0(hit.norm[0], hit.norm[1], hit.norm[2], 0.0f);
    if (!(TAU_MATH::Dot3(n0, n0) > 0.0f))
        return false;
    const Vec4 n = TAU_MATH::Normalize(n0);
    const float d_dot_n = TAU_MATH::Dot3(ray.dir, n);
    const float twice = 2.0f * d_dot_n;
    const Vec4 dir =
        TAU_MATH::Normalize(Vec4(ray.dir[0] - twice * n[0], ray.dir[1] - twice * n[1], ray.dir[2] - twice * n[2], 0.0f));
    reflected.dir = dir;
    reflected.pos = Vec4(hit.pos[0] + reflection_ray_offset * dir[0], hit.pos[1] + reflection_ray_offset * dir[1],
                         hit.pos[2] + reflection_ray_offset * dir[2], 1.0f);
    return true;
}

// A material's share of mirror reflection: param[0], limited to 0 to 1
// (NaN gives 0).
KORU_HD float reflectivity(const Material& m)
{
    const float r = m.param[0].f;
    return r > 0.0f ? min_or_bound(r, 1.0f) : 0.0f;
}

// Whether an accessor samples textures as the CPU tracer does, offering
// Color sample_texture(int id, float u, float v) at the hit's own
// coordinates (the CPU tracer's whole-scene reference); the GPU's accessors
// offer the texture unit's filter, texture(id, u, v), instead.
template <class S, class = void>
struct samples_texels : std::false_type {};
template <class S>
struct samples_texels<S, std::void_t<decltype(std::declval<const S&>().sample_texture(0, 0.0f, 0.0f))>>
    : std::true_type {};

// The colour of one hit: the CPU tracer's sum over the lights. The texture
// is sampled once, through the texture unit's filter pointed where the CPU
// tracer's sampler reads (or by that sampler itself, see samples_texels);
// shade_hit gives a light's term alone (power 1, no texture), and texture and
// power then scale it in shade_hit's own order.
template <bool shadows, class S>
KORU_HD Color shade_generation(const S& scene, const Constant_Block& k, const RAYTR::KdTreeBox& box, const Ray4& ray,
                               const RAYTR::Hit& hit)
{
    Color texture(1.0f, 1.0f, 1.0f, 1.0f);
    if (hit.untextured == 0 && hit.tex_id < scene.texture_count()) {
        if constexpr (samples_texels<S>::value) {
            texture = scene.sample_texture(hit.tex_id, hit.tex_coord[0], hit.tex_coord[1]);
        } else {
            int w, h;
            scene.texture_size(hit.tex_id, w, h);
            texture = scene.texture(hit.tex_id, device_texture_coordinate(hit.tex_coord[0], w),
                                    device_texture_coordinate(hit.tex_coord[1], h));
        }
    }
    int n_lights = k.num_point_lights;
    if (n_lights > max_point_lights)
        n_lights = max_point_lights;
    Color sum(0.0f, 0.0f, 0.0f, 0.0f);
    for (int l = 0; l < n_lights; ++l) {
        Light light = light_of(k, l);
        bool shadowed = false;
        // Only a face turned to the light can lose something to a shadow.
        if (shadows && faces_light(light_direction(hit, light)))
            shadowed = walk_scene(scene, box, make_shadow_ray(hit.pos, light.pos), nullptr);
        const float power = light.power;
        light.power = 1.0f;
        const Color term = shade_hit(ray, hit, light, shadowed, k.materials_dump, nullptr, 0);
        sum = sum + clamp_above(Color(texture[0] * term[0] * power, texture[1] * term[1] * power,
                                      texture[2] * term[2] * power, 1.0f));
    }
    return sum;
}

// The pixel word of pixel (x, y) after `depth` generations (1 to 5), seen
// with a field of view of twice half_angle (radians) across the window.
template <int depth, bool shadows, class S>
KORU_HD uint32_t trace_pixel(const S& scene, const Constant_Block& k, int x, int y, float half_angle = half_view_angle)
{
    static_assert(depth >= 1 && depth <= 5, "one to five generations");
    const RAYTR::KdTreeBox box = world_box_of(k);
    Ray4 ray = primary_ray(camera_of(k), x, y, k.window_size[0], k.window_size[1], half_angle);
    Color total(0.0f, 0.0f, 0.0f, 0.0f);
    float weight = 1.0f;
    for (int generation = 0; generation < depth; ++generation) {
        RAYTR::Hit hit;
        if (!walk_scene(scene, box, ray, &hit)) {
            if (generation > 0)
                total = total + Color(k.pAmbient_light[0], k.pAmbient_light[1], k.pAmbient_light[2], 1.0f) * weight;
            break;
        }
        total = total + shade_generation<shadows>(scene, k, box, ray, hit) * weight;
        if (generation + 1 == depth)
            break;
        const float r = reflectivity(k.materials_dump[hit.material_id]);
        Ray4 reflected;
        if (!(r > 0.0f) || !reflection_ray(ray, hit, reflected))
            break;
        weight = weight * r;
        ray = reflected;
    }
    return pack_color(total);
}

// trace_pixel for a depth and shadow switch known only at run time, as the
// device layer picks its kernel (kernel_depth).
template <class S>
KORU_HD uint32_t trace_pixel_variant(const S& scene, const Constant_Block& k, unsigned depth, bool shadows, int x,
                                     int y, float half_angle = half_view_angle)
{
    const float a = half_angle;
    switch (kernel_depth(depth)) {
    case 1: return shadows ? trace_pixel<1, true>(scene, k, x, y, a) : trace_pixel<1, false>(scene, k, x, y, a);
    case 2: return shadows ? trace_pixel<2, true>(scene, k, x, y, a) : trace_pixel<2, false>(scene, k, x, y, a);
    case 3: return shadows ? trace_pixel<3, true>(scene, k, x, y, a) : trace_pixel<3, false>(scene, k, x, y, a);
    case 5: return shadows ? trace_pixel<5, true>(scene, k, x, y, a) : trace_pixel<5, false>(scene, k, x, y, a);
    default: return shadows ? trace_pixel<4, true>(scene, k, x, y, a) : trace_pixel<4, false>(scene, k, x, y, a);
    }
}

// One ray of a ray query: the nearest hit of the walk, or the miss record.
template <class S>
KORU_HD void trace_query_ray(const S& scene, const Constant_Block& k, const TAU_MATH::RAY<3, float>& query,
                             RAYTR::Hit* hit)
{
    Ray4 ray;
    ray.pos = Vec4(query.pos[0], query.pos[1], query.pos[2], 1.0f);
    ray.dir = Vec4(query.dir[0], query.dir[1], query.dir[2], 0.0f);
    if (!walk_scene(scene, world_box_of(k), ray, hit))
        fill_miss(hit);
}

} // namespace rt
} // namespace koru
