// The GPU engine without a device, whole frames: its per-pixel code runs on
// the host (the kernels' own functions over the scene store), held against
// the CPU tracer and against closed-form scenes; and the shared pieces it adds
// (the sphere test, reflections, the texture unit's filter, the constant
// block). Ray queries, launch shapes and the device layer are in
// test_gpu_queries.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gpu_test_support.h"
#include "rt/sphere.h"
#include "rt/texture_filter.h"

using namespace gpu_test;
namespace rt = koru::rt;

namespace {

// The material of a scene without reflections, and a reflective one.
Material matte(float ambient, float diffuse, float specular, float reflect = 0.0f)
{
    Material m = make_material(ambient, diffuse, specular, 20.0f);
    m.param[0].f = reflect;
    return m;
}

// A square of side 2 s around (x, z) at height y, facing up, in one material.
void add_floor(IGraphicsEngine& engine, float y, float x, float z, float s, int material)
{
    Vertex v[4];
    const float corners[4][2] = {{-s, -s}, {-s, s}, {s, s}, {s, -s}};
    for (int k = 0; k < 4; ++k) {
        v[k] = make_vertex(x + corners[k][0], y, z + corners[k][1], material);
        v[k].norm = V4(0.0f, 1.0f, 0.0f, 0.0f);
    }
    const unsigned indices[6] = {0, 1, 2, 2, 3, 0};
    engine.AddTriangles(v, 4, indices, 6);
}

Light light_at(float x, float y, float z)
{
    Light light;
    light.power = 1.0f;
    light.kc = 0.2f;
    light.kl = 0.05f;
    light.kq = 0.01f;
    light.pos = V4(x, y, z, 1.0f);
    return light;
}

std::vector<RAYTR::Hit> primary_hits(Test_Tracer& engine)
{
    const std::vector<Ray3> rays = primary_rays(engine);
    std::vector<RAYTR::Hit> hits(rays.size());
    koru::gpu::EmulateRays(engine, rays.data(), hits.data(), static_cast<unsigned>(rays.size()));
    return hits;
}

} // namespace

// ---------------------------------------------------------------------------
// Whole frames through the host emulation.

// Depth 1 with shadows is the CPU tracer's picture: to the bit where no
// texture is read (same walk, same shading arithmetic), within a level where
// the texture unit's 8-bit filter weights enter.
TEST(GpuEmulation, TriangleScenesGiveTheCpuTracersImage)
{
    for (unsigned seed = 1; seed <= 4; ++seed) {
        for (int n_textures : {0, 2}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", textures " + std::to_string(n_textures));
            std::mt19937 rng(seed);
            IMAGE images[2];
            fill_random_image(images[0], 5, 3, rng);
            fill_random_image(images[1], 8, 8, rng);
            Test_Tracer engine;
            engine.Init(96, 72);
            add_random_scene(engine, rng, 40 + 30 * static_cast<int>(seed), 1 + seed % 3, images, n_textures);
            engine.BuildKdTree();
            const std::vector<unsigned> cpu = cpu_frame(engine);
            const std::vector<unsigned> gpu = emulate(engine, 1, true);
            const std::string name = "triangles_" + std::to_string(seed) + "_" + std::to_string(n_textures);
            expect_close_frames(cpu, gpu, 96, 72, name);
            const Frame_Difference d = compare_frames(cpu, gpu);
            if (n_textures == 0) {
                EXPECT_EQ(d.equal, d.total) << name << ": worst " << d.worst;
            }
            EXPECT_GT(std::count_if(cpu.begin(), cpu.end(), [](unsigned p) { return p != 0; }), 96 * 72 / 10);
            engine.Release();
        }
    }
}

// The field of view reaches the emulated frame as it reaches the CPU
// tracer's eye rays (whose slopes follow the tangent): the same picture.
TEST(GpuEmulation, FieldOfViewGivesTheCpuTracersImage)
{
    std::mt19937 rng(11);
    Test_Tracer engine;
    engine.Init(96, 72);
    add_random_scene(engine, rng, 80, 2, nullptr, 0);
    engine.BuildKdTree();
    cpu_frame(engine); // the frame's camera
    const std::vector<unsigned> default_gpu = emulate(engine, 1, true);
    for (float fov : {20.0f, 45.0f, 100.0f}) {
        SCOPED_TRACE(fov);
        engine.SetFieldOfView(fov);
        const std::vector<unsigned> cpu = cpu_frame(engine);
        const std::vector<unsigned> gpu = emulate(engine, 1, true);
        EXPECT_EQ(cpu, gpu);
        EXPECT_EQ(gpu == default_gpu, fov == 45.0f);
    }
    engine.Release();
}

// The CPU tracer skips spheres; the GPU engine draws the demo's three, lit.
// Past the default capacities the device's walk over the grown tree gives
// the CPU tracer's picture, to the bit (no textures).
TEST(GpuEmulation, LargeSceneGivesTheCpuTracersImage)
{
    Test_Tracer engine;
    engine.Init(96, 72);
    add_height_field(engine, 265, 5); // 70,225 vertices, 139,392 triangles
    testing::internal::CaptureStderr();
    engine.BuildKdTree();
    testing::internal::GetCapturedStderr();
    const std::vector<unsigned> cpu = cpu_frame(engine);
    const std::vector<unsigned> gpu = emulate(engine, 1, true);
    const Frame_Difference d = compare_frames(cpu, gpu);
    EXPECT_EQ(d.equal, d.total) << "worst " << d.worst;
    expect_close_frames(cpu, gpu, 96, 72, "large_height_field");
    EXPECT_GT(std::count_if(cpu.begin(), cpu.end(), [](unsigned p) { return p != 0; }), 96 * 72 / 2);
    engine.Release();
}

TEST(GpuEmulation, DemoSceneShowsItsSpheres)
{
    const Demo_Textures textures(21);
    Test_Tracer engine;
    set_up_demo(engine, 160, 120, textures);
    const std::vector<unsigned> cpu = cpu_frame(engine);
    const std::vector<unsigned> gpu = emulate(engine, 1, true);
    const std::vector<RAYTR::Hit> hits = primary_hits(engine);
    std::size_t sphere_pixels[3] = {0, 0, 0}, lit[3] = {0, 0, 0}, changed[3] = {0, 0, 0};
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const int id = hits[i].prim_id;
        if (id < 0)
            continue;
        ASSERT_LT(id, 3);
        ++sphere_pixels[id];
        lit[id] += gpu[i] != 0;
        changed[id] += gpu[i] != cpu[i];
    }
    for (int s = 0; s < 3; ++s) {
        SCOPED_TRACE("sphere " + std::to_string(s));
        EXPECT_GT(sphere_pixels[s], 30u);
        EXPECT_EQ(lit[s], sphere_pixels[s]);
        EXPECT_GT(changed[s] * 10, sphere_pixels[s] * 9);
    }
    write_frame("demo_emulated_depth1", 160, 120, gpu);
    engine.Release();
}

TEST(GpuEmulation, DepthZeroAndSevenRunAsDepthFour)
{
    const Demo_Textures textures(22);
    Test_Tracer engine;
    set_up_demo(engine, 64, 48, textures);
    cpu_frame(engine);
    for (bool shadows : {true, false}) {
        const std::vector<unsigned> four = emulate(engine, 4, shadows);
        EXPECT_EQ(emulate(engine, 0, shadows), four) << shadows;
        EXPECT_EQ(emulate(engine, 7, shadows), four) << shadows;
        EXPECT_NE(emulate(engine, 1, shadows), four) << shadows;
    }
    engine.Release();
}

// Depth 2 adds reflections where the primary hit's material reflects
// (param[0] > 0) and nowhere else; it only ever adds light.
TEST(GpuEmulation, DepthTwoReflectsOnReflectiveMaterialsOnly)
{
    const Demo_Textures textures(23);
    Test_Tracer engine;
    set_up_demo(engine, 160, 120, textures);
    cpu_frame(engine);
    const std::vector<RAYTR::Hit> hits = primary_hits(engine);
    for (bool shadows : {true, false}) {
        const std::vector<unsigned> one = emulate(engine, 1, shadows);
        const std::vector<unsigned> two = emulate(engine, 2, shadows);
        std::size_t reflective = 0, reflecting = 0, matte_pixels = 0;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            const bool reflects = !is_miss(hits[i]) && rt::reflectivity(engine.Materials()[hits[i].material_id]) > 0.0f;
            if (!reflects) {
                ++matte_pixels;
                EXPECT_EQ(two[i], one[i]) << "pixel " << i;
                continue;
            }
            ++reflective;
            reflecting += two[i] != one[i];
            for (int c = 0; c < 3; ++c)
                EXPECT_GE(channel(two[i], c), channel(one[i], c)) << "pixel " << i;
        }
        EXPECT_GT(matte_pixels, hits.size() / 20);
        EXPECT_GT(reflective, hits.size() / 4);
        EXPECT_GT(reflecting * 2, reflective) << shadows;
    }
    engine.Release();
}

// A mirror floor under an empty sky and no light: black at depth 1; from
// depth 2 on the floor shows the ambient light, weighted by its
// reflectivity (0.15 of 255 is 38, half of it 19).
TEST(GpuEmulation, ReflectedRaysThatLeaveTheSceneBringTheAmbientLight)
{
    for (float reflect : {1.0f, 0.5f, 2.0f}) {
        Test_Tracer engine;
        engine.Init(32, 24);
        engine.AddMaterial(matte(0.2f, 0.5f, 0.0f, reflect));
        engine.AddMaterial(matte(0.2f, 0.5f, 0.0f, reflect));
        add_floor(engine, -1.0f, 0.0f, -10.0f, 50.0f, 1);
        engine.BuildKdTree();
        cpu_frame(engine);
        const std::vector<unsigned> one = emulate(engine, 1, true);
        const std::vector<unsigned> two = emulate(engine, 2, true);
        const unsigned expected = reflect == 0.5f ? 19u : 38u;
        // The bottom row sees the floor, the top row the sky.
        EXPECT_EQ(one[5], 0u);
        EXPECT_EQ(two[5], expected | expected << 8 | expected << 16) << reflect;
        EXPECT_EQ(two[23 * 32 + 5], 0u);
        engine.Release();
    }
}

// Shadows off: an occluder that the camera cannot see changes nothing; with
// shadows it darkens part of the floor and brightens nothing.
TEST(GpuEmulation, ShadowsOffLetsEveryLightContribute)
{
    std::vector<unsigned> frames[2][2]; // [with occluder][shadows]
    for (int with_occluder = 0; with_occluder < 2; ++with_occluder) {
        Test_Tracer engine;
        engine.Init(64, 48);
        engine.AddMaterial(matte(0.1f, 0.6f, 0.3f));
        engine.AddMaterial(matte(0.1f, 0.6f, 0.3f));
        engine.AddPointLight(light_at(0.0f, 7.0f, 8.0f));
        engine.AddPointLight(light_at(5.0f, 6.0f, -10.0f));
        add_floor(engine, -1.0f, 0.0f, -10.0f, 20.0f, 1);
        if (with_occluder != 0)
            add_floor(engine, 5.0f, 0.0f, 8.0f, 1.0f, 1); // above the camera (at z = 10), out of view
        engine.BuildKdTree();
        cpu_frame(engine);
        frames[with_occluder][0] = emulate(engine, 1, false);
        frames[with_occluder][1] = emulate(engine, 1, true);
        engine.Release();
    }
    EXPECT_EQ(compare_frames(frames[0][0], frames[1][0]).within_one, frames[0][0].size());
    const std::vector<unsigned>& lit = frames[1][0];
    const std::vector<unsigned>& shadowed = frames[1][1];
    std::size_t darker = 0;
    for (std::size_t i = 0; i < lit.size(); ++i) {
        for (int c = 0; c < 3; ++c)
            EXPECT_LE(channel(shadowed[i], c), channel(lit[i], c)) << "pixel " << i;
        darker += shadowed[i] != lit[i];
    }
    EXPECT_GT(darker, lit.size() / 10);
    // Without the occluder nothing casts a shadow on the floor.
    EXPECT_EQ(compare_frames(frames[0][0], frames[0][1]).within_one, lit.size());
}

TEST(GpuEmulation, EmptyScenesRenderBlack)
{
    for (bool build : {false, true}) {
        Test_Tracer engine;
        engine.Init(24, 16);
        engine.AddPointLight(light_at(0.0f, 2.0f, 0.0f));
        if (build)
            engine.BuildKdTree();
        cpu_frame(engine);
        for (unsigned depth : {1u, 3u}) {
            std::vector<unsigned> frame(24 * 16, 0xDEADBEEFu);
            koru::gpu::EmulateFrame(engine, frame_camera(engine), depth, true, frame.data());
            EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; })) << build;
        }
        engine.Release();
    }
}

// Only whole 8 x 8 tiles are traced, as the kernel's grid covers them.
TEST(GpuEmulation, PixelsOutsideWholeTilesAreNotWritten)
{
    const Demo_Textures textures(24);
    Test_Tracer engine;
    set_up_demo(engine, 37, 21, textures);
    cpu_frame(engine);
    std::vector<unsigned> frame(37 * 21, 0xDEADBEEFu);
    koru::gpu::EmulateFrame(engine, frame_camera(engine), 1, true, frame.data());
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x) {
            const bool inside = x < 32 && y < 16;
            EXPECT_EQ(frame[y * 37 + x] == 0xDEADBEEFu, !inside) << x << ", " << y;
        }
    engine.Release();
}

// ---------------------------------------------------------------------------
// The pieces the GPU engine adds to the shared core.

TEST(GpuCore, SphereTestFromOutsideInsideAndBehind)
{
    rt::Sphere s;
    s.center = V4(0.0f, 0.0f, -5.0f, 1.0f);
    s.radius = 2.0f;
    s.material_id = 0x1207;
    const float origin[3] = {0.0f, 0.0f, 0.0f};
    const float ahead[3] = {0.0f, 0.0f, -1.0f};
    float t = 0.0f;
    ASSERT_TRUE(rt::intersect_sphere(origin, ahead, s, t));
    EXPECT_FLOAT_EQ(t, 3.0f);
    RAYTR::Hit hit;
    rt::fill_sphere_hit(origin, ahead, t, s, 9, &hit);
    EXPECT_FLOAT_EQ(hit.pos[2], -3.0f);
    EXPECT_FLOAT_EQ(hit.norm[2], 1.0f);
    EXPECT_EQ(hit.prim_id, 9);
    EXPECT_EQ(hit.material_id, 0x07);
    EXPECT_NE(hit.untextured, 0);
    EXPECT_EQ(hit.tex_id, TAU_GRAPHICS::kNoTexture);

    const float inside[3] = {0.0f, 0.0f, -5.5f};
    ASSERT_TRUE(rt::intersect_sphere(inside, ahead, s, t));
    EXPECT_FLOAT_EQ(t, 1.5f);
    const float behind[3] = {0.0f, 0.0f, 1.0f};
    EXPECT_FALSE(rt::intersect_sphere(origin, behind, s, t));
    const float past[3] = {0.0f, 2.01f, 0.0f};
    EXPECT_FALSE(rt::intersect_sphere(past, ahead, s, t));
    // Starting on the surface, the ray finds the far side, not itself.
    const float on_surface[3] = {0.0f, 0.0f, -3.0f};
    ASSERT_TRUE(rt::intersect_sphere(on_surface, ahead, s, t));
    EXPECT_FLOAT_EQ(t, 4.0f);
}

TEST(GpuCore, ReflectionMirrorsAboutTheFacingNormal)
{
    Ray4 ray = make_ray(0.0f, 1.0f, 0.0f, 1.0f, -1.0f, 0.0f);
    RAYTR::Hit hit{};
    hit.pos[0] = 1.0f;
    for (const float ny : {1.0f, -1.0f, 3.0f}) {
        hit.norm[0] = 0.0f;
        hit.norm[1] = ny;
        hit.norm[2] = 0.0f;
        Ray4 r;
        ASSERT_TRUE(rt::reflection_ray(ray, hit, r)) << ny;
        EXPECT_NEAR(r.dir[0], std::sqrt(0.5f), 1e-6f);
        EXPECT_NEAR(r.dir[1], std::sqrt(0.5f), 1e-6f);
        EXPECT_NEAR(r.pos[0], 1.0f + rt::reflection_ray_offset * std::sqrt(0.5f), 1e-6f);
        EXPECT_GT(r.pos[1], 0.0f);
    }
    hit.norm[1] = 0.0f;
    Ray4 r;
    EXPECT_FALSE(rt::reflection_ray(ray, hit, r));

    Material m = matte(0, 0, 0);
    for (const auto& [param, expected] : {std::pair<float, float>{0.35f, 0.35f}, {-1.0f, 0.0f}, {4.0f, 1.0f},
                                          {std::numeric_limits<float>::quiet_NaN(), 0.0f}}) {
        m.param[0].f = param;
        EXPECT_EQ(rt::reflectivity(m), expected) << param;
    }
}

// The emulated texture unit: texel centres read one texel, weights come in
// 256ths, coordinates wrap; pointed by device_texture_coordinate it reads
// where the CPU tracer's sampler does, to within the weights' rounding.
TEST(GpuCore, TextureUnitFilterAndTheCpuSampler)
{
    std::mt19937 rng(7);
    IMAGE image;
    fill_random_image(image, 7, 5, rng);
    const rt::Texture_View view{7, 5, image.data};
    const auto texel = [&](int x, int y, int c) { return image.data[4 * (y * 7 + x) + c] / 255.0f; };

    const rt::Color centre = rt::filter_linear_wrap(view, 3.5f / 7.0f, 2.5f / 5.0f);
    for (int c = 0; c < 4; ++c)
        EXPECT_FLOAT_EQ(centre[c], texel(3, 2, c));
    const rt::Color wrapped = rt::filter_linear_wrap(view, 3.5f / 7.0f + 2.0f, 2.5f / 5.0f - 1.0f);
    EXPECT_EQ(std::memcmp(&wrapped, &centre, sizeof centre), 0);
    // A third of the way from texel 6 to texel 0 (across the edge).
    const rt::Color third = rt::filter_linear_wrap(view, (6.5f + 1.0f / 3.0f) / 7.0f, 0.5f / 5.0f);
    const float a = 85.0f / 256.0f;
    EXPECT_NEAR(third[0], (1.0f - a) * texel(6, 0, 0) + a * texel(0, 0, 0), 1e-6f);

    std::uniform_real_distribution<float> coordinate(-0.5f, 3.0f);
    for (int k = 0; k < 2000; ++k) {
        const float u = coordinate(rng), v = coordinate(rng);
        const rt::Color cpu = rt::sample_texture(view, u, v);
        const rt::Color unit = rt::filter_linear_wrap(view, rt::device_texture_coordinate(u, 7),
                                                      rt::device_texture_coordinate(v, 5));
        for (int c = 0; c < 3; ++c)
            ASSERT_NEAR(unit[c], cpu[c], 1.0f / 255.0f) << u << ", " << v;
    }
}

TEST(GpuCore, ConstantBlockHoldsTheSceneAtItsOffsets)
{
    const Demo_Textures textures(25);
    Test_Tracer engine;
    set_up_demo(engine, 48, 40, textures);
    cpu_frame(engine);
    const rt::Constant_Block k = koru::gpu::constant_block_of(engine, engine.GetCamMatrix());
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&k);
    int32_t size[2];
    std::memcpy(size, bytes, 8);
    EXPECT_EQ(size[0], 48);
    EXPECT_EQ(size[1], 40);
    EXPECT_EQ(std::memcmp(bytes + 8, &k.num_point_lights, 4), 0);
    EXPECT_EQ(k.num_point_lights, 1);
    EXPECT_EQ(std::memcmp(bytes + 20, &engine.GetCamMatrix(), 64), 0);
    float ambient[3];
    std::memcpy(ambient, bytes + 84, 12);
    EXPECT_EQ(ambient[0], 0.15f);
    EXPECT_EQ(ambient[2], 0.15f);
    EXPECT_EQ(std::memcmp(bytes + 100, &koru::Engine_Access::kd_tree(engine)->world_box, 32), 0);
    EXPECT_EQ(std::memcmp(bytes + 132, engine.Materials(), 56 * engine.MaterialCount()), 0);
    EXPECT_EQ(std::memcmp(bytes + 1924, engine.PointLights(), 48), 0);
    const Light light = rt::light_of(k, 0);
    EXPECT_EQ(std::memcmp(&light, engine.PointLights(), 48), 0);
    engine.Release();

    for (unsigned depth : {0u, 6u, 7u, 100u, 4294967295u})
        EXPECT_EQ(rt::kernel_depth(depth), 4) << depth;
    for (unsigned depth = 1; depth <= 5; ++depth)
        EXPECT_EQ(rt::kernel_depth(depth), static_cast<int>(depth));
}
