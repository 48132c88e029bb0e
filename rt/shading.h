// Shading of one hit by one light, bilinear texture sampling, colour packing
// and the rays a frame makes (primary and shadow): plain functions over plain
// data, shared by the CPU tracer and a GPU kernel.
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../engine/limits.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "../simd/lanes.h"

namespace koru {
namespace rt {

using Vec4 = TAU_MATH::VECTOR<4, float>;
using Ray4 = TAU_MATH::RAY<4, float>;
using Material = TAU_GRAPHICS::MATERIAL<3>;
using Light = TAU_GRAPHICS::Point_Light<4, float>;
using Color = TAU_MATH::VECTOR<4, float>; // r, g, b, a

constexpr float shadow_ray_offset = 0.01f;
constexpr float texel_scale = 0.003921568859368563f; // 1/255

// Row-major RGBA texels (bytes R, G, B, A), as the scene store keeps them.
struct Texture_View {
    int width;
    int height;
    const unsigned char* texels;
};

// i mod n for 0 <= i < 2^24 and n > 0, without an integer division (the
// sampler needs four of them per hit on a repeated texture): the quotient in
// floats is within a few units of the true one, and the remainder is brought
// into [0, n) from there.
KORU_HD int wrap_texel(int i, int n)
{
    if (i < n)
        return i;
    int r = i - static_cast<int>(static_cast<float>(i) * (1.0f / static_cast<float>(n))) * n;
    while (r < 0)
        r += n;
    while (r >= n)
        r -= n;
    return r;
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
    // Beyond 2^24 floats are whole numbers; keep the integer conversion in
    // range. A coordinate that overflowed (or met a zero-width texture)
    // reads the first texel.
    if (!(x < 16777216.0f))
        x = x < INFINITY ? std::fmod(x, static_cast<float>(w)) : 0.0f;
    if (!(y < 16777216.0f))
        y = y < INFINITY ? std::fmod(y, static_cast<float>(h)) : 0.0f;
    const int x_whole = static_cast<int>(x);
    const int y_whole = static_cast<int>(y);
    const float fx = x - static_cast<float>(x_whole);
    const float fy = y - static_cast<float>(y_whole);
    const int x0 = wrap_texel(x_whole, w);
    const int y0 = wrap_texel(y_whole, h);
    const int x1 = wrap_texel(static_cast<int>(x + 1.0f), w);
    const int y1 = wrap_texel(static_cast<int>(y + 1.0f), h);

    const auto texel = [&](int tx, int ty) {
        const unsigned char* c = texture.texels + 4 * (static_cast<long>(ty) * w + tx);
        return Color(c[0] * texel_scale, c[1] * texel_scale, c[2] * texel_scale, 1.0f);
    };
    const Color c00 = texel(x0, y0), c10 = texel(x1, y0), c01 = texel(x0, y1), c11 = texel(x1, y1);
    const float w00 = (1.0f - fx) * (1.0f - fy), w10 = fx * (1.0f - fy), w11 = fx * fy, w01 = (1.0f - fx) * fy;
    return ((c00 * w00 + c10 * w10) + c11 * w11) + c01 * w01;
}

// Where a light lies from a hit: the unit direction l, the distance, and the
// cosine between l and the hit's normal.
struct Light_Direction {
    Vec4 l;
    float distance;
    float n_dot_l;
};

KORU_HD Light_Direction light_direction(const RAYTR::Hit& hit, const Light& light)
{
    const Vec4 n(hit.norm[0], hit.norm[1], hit.norm[2], 0.0f);
    const Vec4 p(hit.pos[0], hit.pos[1], hit.pos[2], 1.0f);
    const Vec4 to_light = light.pos - p;
    Light_Direction towards;
    towards.distance = std::sqrt(TAU_MATH::Dot3(to_light, to_light));
    const float d = towards.distance;
    towards.l = Vec4(to_light[0] / d, to_light[1] / d, to_light[2] / d, 0.0f);
    towards.n_dot_l = TAU_MATH::Dot3(n, towards.l);
    return towards;
}

// Only a face turned towards the light gets its diffuse and specular terms,
// so only there can a shadow change the colour.
KORU_HD bool faces_light(const Light_Direction& towards) { return towards.n_dot_l > 0.0f; }

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
    const Light_Direction towards = light_direction(hit, light);
    const Vec4& l = towards.l;
    const float d = towards.distance;
    const float n_dot_l = towards.n_dot_l;

    float h[3] = {0.0f, 0.0f, 0.0f};
    if (!shadowed && faces_light(towards)) {
        const float twice = 2.0f * n_dot_l;
        const Vec4 r = TAU_MATH::Normalize(Vec4(twice * n[0] - l[0], twice * n[1] - l[1], twice * n[2] - l[2], 0.0f));
        const Vec4 v = TAU_MATH::Normalize(Vec4(ray.pos[0] - p[0], ray.pos[1] - p[1], ray.pos[2] - p[2], 0.0f));
        const float base = TAU_MATH::Dot3(r, v);
        // In double: the single-precision pow rounds some results differently.
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

// Half a field of view of `degrees` in radians, rounded once to float.
KORU_HD constexpr float half_view_angle_of(float degrees)
{
    return static_cast<float>(degrees * 0.5 * 3.14159265358979323846 / 180.0);
}

// Half the default field of view.
constexpr float half_view_angle = half_view_angle_of(koru::field_of_view_degrees);
static_assert(half_view_angle == 0.39269909262657166f, "pi / 8 as a float");

// The camera's view of a width x height frame: a field of view of twice
// half_angle across the width, square pixels, every primary ray from the
// camera through its pixel's integer corner. Made once per frame, it gives any pixel's ray
// direction on demand, so that no frame keeps a table of them.
struct Eye_View {
    int half_width = 0;  // truncated halves: the pixel looking down -z
    int half_height = 0;
    float focal = 0.0f; // distance of the picture plane, in pixels

    // The unit direction through the point (x, y) of the picture plane,
    // counted in pixels from the pixel looking down -z: for one ray (F is
    // float) or for a packet's lanes, with TAU_MATH::Normalize's operations
    // in its order, so that every lane is rounded as the single ray is.
    template <class F>
    KORU_HD void direction_through(F x, F y, F d[3]) const
    {
        using std::sqrt;
        const F z = F(-focal);
        const F length = sqrt(x * x + y * y + z * z);
        d[0] = x / length;
        d[1] = y / length;
        d[2] = z / length;
    }

    // Camera-space unit direction of the primary ray of pixel (x, y).
    KORU_HD Vec4 direction(int x, int y) const
    {
        float d[3];
        direction_through(static_cast<float>(x - half_width), static_cast<float>(y - half_height), d);
        return Vec4(d[0], d[1], d[2], 0.0f);
    }
};

// The default angle's tangent is taken of the constant, as it always was, so
// that default frames stay the same to the bit.
KORU_HD Eye_View eye_view(int width, int height, float half_angle = half_view_angle)
{
    const float tangent = half_angle == half_view_angle ? std::tan(half_view_angle) : std::tan(half_angle);
    Eye_View view;
    view.half_width = width / 2;
    view.half_height = height / 2;
    view.focal = (static_cast<float>(width) * 0.5f) / tangent;
    return view;
}

// Camera-space primary ray direction of pixel (x, y) of a width x height frame.
KORU_HD Vec4 eye_ray_direction(int x, int y, int width, int height, float half_angle = half_view_angle)
{
    return eye_view(width, height, half_angle).direction(x, y);
}

} // namespace rt
} // namespace koru
