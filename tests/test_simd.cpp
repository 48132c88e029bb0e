// The four-wide lane type against the scalar lane: the NaN rules, masks and
// sign bits the packet walk relies on, and the shared intersection code giving
// every packet lane exactly the single-ray bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "simd/simd.h"
#include "rt/intersect.h"

namespace {

using koru::simd::float4;
using koru::simd::mask4;

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

struct Lanes {
    alignas(16) float v[4];
};

Lanes lanes(float4 x)
{
    Lanes l;
    x.store(l.v);
    return l;
}

float4 make(float a, float b, float c, float d)
{
    alignas(16) const float v[4] = {a, b, c, d};
    return float4::load(v);
}

uint32_t bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(Simd, BoundsWinWhereTheValueIsNaNAsInTheScalarLane)
{
    const float values[4] = {nan_value, -inf, 3.0f, inf};
    const float4 t = make(values[0], values[1], values[2], values[3]);
    const Lanes lo = lanes(koru::simd::min_or_bound(t, float4(1.0f)));
    const Lanes hi = lanes(koru::simd::max_or_bound(t, float4(1.0f)));
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(bits(lo.v[k]), bits(koru::rt::min_or_bound(values[k], 1.0f))) << k;
        EXPECT_EQ(bits(hi.v[k]), bits(koru::rt::max_or_bound(values[k], 1.0f))) << k;
    }
    EXPECT_EQ(lo.v[0], 1.0f);
    EXPECT_EQ(hi.v[0], 1.0f);
    EXPECT_EQ(lo.v[1], -inf);
    EXPECT_EQ(hi.v[3], inf);
}

TEST(Simd, ComparesMasksAndSignBits)
{
    const float4 a = make(1.0f, nan_value, -2.0f, 0.0f);
    const float4 b = make(2.0f, 0.0f, -2.0f, -0.0f);
    // NaN compares false every way; 0 and -0 are equal.
    EXPECT_EQ(koru::simd::movemask(a < b), 0x1);
    EXPECT_EQ(koru::simd::movemask(a <= b), 0xD);
    EXPECT_EQ(koru::simd::movemask(a > b), 0x0);
    EXPECT_EQ(koru::simd::movemask(a >= b), 0xC);

    const mask4 low = a < b, equal = a >= b;
    EXPECT_EQ(koru::simd::movemask(low | equal), 0xD);
    EXPECT_EQ(koru::simd::movemask(low & equal), 0x0);
    EXPECT_EQ(koru::simd::movemask(andnot(a <= b, low)), 0xC);
    EXPECT_TRUE(koru::simd::all(mask4(true)));
    EXPECT_TRUE(koru::simd::none(mask4(false)));
    EXPECT_TRUE(koru::simd::any(low));

    const Lanes chosen = lanes(koru::simd::select(a <= b, float4(7.0f), b));
    EXPECT_EQ(chosen.v[0], 7.0f);
    EXPECT_EQ(chosen.v[1], 0.0f);
    EXPECT_EQ(chosen.v[2], 7.0f);
    EXPECT_EQ(chosen.v[3], 7.0f);

    // -0.0 heads down the axis, as its sign bit (and its reciprocal) says.
    EXPECT_EQ(koru::simd::sign_bits(b), 0xC);
    EXPECT_EQ(koru::rt::far_child_is_upper(-0.0f), 0u);
    EXPECT_EQ(koru::rt::far_child_is_upper(0.0f), 1u);
}

// Texels go into lanes byte by byte, in memory order, and pixels come back
// as whole numbers truncated into bytes 0 to 2.
TEST(Simd, BytesGoIntoLanesAndBackInMemoryOrder)
{
    const unsigned char texels[4][4] = {{0, 1, 2, 3}, {255, 128, 7, 9}, {10, 20, 30, 40}, {254, 0, 255, 1}};
    uint32_t words[4];
    std::memcpy(words, texels, sizeof words);
    float4 channel[4];
    for (int c = 0; c < 4; ++c) {
        channel[c] = float4::load_byte(words, c);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(lanes(channel[c]).v[k], static_cast<float>(texels[k][c])) << "texel " << k << " byte " << c;
    }
    uint32_t packed[4];
    koru::simd::pack_bytes(channel[0], channel[1], channel[2], packed);
    for (int k = 0; k < 4; ++k) {
        unsigned char bytes[4];
        std::memcpy(bytes, &packed[k], sizeof bytes);
        EXPECT_EQ(bytes[0], texels[k][0]);
        EXPECT_EQ(bytes[1], texels[k][1]);
        EXPECT_EQ(bytes[2], texels[k][2]);
        EXPECT_EQ(bytes[3], 0);
    }
    // Truncated as a conversion to an unsigned integer truncates.
    koru::simd::pack_bytes(make(254.99f, 0.5f, 255.0f, 1.0f), float4(0.0f), float4(128.7f), packed);
    for (int k = 0; k < 4; ++k) {
        const float r[4] = {254.99f, 0.5f, 255.0f, 1.0f};
        EXPECT_EQ(packed[k], (static_cast<uint32_t>(r[k]) & 0xFFu) | 128u << 16) << k;
    }
}

// Random rays with zero direction components and origins on box planes, so
// that infinities and NaNs reach every rule.
struct Ray_Source {
    std::mt19937 rng;
    explicit Ray_Source(uint32_t seed) : rng(seed) {}

    float coordinate()
    {
        switch (rng() % 8) {
        case 0:
            return 0.0f;
        case 1:
            return 1.0f; // a box plane
        default:
            return std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        }
    }
};

TEST(Simd, SharedRulesGiveEveryLaneTheScalarBits)
{
    Ray_Source source(41);
    RAYTR::KdTreeBox box;
    box.min = TAU_MATH::VECTOR<4, float>(-1.0f, -1.0f, -1.0f, 0.0f);
    box.max = TAU_MATH::VECTOR<4, float>(1.0f, 1.0f, 1.0f, 0.0f);
    int triangle_hits = 0;
    for (int round = 0; round < 5000; ++round) {
        alignas(16) float origin[3][4], direction[3][4], inv[3][4];
        for (int a = 0; a < 3; ++a)
            for (int k = 0; k < 4; ++k) {
                origin[a][k] = source.coordinate();
                direction[a][k] = source.coordinate();
                inv[a][k] = 1.0f / direction[a][k];
            }
        float4 o4[3], d4[3], i4[3];
        for (int a = 0; a < 3; ++a) {
            o4[a] = float4::load(origin[a]);
            d4[a] = float4::load(direction[a]);
            i4[a] = float4::load(inv[a]);
        }
        float corner[3][3];
        for (auto& c : corner)
            for (float& x : c)
                x = source.coordinate();

        const koru::rt::Box_Stretch<float4> s4 = koru::rt::slab_stretch<float4>(box, o4, i4);
        const int meets4 = koru::simd::movemask(koru::rt::meets_box(s4));
        float4 u4(0.0f), v4(0.0f), d2_4(0.0f);
        const float4 best4(2.0f);
        mask4 met4 = koru::rt::moller_trumbore<float4>(o4, d4, corner[0], corner[1], corner[2], mask4(true), u4, v4);
        mask4 accepted4 = met4;
        if (koru::simd::any(met4))
            accepted4 = koru::rt::accept_hit<float4>(o4, d4, corner[0], corner[1], corner[2], met4, u4, v4, best4, d2_4);
        const float4 split4 = koru::rt::split_distance(0.5f, o4[0], i4[0]);
        const float4 exit4 = koru::rt::leaf_exit(s4.tfar, 3.0f);

        for (int k = 0; k < 4; ++k) {
            const float o[3] = {origin[0][k], origin[1][k], origin[2][k]};
            const float d[3] = {direction[0][k], direction[1][k], direction[2][k]};
            const float i[3] = {inv[0][k], inv[1][k], inv[2][k]};
            const koru::rt::Box_Stretch<float> s = koru::rt::slab_stretch<float>(box, o, i);
            ASSERT_EQ(bits(s.tnear), bits(lanes(s4.tnear).v[k])) << round << " lane " << k;
            ASSERT_EQ(bits(s.tfar), bits(lanes(s4.tfar).v[k])) << round << " lane " << k;
            ASSERT_EQ(koru::rt::meets_box(s), ((meets4 >> k) & 1) != 0) << round << " lane " << k;
            ASSERT_EQ(bits(koru::rt::split_distance(0.5f, o[0], i[0])), bits(lanes(split4).v[k]));
            ASSERT_EQ(bits(koru::rt::leaf_exit(s.tfar, 3.0f)), bits(lanes(exit4).v[k]));

            float u = 0.0f, v = 0.0f, d2 = 0.0f;
            const bool met = koru::rt::moller_trumbore<float>(o, d, corner[0], corner[1], corner[2], true, u, v);
            ASSERT_EQ(met, ((koru::simd::movemask(met4) >> k) & 1) != 0) << round << " lane " << k;
            if (!met)
                continue;
            ASSERT_EQ(bits(u), bits(lanes(u4).v[k]));
            ASSERT_EQ(bits(v), bits(lanes(v4).v[k]));
            const bool accepted = koru::rt::accept_hit<float>(o, d, corner[0], corner[1], corner[2], true, u, v, 2.0f, d2);
            ASSERT_EQ(accepted, ((koru::simd::movemask(accepted4) >> k) & 1) != 0) << round << " lane " << k;
            ASSERT_EQ(bits(d2), bits(lanes(d2_4).v[k]));
            triangle_hits += accepted;
        }
    }
    EXPECT_GT(triangle_hits, 100);
}

} // namespace
