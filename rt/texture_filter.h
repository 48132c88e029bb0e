// Texture sampling as the GPU's texture units do it, for the GPU tracer and
// its host emulation: the hardware's bilinear filter over normalised, wrapping
// coordinates, and where to point it so that it samples the scene's textures
// where the CPU tracer's sampler (sample_texture) does.
#pragma once

#include <cmath>

#include "../engine/host_device.h"
#include "shading.h"

namespace koru {
namespace rt {

// The hardware keeps a filter weight in fixed point with 8 fractional bits.
constexpr float filter_weight_steps = 256.0f;
// Whether it rounds a weight to the nearest step (true) or truncates it
// (false). Rounding is assumed until a device has been measured
// (koru_gpu_bench --texture-probe says which the device does).
constexpr bool filter_weights_rounded = true;

// A filter weight as the hardware keeps it.
KORU_HD float filter_weight(float fraction, bool rounded = filter_weights_rounded)
{
    return std::floor(fraction * filter_weight_steps + (rounded ? 0.5f : 0.0f)) / filter_weight_steps;
}

// sample_texture reads position u (w - 1) in texel units, texel centres on the
// integers, u below 0 clamped to 0, and wraps past the size. The hardware
// reads position u w - 0.5 of the normalised coordinate u, wrapping. This is
// the normalised coordinate of sample_texture's position along a side of
// `size` texels; the two filters then blend the same texels with the same
// weights, up to the hardware's 8-bit weights.
KORU_HD float device_texture_coordinate(float u, int size)
{
    if (!(u >= 0.0f))
        u = 0.0f;
    return (u * static_cast<float>(size - 1) + 0.5f) / static_cast<float>(size);
}

// The hardware's linear filter with wrap addressing over RGBA bytes read as
// normalised floats (cudaFilterModeLinear, cudaAddressModeWrap, normalised
// coordinates, cudaReadModeNormalizedFloat): the coordinate's fraction is
// taken, texel centres lie at +0.5, and each weight is kept in 8 fractional
// bits (filter_weight). Alpha is read like the colours.
KORU_HD Color filter_linear_wrap(const Texture_View& texture, float u, float v,
                                 bool rounded = filter_weights_rounded)
{
    const int w = texture.width;
    const int h = texture.height;
    const float x = (u - std::floor(u)) * static_cast<float>(w) - 0.5f;
    const float y = (v - std::floor(v)) * static_cast<float>(h) - 0.5f;
    const float fx = std::floor(x);
    const float fy = std::floor(y);
    const float a = filter_weight(x - fx, rounded);
    const float b = filter_weight(y - fy, rounded);
    const auto wrap = [](int i, int size) { return ((i % size) + size) % size; };
    const int x0 = wrap(static_cast<int>(fx), w), x1 = wrap(static_cast<int>(fx) + 1, w);
    const int y0 = wrap(static_cast<int>(fy), h), y1 = wrap(static_cast<int>(fy) + 1, h);
    const auto texel = [&](int tx, int ty) {
        const unsigned char* c = texture.texels + 4 * (static_cast<long>(ty) * w + tx);
        return Color(c[0] / 255.0f, c[1] / 255.0f, c[2] / 255.0f, c[3] / 255.0f);
    };
    return ((texel(x0, y0) * ((1.0f - a) * (1.0f - b)) + texel(x1, y0) * (a * (1.0f - b))) +
            texel(x0, y1) * ((1.0f - a) * b)) +
           texel(x1, y1) * (a * b);
}

} // namespace rt
} // namespace koru
