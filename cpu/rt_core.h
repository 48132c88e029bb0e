// The per-ray core of the ray tracers: ray-box, ray-triangle, the leaf test,
// the single-ray kd-tree walk, shading of one hit by one light, texture
// sampling and colour packing. Plain functions over plain data, with nothing
// that only a processor has, so a GPU tracer can compile the same code.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "../kdtree/kdtree_format.h"

namespace koru {
namespace rt {

using Vec4 = TAU_MATH::VECTOR<4, float>;
using Ray4 = TAU_MATH::RAY<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Material = TAU_GRAPHICS::MATERIAL<3>;
using Light = TAU_GRAPHICS::Point_Light<4, float>;
using Color = TAU_MATH::VECTOR<4, float>; // r, g, b, a

constexpr float kd_infinity = RAYTR::KD_INFINITY;
constexpr float no_hit_distance = 1e19f; // the root of kd_infinity: a leaf where nothing was accepted
constexpr float determinant_epsilon = 1e-6f;
constexpr float barycentric_tolerance = 0.001f;
constexpr float min_hit_distance2 = 1e-8f; // also the least advance along the ray
constexpr float shadow_ray_offset = 0.01f;
constexpr float texel_scale = 0.003921568859368563f; // 1/255
// A hit that lies on a leaf's exit plane (a floor on the face of the world
// box, a triangle in a thin slab cut at its own plane) comes out of the
// rounding a little beyond the exit; the leaf accepts hits up to this share of
// (exit distance + scene scale) beyond its exit.
constexpr float leaf_exit_tolerance = 4e-6f;
// Enough for any root-to-leaf path: every inner node pushes at most once.
constexpr int traversal_stack_size = RAYTR::kd_max_depth;

// Row-major RGBA texels (bytes R, G, B, A), as the scene store keeps them.
struct Texture_View {
    int width;
    int height;
    const unsigned char* texels;
};

// What a walk reads: the flattened kd-tree and the scene's vertices. None of
// it changes during a frame.
struct Tree_View {
    const RAYTR::KdTreeNode* nodes;
    uint32_t node_count; // 0: no tree yet, every ray misses
    RAYTR::KdTreeBox world_box;
    const unsigned char* obj_list;
    const Vertex* vertices;
    float scale; // largest coordinate magnitude of the world box
};

// The farthest distance a leaf accepts for a stretch that ends at tfar.
KORU_HD float leaf_exit(float tfar, float scale) { return tfar + (tfar + scale) * leaf_exit_tolerance; }

// Whether a leaf's answer is a hit within its stretch. The leaf's "nothing
// accepted" (no_hit_distance) never is, however far the stretch reaches (an
// unbounded world box, as an empty scene has, ends at kd_infinity).
KORU_HD bool hit_in_leaf(float dist, float tfar, float scale)
{
    return dist < no_hit_distance && dist <= leaf_exit(tfar, scale);
}

// The scale of Tree_View: the largest |coordinate| of the box's corners.
KORU_HD float box_scale(const RAYTR::KdTreeBox& box)
{
    float scale = 0.0f;
    for (int a = 0; a < 3; ++a) {
        const float lo = std::fabs(box.min[a]), hi = std::fabs(box.max[a]);
        scale = lo > scale ? lo : scale;
        scale = hi > scale ? hi : scale;
    }
    return scale;
}

// Comparisons that fall to the bound when t is NaN.
KORU_HD float max_or_bound(float t, float bound) { return t > bound ? t : bound; }
KORU_HD float min_or_bound(float t, float bound) { return t < bound ? t : bound; }

// Slab test. Entry and exit distances go to tnear and tfar; true when the ray
// meets the box ahead of its origin. A zero direction component gives an
// infinite reciprocal, and an origin on that slab's plane a NaN, which falls
// to the bound.
KORU_HD bool intersect_box(const Ray4& ray, const RAYTR::KdTreeBox& box, float& tnear, float& tfar)
{
    tnear = -kd_infinity;
    tfar = kd_infinity;
    for (int a = 0; a < 3; ++a) {
        const float inv = 1.0f / ray.dir[a];
        const float t0 = (box.min[a] - ray.pos[a]) * inv;
        const float t1 = (box.max[a] - ray.pos[a]) * inv;
        const float near0 = max_or_bound(t0, -kd_infinity), near1 = max_or_bound(t1, -kd_infinity);
        const float far0 = min_or_bound(t0, kd_infinity), far1 = min_or_bound(t1, kd_infinity);
        const float entry = near0 < near1 ? near0 : near1;
        const float exit = far0 > far1 ? far0 : far1;
        if (a == 0 || entry > tnear)
            tnear = entry;
        if (a == 0 || exit < tfar)
            tfar = exit;
    }
    return tfar >= tnear && tfar >= 0.0f;
}

// Moller-Trumbore, two-sided, without a distance: the hit point is rebuilt
// from the weights (1 - u - v, u, v) of A, B and C.
KORU_HD bool intersect_triangle(const Ray4& ray, const Vec4& a, const Vec4& b, const Vec4& c, float weights[3])
{
    const Vec4 e1 = b - a;
    const Vec4 e2 = c - a;
    const Vec4 p = TAU_MATH::Cross3(ray.dir, e2);
    const float det = TAU_MATH::Dot3(e1, p);
    if (det > -determinant_epsilon && det < determinant_epsilon)
        return false;
    const float inv = 1.0f / det;
    const Vec4 s = ray.pos - a;
    const float u = TAU_MATH::Dot3(s, p) * inv;
    if (u < -barycentric_tolerance || u > 1.0f + barycentric_tolerance)
        return false;
    const Vec4 q = TAU_MATH::Cross3(s, e1);
    const float v = TAU_MATH::Dot3(ray.dir, q) * inv;
    if (v < -barycentric_tolerance || u + v > 1.0f + barycentric_tolerance)
        return false;
    weights[0] = 1.0f - u - v;
    weights[1] = u;
    weights[2] = v;
    return true;
}

// Fills a triangle hit from the triangle's vertex indices and the weights of
// its corners.
KORU_HD void fill_hit(const Vertex* vertices, const uint32_t* triangle, float w0, float w1, float w2,
                      RAYTR::Hit* hit)
{
    const Vertex& va = vertices[triangle[0]];
    const Vertex& vb = vertices[triangle[1]];
    const Vertex& vc = vertices[triangle[2]];
    const Vec4 point = (va.pos * w0 + vb.pos * w1) + vc.pos * w2;
    const Vec4 normal = (va.norm * w0 + vb.norm * w1) + vc.norm * w2;
    for (int i = 0; i < 3; ++i) {
        hit->pos[i] = point[i];
        hit->norm[i] = normal[i];
    }
    hit->tex_coord[0] = (va.tex_coord[0] * w0 + vb.tex_coord[0] * w1) + vc.tex_coord[0] * w2;
    hit->tex_coord[1] = (va.tex_coord[1] * w0 + vb.tex_coord[1] * w1) + vc.tex_coord[1] * w2;
    hit->tex_id = va.tex_id[0];
    hit->material_id = static_cast<uint8_t>(va.material_id & 0xFF);
    hit->untextured = 0;
    hit->prim_id = -1;
}

// Nearest accepted triangle of a leaf, ordered by squared distance from the
// origin (the later triangle wins a tie). Returns that distance, with hit
// filled; kd_infinity for an empty leaf, no_hit_distance when nothing was
// accepted. Spheres in the record are skipped.
KORU_HD float intersect_leaf(const Ray4& ray, const RAYTR::KdTreeNode& leaf, const unsigned char* obj_list,
                             const Vertex* vertices, RAYTR::Hit* hit)
{
    const int32_t offset = RAYTR::kd_leaf_offset(leaf);
    if (offset < 0)
        return kd_infinity;
    const unsigned char* record = obj_list + offset;
    const unsigned n_triangles = RAYTR::kd_record_triangle_count(record);
    const uint32_t* triangle = RAYTR::kd_record_triangles(record);

    float best = kd_infinity;
    for (unsigned k = 0; k < n_triangles; ++k, triangle += 3) {
        const Vertex& va = vertices[triangle[0]];
        const Vertex& vb = vertices[triangle[1]];
        const Vertex& vc = vertices[triangle[2]];
        float w[3];
        if (!intersect_triangle(ray, va.pos, vb.pos, vc.pos, w))
            continue;
        const Vec4 point = (va.pos * w[0] + vb.pos * w[1]) + vc.pos * w[2];
        const Vec4 offset_from_origin = point - ray.pos;
        const float d2 = TAU_MATH::Dot3(offset_from_origin, offset_from_origin);
        // Too near, farther than the best so far, or behind the origin.
        if (d2 < min_hit_distance2 || d2 > best || !(TAU_MATH::Dot3(ray.dir, offset_from_origin) > min_hit_distance2))
            continue;
        best = d2;
        fill_hit(vertices, triangle, w[0], w[1], w[2], hit);
    }
    return std::sqrt(best);
}

// Child order along an axis comes from the direction's sign bit, which also
// gives the sign of its reciprocal, so -0.0 walks as a negative direction.
KORU_HD uint32_t heads_up(float d)
{
    uint32_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return (bits >> 31) ^ 1u;
}

// A split distance of NaN (origin on the plane of a parallel ray) keeps the
// ray on the near side, as an infinite distance would.
KORU_HD float split_distance(float position, float origin, float inv)
{
    const float t = (position - origin) * inv;
    return t == t ? t : INFINITY;
}

struct Traversal_Data {
    uint32_t node;
    float tfar;
};

// Front-to-back walk of one ray (unit-length direction). 0xFFFFFFFF when a
// triangle is hit, with hit filled for the nearest; 0 on a miss.
KORU_HD uint32_t traverse_ray(const Tree_View& tree, const Ray4& ray, RAYTR::Hit* hit)
{
    if (tree.node_count == 0)
        return 0;
    float tnear, tfar;
    // A ray that meets the box, be it only on its surface (a flat scene has a
    // box without thickness), walks the tree.
    if (!intersect_box(ray, tree.world_box, tnear, tfar))
        return 0;
    if (tnear < 0.0f)
        tnear = 0.0f;

    float inv[3];
    uint32_t up[3];
    for (int a = 0; a < 3; ++a) {
        inv[a] = 1.0f / ray.dir[a];
        up[a] = heads_up(ray.dir[a]);
    }

    Traversal_Data stack[traversal_stack_size];
    int depth = 0;
    uint32_t node = 0;
    for (;;) {
        const RAYTR::KdTreeNode* n = &tree.nodes[node];
        while (!RAYTR::kd_is_leaf(*n)) {
            const int a = RAYTR::kd_axis(*n);
            const uint32_t lower = RAYTR::kd_left_child(*n);
            const uint32_t far_child = lower + up[a];
            const uint32_t near_child = lower + 1u - up[a];
            const float t = split_distance(RAYTR::kd_split_position(*n), ray.pos[a], inv[a]);
            if (t <= tnear) {
                node = far_child;
            } else if (t >= tfar) {
                node = near_child;
            } else {
                stack[depth].node = far_child;
                stack[depth].tfar = tfar;
                ++depth;
                tfar = t;
                node = near_child;
            }
            n = &tree.nodes[node];
        }
        // The hit counts only when it lies within this leaf's stretch.
        if (hit_in_leaf(intersect_leaf(ray, *n, tree.obj_list, tree.vertices, hit), tfar, tree.scale))
            return 0xFFFFFFFFu;
        if (depth == 0)
            return 0;
        tnear = tfar;
        --depth;
        node = stack[depth].node;
        tfar = stack[depth].tfar;
    }
}

// Bilinear, repeating: coordinates below 0 clamp to 0, those at or past the
// size wrap by remainder, so u = 1 reads the last column.
KORU_HD Color sample_texture(const Texture_View& texture, float u, float v)
{
    if (!(u >= 0.0f))
        u = 0.0f;
    if (!(v >= 0.0f))
        v = 0.0f;
    const int w = texture.width;
    const int h = texture.height;
    float x = u * static_cast<float>(w - 1);
    float y = v * static_cast<float>(h - 1);
    // Beyond 2^24 floats are whole numbers; keep the integer conversion in range.
    if (x >= 16777216.0f)
        x = std::fmod(x, static_cast<float>(w));
    if (y >= 16777216.0f)
        y = std::fmod(y, static_cast<float>(h));
    int x0 = static_cast<int>(x);
    int y0 = static_cast<int>(y);
    const float fx = x - static_cast<float>(x0);
    const float fy = y - static_cast<float>(y0);
    int x1 = static_cast<int>(x + 1.0f);
    int y1 = static_cast<int>(y + 1.0f);
    if (x0 >= w)
        x0 %= w;
    if (x1 >= w)
        x1 %= w;
    if (y0 >= h)
        y0 %= h;
    if (y1 >= h)
        y1 %= h;

    const auto texel = [&](int tx, int ty) {
        const unsigned char* c = texture.texels + 4 * (static_cast<long>(ty) * w + tx);
        return Color(c[0] * texel_scale, c[1] * texel_scale, c[2] * texel_scale, 1.0f);
    };
    const Color c00 = texel(x0, y0), c10 = texel(x1, y0), c01 = texel(x0, y1), c11 = texel(x1, y1);
    const float w00 = (1.0f - fx) * (1.0f - fy), w10 = fx * (1.0f - fy), w11 = fx * fy, w01 = (1.0f - fx) * fy;
    return ((c00 * w00 + c10 * w10) + c11 * w11) + c01 * w01;
}

// The colour one light gives one hit: attenuated diffuse and Phong specular
// unless shadowed or facing away, plus the ambient term, times the texture
// and the light's power. R mirrors the direction towards the light about N;
// where R.V is negative (or undefined) there is no highlight.
KORU_HD Color shade_hit(const Ray4& ray, const RAYTR::Hit& hit, const Light& light, bool shadowed,
                        const Material* materials, const Texture_View* textures, int texture_count)
{
    const Material& m = materials[hit.material_id];
    const Vec4 n(hit.norm[0], hit.norm[1], hit.norm[2], 0.0f);
    const Vec4 p(hit.pos[0], hit.pos[1], hit.pos[2], 1.0f);
    const Vec4 to_light = light.pos - p;
    const float d = std::sqrt(TAU_MATH::Dot3(to_light, to_light));
    const Vec4 l(to_light[0] / d, to_light[1] / d, to_light[2] / d, 0.0f);
    const float n_dot_l = TAU_MATH::Dot3(n, l);

    float h[3] = {0.0f, 0.0f, 0.0f};
    if (!shadowed && n_dot_l > 0.0f) {
        const float twice = 2.0f * n_dot_l;
        const Vec4 r = TAU_MATH::Normalize(Vec4(twice * n[0] - l[0], twice * n[1] - l[1], twice * n[2] - l[2], 0.0f));
        const Vec4 v = TAU_MATH::Normalize(Vec4(ray.pos[0] - p[0], ray.pos[1] - p[1], ray.pos[2] - p[2], 0.0f));
        const float base = TAU_MATH::Dot3(r, v);
        const float s = base >= 0.0f ? static_cast<float>(std::pow(static_cast<double>(base),
                                                                   static_cast<double>(m.spec_power)))
                                     : 0.0f;
        const float attenuation = 1.0f / ((light.kc + light.kl * d) + light.kq * (d * d));
        for (int c = 0; c < 3; ++c)
            h[c] = (n_dot_l * m.diffuse[c] + s * m.specular[c]) * attenuation;
    }
    for (int c = 0; c < 3; ++c)
        h[c] = h[c] + m.ambient[c];

    Color t(1.0f, 1.0f, 1.0f, 1.0f);
    if (hit.untextured == 0 && hit.tex_id < texture_count)
        t = sample_texture(textures[hit.tex_id], hit.tex_coord[0], hit.tex_coord[1]);
    return Color(t[0] * h[0] * light.power, t[1] * h[1] * light.power, t[2] * h[2] * light.power, 1.0f);
}

// Each channel limited to at most 1 (NaN stays NaN; packing drops it).
KORU_HD Color clamp_above(const Color& c)
{
    return Color(min_or_bound(c[0], 1.0f), min_or_bound(c[1], 1.0f), min_or_bound(c[2], 1.0f),
                 min_or_bound(c[3], 1.0f));
}

// Bytes R, G, B, 0 in memory order. A channel saturates at 1.0 (255), and a
// negative or NaN one packs as 0.
KORU_HD uint32_t pack_color(const Color& c)
{
    uint32_t word = 0;
    for (int i = 0; i < 3; ++i) {
        const float channel = c[i] > 0.0f ? min_or_bound(c[i], 1.0f) : 0.0f;
        word |= (static_cast<uint32_t>(channel * 255.0f) & 0xFFu) << (8 * i);
    }
    return word;
}

// Shadow rays start just off the surface, towards the light.
KORU_HD Ray4 make_shadow_ray(const float hit_pos[3], const Vec4& light_pos)
{
    const Vec4 p(hit_pos[0], hit_pos[1], hit_pos[2], 1.0f);
    const Vec4 dir = TAU_MATH::Normalize(Vec4(light_pos[0] - p[0], light_pos[1] - p[1], light_pos[2] - p[2], 0.0f));
    Ray4 ray;
    ray.dir = dir;
    ray.pos = Vec4(p[0] + shadow_ray_offset * dir[0], p[1] + shadow_ray_offset * dir[1],
                   p[2] + shadow_ray_offset * dir[2], 1.0f);
    return ray;
}

// Camera-space primary ray direction of pixel (x, y): 45 degrees across the
// width, square pixels, through the pixel's integer corner.
KORU_HD Vec4 eye_ray_direction(int x, int y, int width, int height)
{
    const float tangent = static_cast<float>(std::tan(static_cast<double>(0.39269909262657166f)));
    const float focal = (static_cast<float>(width) * 0.5f) / tangent;
    return TAU_MATH::Normalize(
        Vec4(static_cast<float>(x - width / 2), static_cast<float>(y - height / 2), -focal, 0.0f));
}

} // namespace rt
} // namespace koru
