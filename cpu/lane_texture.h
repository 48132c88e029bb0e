// rt::sample_texture over the lane type F, to the bit: the coordinates,
// texel positions and blend in lanes, the texel loads lane by lane.
//
// Only the lane kernels (through lane_shading.h) and their tests include this.
#pragma once

#include <cstdint>
#include <cstring>

#include "../engine/hit.h"
#include "../rt/shading.h"
#include "../simd/simd.h"
#include "frame.h"

namespace koru {
namespace cpu {
namespace {

using RAYTR::Hit;

// The whole part of x for 0 <= x < 2^23 in floats, as a conversion to int
// truncates: adding and taking away 2^23 rounds x to a whole number, one
// too many where it rounded up.
template <class F>
F whole_part(F x)
{
    const F big(8388608.0f);
    const F rounded = (x + big) - big;
    return simd::select(rounded > x, rounded - F(1.0f), rounded);
}

// i mod n for whole numbers 0 <= i < 2^22 and 0 < n <= 2^11 in floats, the
// remainder rt::wrap_texel gives: the quotient in floats is within one of
// the true one, and every product and difference here is exact.
template <class F>
F wrap_lanes(F i, F n, F inv_n)
{
    F r = i - whole_part(i * inv_n) * n;
    r = simd::select(r < F(0.0f), r + n, r);
    r = simd::select(r >= n, r - n, r);
    return simd::select(r >= n, r - n, r);
}

// rt::sample_texture for the lanes in `lanes` (textured hits), all at once
// where the texel coordinates lie below 2^22 (repeated textures included);
// texture[c] takes r, g and b. Lanes beyond that, or whose texture is larger
// than 2048 texels on a side, are sampled one by one.
template <class F>
void sample_texture_lanes(const Frame_Scene& scene, const Hit hits[], unsigned lanes, F texture[3])
{
    constexpr int n = F::size;
    alignas(F) float u[n], v[n], size[2][n], small[n];
    for (int k = 0; k < n; ++k) {
        const bool mine = (lanes >> k) & 1u;
        const rt::Texture_View& t = scene.textures[mine ? hits[k].tex_id : 0];
        const bool fits = mine && t.width > 0 && t.height > 0 && t.width <= (1 << 11) && t.height <= (1 << 11);
        u[k] = mine ? hits[k].tex_coord[0] : 0.0f;
        v[k] = mine ? hits[k].tex_coord[1] : 0.0f;
        size[0][k] = fits ? static_cast<float>(t.width) : 1.0f;
        size[1][k] = fits ? static_cast<float>(t.height) : 1.0f;
        small[k] = fits ? 1.0f : 0.0f;
    }
    const F zero(0.0f), one(1.0f), limit(4194304.0f);
    const F uu = F::load(u), vv = F::load(v), w = F::load(size[0]), h = F::load(size[1]);
    const F x = simd::select(uu >= zero, uu, zero) * (w - one);
    const F y = simd::select(vv >= zero, vv, zero) * (h - one);
    const unsigned inside =
        static_cast<unsigned>(simd::movemask(both(both(F::load(small) > zero, x < limit), y < limit)));
    const F x_whole = whole_part(x), y_whole = whole_part(y);
    const F fx = x - x_whole, fy = y - y_whole;
    const F inv_w = one / w, inv_h = one / h;
    const F x0 = wrap_lanes(x_whole, w, inv_w), y0 = wrap_lanes(y_whole, h, inv_h);
    const F x1 = wrap_lanes(whole_part(x + one), w, inv_w), y1 = wrap_lanes(whole_part(y + one), h, inv_h);

    // The four texels of each lane as they lie in memory (RGBA), then their
    // channels in lanes.
    alignas(F) float tx[2][n], ty[2][n];
    alignas(F) uint32_t texel[4][n];
    x0.store(tx[0]);
    x1.store(tx[1]);
    y0.store(ty[0]);
    y1.store(ty[1]);
    for (int k = 0; k < n; ++k) {
        if (!((inside >> k) & 1u)) {
            for (int q = 0; q < 4; ++q)
                texel[q][k] = 0;
            continue;
        }
        const rt::Texture_View& t = scene.textures[hits[k].tex_id];
        // c00, c10, c01, c11
        for (int q = 0; q < 4; ++q) {
            const long row = static_cast<long>(ty[q / 2][k]) * t.width;
            std::memcpy(&texel[q][k], t.texels + 4 * (row + static_cast<long>(tx[q % 2][k])), sizeof texel[q][k]);
        }
    }
    const F w00 = (one - fx) * (one - fy), w10 = fx * (one - fy), w11 = fx * fy, w01 = (one - fx) * fy;
    const F scale(rt::texel_scale);
    for (int c = 0; c < 3; ++c) {
        const F c00 = F::load_byte(texel[0], c) * scale, c10 = F::load_byte(texel[1], c) * scale;
        const F c01 = F::load_byte(texel[2], c) * scale, c11 = F::load_byte(texel[3], c) * scale;
        texture[c] = ((c00 * w00 + c10 * w10) + c11 * w11) + c01 * w01;
    }

    // The rest one by one.
    const unsigned apart = lanes & ~inside;
    if (apart == 0)
        return;
    alignas(F) float rgb[3][n];
    for (int c = 0; c < 3; ++c)
        texture[c].store(rgb[c]);
    for (unsigned bits = apart; bits != 0; bits &= bits - 1) {
        const int k = __builtin_ctz(bits);
        const Hit& h = hits[k];
        const rt::Color t = rt::sample_texture(scene.textures[h.tex_id], h.tex_coord[0], h.tex_coord[1]);
        for (int c = 0; c < 3; ++c)
            rgb[c][k] = t[c];
    }
    for (int c = 0; c < 3; ++c)
        texture[c] = F::load(rgb[c]);
}

} // namespace
} // namespace cpu
} // namespace koru
