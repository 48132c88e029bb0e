// Shading: one hit under one light, packing colours into a pixel, texture
// sampling, and whole frames where saturation and shadows show.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "cpu_test_support.h"

using namespace cpu_test;

// ---------------------------------------------------------------------------
// Shading of one hit and packing.

namespace {

RAYTR::Hit facing_hit(float nx, float ny, float nz)
{
    RAYTR::Hit hit{};
    hit.pos[0] = hit.pos[1] = hit.pos[2] = 0.0f;
    hit.norm[0] = nx;
    hit.norm[1] = ny;
    hit.norm[2] = nz;
    hit.tex_id = 255;
    hit.material_id = 0;
    hit.untextured = 0;
    hit.prim_id = -1;
    return hit;
}

Light light_at(float x, float y, float z, float power = 1.0f)
{
    Light l;
    l.power = power;
    l.kc = 1.0f;
    l.kl = 0.0f;
    l.kq = 0.0f;
    l.pos = V4(x, y, z, 1.0f);
    return l;
}

} // namespace

TEST(ShadingHit, ShadowedOrFacingAwayGivesAmbientOnly)
{
    const Material m = make_material(0.1f, 0.5f, 0.5f, 10.0f);
    const RAYTR::Hit hit = facing_hit(0.0f, 0.0f, 1.0f);
    const Ray4 eye = make_ray(0.0f, 0.0f, 5.0f, 0.0f, 0.0f, -1.0f);
    const Light in_front = light_at(0.0f, 0.0f, 3.0f, 2.0f);
    const Light behind = light_at(0.0f, 0.0f, -3.0f, 2.0f);

    const koru::rt::Color lit = koru::rt::shade_hit(eye, hit, in_front, false, &m, nullptr, 0);
    EXPECT_GT(lit[0], 0.2f);
    for (const auto& c : {koru::rt::shade_hit(eye, hit, in_front, true, &m, nullptr, 0),
                          koru::rt::shade_hit(eye, hit, behind, false, &m, nullptr, 0)}) {
        EXPECT_FLOAT_EQ(c[0], 0.1f * 2.0f);
        EXPECT_FLOAT_EQ(c[1], 0.1f * 2.0f);
        EXPECT_FLOAT_EQ(c[2], 0.1f * 2.0f);
        EXPECT_EQ(c[3], 1.0f);
    }
}

// The highlight sits where the mirror image of the light direction meets the
// eye; looking from elsewhere (R.V < 0) gives no highlight and no NaN, even
// with a fractional exponent.
TEST(ShadingHit, SpecularUsesTheMirroredLightDirection)
{
    const Material m = make_material(0.0f, 0.0f, 1.0f, 2.5f);
    const RAYTR::Hit hit = facing_hit(0.0f, 0.0f, 1.0f);
    const Light light = light_at(-1.0f, 0.0f, 1.0f);
    // Light from the upper left mirrors to the upper right.
    const Ray4 mirror_eye = make_ray(3.0f, 0.0f, 3.0f, -1.0f, 0.0f, -1.0f);
    const koru::rt::Color highlight = koru::rt::shade_hit(mirror_eye, hit, light, false, &m, nullptr, 0);
    EXPECT_NEAR(highlight[0], 1.0f / 1.0f, 1e-5f); // s = 1, attenuation 1, no diffuse
    // Grazing from the light's side: R.V is close to -1.
    const Ray4 light_side_eye = make_ray(-3.0f, 0.0f, 0.01f, 1.0f, 0.0f, -0.0033f);
    const koru::rt::Color none = koru::rt::shade_hit(light_side_eye, hit, light, false, &m, nullptr, 0);
    EXPECT_EQ(none[0], 0.0f);
    EXPECT_FALSE(std::isnan(none[1]));
}

TEST(ShadingPack, ChannelsSaturateAndDropNegativeOrUndefined)
{
    using koru::rt::pack_color;
    using C = koru::rt::Color;
    EXPECT_EQ(pack_color(C(1.0f, 0.5f, 0.0f, 1.0f)), 0x00007FFFu);
    EXPECT_EQ(pack_color(C(2.0f, 1.0e30f, 1.0f, 7.0f)), 0x00FFFFFFu);
    EXPECT_EQ(pack_color(C(-0.5f, std::nanf(""), -INFINITY, 1.0f)), 0u);
    EXPECT_EQ(pack_color(C(INFINITY, 0.999f, 0.004f, 0.0f)), 0x0001FEFFu);
}

TEST(ShadingTexture, BilinearRepeatsAndClamps)
{
    // One row of five texels with red = 10, 20, 30, 40, 50.
    unsigned char texels[5 * 4];
    for (int x = 0; x < 5; ++x) {
        texels[4 * x] = static_cast<unsigned char>(10 * (x + 1));
        texels[4 * x + 1] = 0;
        texels[4 * x + 2] = 255;
        texels[4 * x + 3] = 0;
    }
    const koru::rt::Texture_View row{5, 1, texels};
    const auto red = [&](float u) { return koru::rt::sample_texture(row, u, 0.0f)[0] * 255.0f; };
    EXPECT_NEAR(red(0.0f), 10.0f, 1e-4f);
    EXPECT_NEAR(red(1.0f), 50.0f, 1e-4f);  // the last texel; its wrapped neighbour weighs 0
    EXPECT_NEAR(red(1.25f), 10.0f, 1e-4f); // x = 5 wraps to the first column
    EXPECT_NEAR(red(1.375f), 15.0f, 1e-3f); // halfway into the second
    EXPECT_NEAR(red(-0.3f), 10.0f, 1e-4f); // below 0 clamps
    EXPECT_NEAR(red(0.125f), 15.0f, 1e-3f); // x = 0.5
    EXPECT_NEAR(red(0.9375f), 47.5f, 1e-3f); // x = 3.75, between the last two
    EXPECT_NEAR(koru::rt::sample_texture(row, 0.5f, 3.7f)[2], 1.0f, 1e-6f);
    EXPECT_EQ(koru::rt::sample_texture(row, 0.5f, 0.0f)[3], 1.0f);
    // Coordinates that overflow to infinity on the way, or are infinite, read
    // the first texel instead of converting NaN to an integer.
    EXPECT_NEAR(red(3e38f), 10.0f, 1e-4f);
    EXPECT_NEAR(red(INFINITY), 10.0f, 1e-4f);
    EXPECT_NEAR(koru::rt::sample_texture(row, 0.0f, INFINITY)[0] * 255.0f, 10.0f, 1e-4f);
}

// The sampler's remainder without division is the remainder, across the
// whole range of positions it is used for and texture sides up to 2^16.
TEST(ShadingTexture, WrapWithoutDivisionIsTheRemainder)
{
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> position(0, (1 << 24) - 1), side(1, 1 << 16);
    const int edges[] = {0, 1, 254, 255, 256, 4079, 4080, (1 << 23) + 1, (1 << 24) - 1};
    for (int n : {1, 2, 3, 5, 7, 255, 256, 257, 1000, 4095, 65535, 65536})
        for (int i : edges)
            ASSERT_EQ(koru::rt::wrap_texel(i, n), i % n) << i << " mod " << n;
    for (int k = 0; k < 200000; ++k) {
        const int i = position(rng), n = side(rng) >> (k % 16);
        if (n > 0) {
            ASSERT_EQ(koru::rt::wrap_texel(i, n), i % n) << i << " mod " << n;
        }
    }
}

// A wall lit by two strong lights: each alone brings red to full, together
// they still give 255, not a wrapped value.
TEST(ShadingFrame, TwoSaturatingLightsGiveFullNotWrapped)
{
    Test_Tracer engine;
    engine.Init(8, 8);
    Material red = make_material(0.0f, 0.0f, 0.0f, 1.0f);
    red.ambient = TAU_MATH::VECTOR<3, float>(1.0f, 0.2f, 0.0f);
    engine.AddMaterial(red);
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    const float quad[4][2] = {{-50, -50}, {50, -50}, {50, 50}, {-50, 50}};
    for (const auto& q : quad) {
        Vertex v = make_vertex(q[0], q[1], -5.0f);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        vertices.push_back(v);
    }
    indices = {0, 1, 2, 0, 2, 3};
    engine.AddTriangles(vertices.data(), 4, indices.data(), 6);
    engine.AddPointLight(light_at(0.0f, 0.0f, 20.0f, 1.0f));
    engine.AddPointLight(light_at(1.0f, 0.0f, 20.0f, 1.5f));
    engine.BuildKdTree();
    engine.BeginDrawScene(1, true);
    for (int i = 0; i < 64; ++i) {
        const unsigned p = engine.FrameBuffer()[i];
        ASSERT_EQ(p & 0xFFu, 255u) << i;
        // Green: 0.2 + 0.3 = 0.5 of full.
        ASSERT_EQ((p >> 8) & 0xFFu, 127u) << i;
        ASSERT_EQ(p >> 16, 0u) << i;
    }
    engine.Release();
}

// A wall behind an occluder gets ambient only where the shadow falls, also
// when the occluder lies beyond the light.
TEST(ShadingFrame, ShadowedPixelsGetAmbientOnly)
{
    Test_Tracer engine;
    engine.Init(16, 16);
    engine.AddMaterial(make_material(0.2f, 0.6f, 0.0f, 1.0f));
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    const float wall[4][2] = {{-50, -50}, {50, -50}, {50, 50}, {-50, 50}};
    for (const auto& q : wall) {
        Vertex v = make_vertex(q[0], q[1], -5.0f);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        vertices.push_back(v);
    }
    indices = {0, 1, 2, 0, 2, 3};
    // A large occluder far beyond the light, behind the camera.
    const float occluder[4][2] = {{-100, -100}, {100, -100}, {100, 100}, {-100, 100}};
    for (const auto& q : occluder) {
        Vertex v = make_vertex(q[0], q[1], 30.0f);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        vertices.push_back(v);
    }
    for (unsigned i : {4u, 5u, 6u, 4u, 6u, 7u})
        indices.push_back(i);
    engine.AddTriangles(vertices.data(), 8, indices.data(), 12);
    engine.AddPointLight(light_at(0.0f, 0.0f, 5.0f, 1.0f));
    engine.BuildKdTree();
    engine.BeginDrawScene(1, true);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(engine.FrameBuffer()[i], 0x00333333u) << i; // 0.2 x 255 = 51
    engine.Release();
}
