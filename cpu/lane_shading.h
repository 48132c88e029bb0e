// The shading of a packet's hits, all lanes at once over the lane type F:
// rt::shade_hit's arithmetic, rt::make_shadow_ray's and rt::reflection_ray's,
// operation for operation in their order, so that every lane is rounded as
// the single ray is. Only what has no lane form stays per lane: the texture
// lookup's texel loads (once per hit, not once per light, see
// lane_texture.h) and the specular power, taken in double as rt::shade_hit
// takes it.
//
// Only the lane kernels (lane_kernels.cpp) include this, after packet_walk.h.
#pragma once

#include <cmath>

#include "../rt/gpu_pixel.h"
#include "../simd/simd.h"
#include "frame.h"
#include "lane_texture.h"
#include "packet_walk.h"

namespace koru {
namespace cpu {
namespace {

// (a[0] b[0] + a[1] b[1]) + a[2] b[2], as TAU_MATH::Dot3 adds.
template <class F>
F dot3(const F a[3], const F b[3])
{
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

// a divided by its length, as TAU_MATH::Normalize divides.
template <class F>
void normalize3(const F a[3], F out[3])
{
    using std::sqrt;
    const F length = sqrt(dot3(a, a));
    for (int i = 0; i < 3; ++i)
        out[i] = a[i] / length;
}

// A packet's hits as lanes, with their materials and texture colours; lanes
// without a hit hold zeros (material 0, no texture) and are never used.
template <class F>
struct Hit_Lanes {
    F pos[3], norm[3];
    F texture[3]; // the texture's colour at the hit, white without one
    F ambient[3], diffuse[3], specular[3];
    F reflectivity;
    alignas(F) float spec_power[F::size];

    Hit_Lanes(const Frame_Scene& scene, const Hit hits[], unsigned hit_mask)
    {
        constexpr int n = F::size;
        alignas(F) float lane[16][n];
        unsigned textured = 0;
        for (int k = 0; k < n; ++k) {
            const bool hit = (hit_mask >> k) & 1u;
            const Hit& h = hits[k];
            const rt::Material& m = scene.materials[hit ? h.material_id : 0];
            if (hit && h.untextured == 0 && h.tex_id < scene.texture_count)
                textured |= 1u << k;
            for (int c = 0; c < 3; ++c) {
                lane[c][k] = hit ? h.pos[c] : 0.0f;
                lane[3 + c][k] = hit ? h.norm[c] : 0.0f;
                lane[9 + c][k] = m.ambient[c];
                lane[12 + c][k] = m.diffuse[c];
                lane[6 + c][k] = m.specular[c];
            }
            lane[15][k] = rt::reflectivity(m);
            spec_power[k] = m.spec_power;
        }
        for (int c = 0; c < 3; ++c) {
            pos[c] = F::load(lane[c]);
            norm[c] = F::load(lane[3 + c]);
            ambient[c] = F::load(lane[9 + c]);
            diffuse[c] = F::load(lane[12 + c]);
            specular[c] = F::load(lane[6 + c]);
        }
        reflectivity = F::load(lane[15]);
        for (int c = 0; c < 3; ++c)
            texture[c] = F(1.0f);
        if (textured != 0) {
            F sampled[3];
            sample_texture_lanes(scene, hits, textured, sampled);
            const Mask<F> has_texture = lanes_of<F>(textured);
            for (int c = 0; c < 3; ++c)
                texture[c] = simd::select(has_texture, sampled[c], texture[c]);
        }
    }
};

// Lanes not in `own` take lane `source`'s ray, so that every lane of a packet
// holds a real ray and the packet stays as coherent as its own rays are; the
// walks leave those lanes out.
template <int N>
void borrow_lanes(Ray_Packet_Of<N>& packet, unsigned own)
{
    int source = 0;
    while (!(own & (1u << source)))
        ++source;
    for (int k = 0; k < N; ++k)
        if (!(own & (1u << k)))
            for (int a = 0; a < 3; ++a) {
                packet.origin[a][k] = packet.origin[a][source];
                packet.direction[a][k] = packet.direction[a][source];
            }
}

// Each hit lane's colour, added to `colors` (r, g, b lanes; the other lanes
// keep theirs): the sum over the lights of each light's rt::shade_hit, each
// limited to 1 per channel. With shadows a hit that faces a light asks a
// shadow packet whether the light is hidden.
template <int N>
void shade_hit_lanes(const Frame_Scene& scene, const Ray_Packet_Of<N>& packet, const Hit_Lanes<simd::vfloat<N>>& h,
                     unsigned hit_mask, bool shadows, simd::vfloat<N> colors[3], Frame_Stats& stats)
{
    using F = simd::vfloat<N>;
    // The direction towards the eye is the same for every light.
    F v[3];
    {
        F to_eye[3];
        for (int a = 0; a < 3; ++a)
            to_eye[a] = F::load(packet.origin[a]) - h.pos[a];
        normalize3(to_eye, v);
    }
    const Mask<F> hit = lanes_of<F>(hit_mask);
    for (int li = 0; li < scene.light_count; ++li) {
        const rt::Light& light = scene.lights[li];
        // rt::light_direction: l, the distance d and n.l.
        F to_light[3], l[3];
        for (int a = 0; a < 3; ++a)
            to_light[a] = F(light.pos[a]) - h.pos[a];
        using std::sqrt;
        const F d = sqrt(dot3(to_light, to_light));
        for (int a = 0; a < 3; ++a)
            l[a] = to_light[a] / d;
        const F n_dot_l = dot3(h.norm, l);
        const unsigned facing = static_cast<unsigned>(simd::movemask(n_dot_l > F(0.0f))) & hit_mask;

        // Only hits that face the light need a shadow ray: elsewhere shading
        // ignores shadows. The shadow ray's direction is l (rt::make_shadow_ray
        // normalises the same difference).
        unsigned shadowed = 0;
        const unsigned lit = shadows ? facing : 0u;
        if (lit != 0) {
            Ray_Packet_Of<N> shadow_packet;
            for (int a = 0; a < 3; ++a) {
                (h.pos[a] + F(rt::shadow_ray_offset) * l[a]).store(shadow_packet.origin[a]);
                l[a].store(shadow_packet.direction[a]);
            }
            borrow_lanes(shadow_packet, lit);
            shadowed = any_hits(scene.tree, shadow_packet, lit, stats);
            stats.shadow_rays += static_cast<unsigned>(__builtin_popcount(lit));
        }

        // Diffuse and Phong specular where the face is lit.
        const unsigned bright = facing & ~shadowed;
        F h_light[3] = {F(0.0f), F(0.0f), F(0.0f)};
        if (bright != 0) {
            const F twice = F(2.0f) * n_dot_l;
            F r0[3], r[3];
            for (int a = 0; a < 3; ++a)
                r0[a] = twice * h.norm[a] - l[a];
            normalize3(r0, r);
            alignas(F) float base[N], s[N];
            dot3(r, v).store(base);
            for (int k = 0; k < N; ++k)
                s[k] = (bright >> k) & 1u && base[k] >= 0.0f
                           ? static_cast<float>(std::pow(static_cast<double>(base[k]),
                                                         static_cast<double>(h.spec_power[k])))
                           : 0.0f;
            const F spec = F::load(s);
            const F attenuation = F(1.0f) / ((F(light.kc) + F(light.kl) * d) + F(light.kq) * (d * d));
            const Mask<F> on = lanes_of<F>(bright);
            for (int c = 0; c < 3; ++c)
                h_light[c] = simd::select(on, (n_dot_l * h.diffuse[c] + spec * h.specular[c]) * attenuation, F(0.0f));
        }
        for (int c = 0; c < 3; ++c) {
            const F term = (h.texture[c] * (h_light[c] + h.ambient[c])) * F(light.power);
            colors[c] = simd::select(hit, colors[c] + simd::min_or_bound(term, F(1.0f)), colors[c]);
        }
    }
}

// The mirror rays of the hit lanes in `reflective` (rt::reflection_ray), into
// `next`; returns the lanes that have one (a normal of no length has none).
template <int N>
unsigned reflect_lanes(const Ray_Packet_Of<N>& packet, const Hit_Lanes<simd::vfloat<N>>& h, unsigned reflective,
                       Ray_Packet_Of<N>& next)
{
    using F = simd::vfloat<N>;
    const unsigned has_normal = static_cast<unsigned>(simd::movemask(dot3(h.norm, h.norm) > F(0.0f))) & reflective;
    if (has_normal == 0)
        return 0;
    F n[3], d[3], m[3], dir[3];
    normalize3(h.norm, n);
    for (int a = 0; a < 3; ++a)
        d[a] = F::load(packet.direction[a]);
    const F twice = F(2.0f) * dot3(d, n);
    for (int a = 0; a < 3; ++a)
        m[a] = d[a] - twice * n[a];
    normalize3(m, dir);
    for (int a = 0; a < 3; ++a) {
        dir[a].store(next.direction[a]);
        (h.pos[a] + F(rt::reflection_ray_offset) * dir[a]).store(next.origin[a]);
    }
    return has_normal;
}

} // namespace
} // namespace cpu
} // namespace koru
