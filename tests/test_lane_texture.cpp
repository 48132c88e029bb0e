// The CPU tracer's texture sampler over four lanes against rt::sample_texture,
// to the bit, on every kind of coordinate a hit can carry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "../cpu/lane_texture.h"

namespace {

using koru::simd::float4;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(LaneTexture, LanesEqualTheSingleSampler)
{
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> byte(0, 255);
    // Sides of one texel, odd and even ones, the largest the lanes take
    // (2048) and one past it.
    const int sides[][2] = {{1, 1}, {16, 16}, {9, 7}, {1, 13}, {2048, 3}, {2049, 2}};
    std::vector<std::vector<unsigned char>> texels;
    koru::rt::Texture_View views[6];
    for (int t = 0; t < 6; ++t) {
        texels.emplace_back(static_cast<std::size_t>(4 * sides[t][0] * sides[t][1]));
        for (unsigned char& c : texels.back())
            c = static_cast<unsigned char>(byte(rng));
        views[t] = {sides[t][0], sides[t][1], texels.back().data()};
    }
    koru::cpu::Frame_Scene scene{};
    scene.textures = views;
    scene.texture_count = 6;

    // Within the texture, on its edges and texel centres, repeated, far
    // repeated (past where floats hold whole numbers exactly), negative and
    // not numbers at all.
    std::uniform_real_distribution<float> near(-0.5f, 3.0f), far(0.0f, 3e4f);
    const float special[] = {0.0f, 1.0f, 0.5f, 1.0f / 3.0f, 2.0f, 1.0f - 1e-7f, 1.0f + 1e-7f, -0.0f, -2.5f,
                             2047.0f, 4096.5f, 3e6f, 1e7f, 3e38f, INFINITY, -INFINITY, NAN};
    std::uniform_int_distribution<int> pick(0, 2), which(0, sizeof special / sizeof special[0] - 1), tex(0, 5);
    const auto coordinate = [&] {
        switch (pick(rng)) {
        case 0: return near(rng);
        case 1: return far(rng);
        default: return special[which(rng)];
        }
    };
    for (int round = 0; round < 20000; ++round) {
        RAYTR::Hit hits[4] = {};
        for (RAYTR::Hit& h : hits) {
            h.tex_id = static_cast<uint8_t>(tex(rng));
            h.tex_coord[0] = coordinate();
            h.tex_coord[1] = coordinate();
        }
        const unsigned lanes = 1u + static_cast<unsigned>(round % 15);
        float4 sampled[3];
        koru::cpu::sample_texture_lanes(scene, hits, lanes, sampled);
        alignas(16) float rgb[3][4];
        for (int c = 0; c < 3; ++c)
            sampled[c].store(rgb[c]);
        for (int k = 0; k < 4; ++k) {
            if (!((lanes >> k) & 1u))
                continue;
            const RAYTR::Hit& h = hits[k];
            const koru::rt::Color expected =
                koru::rt::sample_texture(views[h.tex_id], h.tex_coord[0], h.tex_coord[1]);
            for (int c = 0; c < 3; ++c)
                ASSERT_TRUE(same_bits(rgb[c][k], expected[c]))
                    << "texture " << int(h.tex_id) << " at (" << h.tex_coord[0] << ", " << h.tex_coord[1]
                    << "), channel " << c << ": " << rgb[c][k] << " instead of " << expected[c];
        }
    }
}

} // namespace
