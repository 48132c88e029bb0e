// The GPU engine on a device: its frames against the host emulation of the
// same kernels' code, its ray queries against the host walk, and the device
// layer's buffers, warnings and limits. Every test skips, saying so, where
// no CUDA device is usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/tau_error.h"
#include "gpu/ray_grid.h"
#include "gpu/rtlib.h"
#include "gpu_test_support.h"

using namespace gpu_test;

namespace {

#define KORU_REQUIRE_DEVICE()                                                                                  \
    if (!koru::GpuDeviceAvailable())                                                                           \
    GTEST_SKIP() << "no usable CUDA device here"

std::vector<unsigned> device_frame(GPU_Ray_Tracer& engine, unsigned depth, bool shadows)
{
    engine.BeginDrawScene(depth, shadows);
    std::vector<unsigned> frame(static_cast<std::size_t>(engine.Width()) * engine.Height(), 0u);
    nyxReadPixels(frame.data());
    return frame;
}

std::vector<Ray3> random_rays(std::mt19937& rng, std::size_t n)
{
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Ray3> rays(n);
    for (Ray3& r : rays) {
        r.pos = TAU_MATH::VECTOR<3, float>(4.0f * unit(rng), 3.0f * unit(rng), 6.0f + unit(rng));
        const V4 d = TAU_MATH::Normalize(V4(0.6f * unit(rng), 0.5f * unit(rng), -1.0f, 0.0f));
        r.dir = TAU_MATH::VECTOR<3, float>(d[0], d[1], d[2]);
    }
    return rays;
}

} // namespace

// Every depth (0 and 7 included) and both shadow modes: the device's frame is
// the host emulation's, within a level on 99.9 % of the pixels.
TEST(GpuDevice, FramesMatchTheHostEmulation)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(31);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 640, 480, textures);
    for (unsigned depth : {0u, 1u, 2u, 3u, 4u, 5u, 7u})
        for (bool shadows : {true, false}) {
            const std::vector<unsigned> device = device_frame(engine, depth, shadows);
            EXPECT_GT(nyxGetLastLaunchMilliseconds(), 0.0f);
            const std::vector<unsigned> host = emulate(engine, depth, shadows);
            expect_close_frames(device, host, 640, 480,
                                "device_depth" + std::to_string(depth) + (shadows ? "_shadows" : "_no_shadows"));
        }
    engine.Release();
}

// Depth 1 with shadows on triangles is the CPU tracer's picture.
// The field of view reaches the device at every frame, and 45 degrees
// again gives the first frame back.
TEST(GpuDevice, FieldOfViewMatchesTheHostEmulation)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(32);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 160, 120, textures);
    const std::vector<unsigned> default_frame = device_frame(engine, 3, true);
    for (float fov : {25.0f, 90.0f}) {
        engine.SetFieldOfView(fov);
        const std::vector<unsigned> device = device_frame(engine, 3, true);
        EXPECT_NE(device, default_frame) << fov;
        expect_close_frames(device, emulate(engine, 3, true), 160, 120, "device_fov" + std::to_string(static_cast<int>(fov)));
    }
    engine.SetFieldOfView(45.0f);
    EXPECT_EQ(device_frame(engine, 3, true), default_frame);
    engine.Release();
}

TEST(GpuDevice, TriangleSceneGivesTheCpuTracersImage)
{
    KORU_REQUIRE_DEVICE();
    std::vector<unsigned> frames[2];
    for (int gpu = 0; gpu < 2; ++gpu) {
        std::mt19937 rng(41);
        IMAGE images[2];
        fill_random_image(images[0], 5, 3, rng);
        fill_random_image(images[1], 8, 8, rng);
        std::unique_ptr<Ray_Tracer> engine(gpu ? static_cast<Ray_Tracer*>(new GPU_Ray_Tracer)
                                               : static_cast<Ray_Tracer*>(new CPU_Ray_Tracer));
        engine->Init(160, 120);
        add_random_scene(*engine, rng, 200, 2, images, 2);
        engine->BuildKdTree();
        engine->BeginDrawScene(1, true);
        frames[gpu].assign(static_cast<std::size_t>(160) * 120, 0u);
        if (gpu)
            nyxReadPixels(frames[gpu].data());
        else
            std::memcpy(frames[gpu].data(), engine->FrameBuffer(), frames[gpu].size() * 4);
        engine->Release();
    }
    expect_close_frames(frames[1], frames[0], 160, 120, "device_triangles_vs_cpu");
}

// Nearest hits of the device's walk for batches of every launch shape, and a
// grid with partial blocks, against the host walk; nothing past the count
// is written.
TEST(GpuDevice, RayQueriesMatchTheHostWalk)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(32);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 64, 48, textures);
    std::unique_ptr<Ray_Tracer::RT_Core> core(engine.GetRTCore());
    std::mt19937 rng(3);
    for (unsigned count : {1u, 150u, 640u, 4096u, 65536u, 2000000u}) {
        SCOPED_TRACE("count " + std::to_string(count));
        const std::vector<Ray3> rays = random_rays(rng, count);
        std::vector<RAYTR::Hit> device(count + 1), host(count);
        std::memset(&device[count], 0x5A, sizeof(RAYTR::Hit));
        core->TraverseRays(rays.data(), device.data(), count);
        koru::gpu::EmulateRays(engine, rays.data(), host.data(), count);
        std::size_t same = 0, hits = 0;
        for (unsigned i = 0; i < count; ++i) {
            same += device[i].prim_id == host[i].prim_id &&
                    std::fabs(device[i].pos[0] - host[i].pos[0]) <= 1e-4f * (1.0f + std::fabs(host[i].pos[0]));
            hits += host[i].prim_id != GPU_Ray_Tracer::RT_Core::kMissPrimId;
        }
        EXPECT_GE(same * 1000, static_cast<std::size_t>(count) * 999);
        if (count >= 150) {
            EXPECT_GT(hits, count / 10);
        }
        const unsigned char* beyond = reinterpret_cast<const unsigned char*>(&device[count]);
        for (std::size_t b = 0; b < sizeof(RAYTR::Hit); ++b)
            ASSERT_EQ(beyond[b], 0x5A);
    }
    for (const auto& [w, h] : {std::pair<unsigned, unsigned>{16, 8}, {13, 7}, {1, 1}}) {
        const std::vector<Ray3> rays = random_rays(rng, static_cast<std::size_t>(w) * h);
        std::vector<RAYTR::Hit> device(rays.size()), host(rays.size());
        core->TraverseRayGrid(rays.data(), device.data(), w, h);
        koru::gpu::EmulateRays(engine, rays.data(), host.data(), static_cast<unsigned>(rays.size()));
        for (std::size_t i = 0; i < rays.size(); ++i)
            EXPECT_EQ(device[i].prim_id, host[i].prim_id) << w << "x" << h << " ray " << i;
    }
    engine.Release();
}

// A batch whose grid is taller than one launch may be (65535 block rows) goes
// in bands of rows. 65537 x 64 rays get a grid 8 wide and 65537 blocks
// tall: the second band's two block rows, and the rows before them, hold the
// hits of their own rays.
TEST(GpuDevice, RayQueriesTallerThanOneLaunchGoInBands)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(34);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 64, 48, textures);
    const unsigned count = 65537u * 64u;
    const koru::gpu::Ray_Grid grid = koru::gpu::ray_grid_for(count);
    ASSERT_EQ(grid.width, 8u);
    ASSERT_GT(grid.height / 8, 65535u);
    std::mt19937 rng(5);
    const std::vector<Ray3> rays = random_rays(rng, count);
    std::vector<RAYTR::Hit> device(count);
    std::unique_ptr<Ray_Tracer::RT_Core> core(engine.GetRTCore());
    core->TraverseRays(rays.data(), device.data(), count);

    const unsigned first_band = 65535u * 64u;
    for (const unsigned start : {0u, first_band - 128u}) {
        const unsigned n = start == 0 ? 128u : count - start;
        std::vector<RAYTR::Hit> host(n);
        koru::gpu::EmulateRays(engine, rays.data() + start, host.data(), n);
        std::size_t same = 0, hits = 0;
        for (unsigned i = 0; i < n; ++i) {
            const RAYTR::Hit& d = device[start + i];
            same += d.prim_id == host[i].prim_id &&
                    std::fabs(d.pos[0] - host[i].pos[0]) <= 1e-4f * (1.0f + std::fabs(host[i].pos[0]));
            hits += host[i].prim_id != GPU_Ray_Tracer::RT_Core::kMissPrimId;
        }
        EXPECT_GE(same + 1, n) << "rays from " << start;
        EXPECT_GT(hits, n / 10) << "rays from " << start;
    }
    engine.Release();
}

TEST(GpuDevice, LayerGrowsItsBuffersAndKeepsItsLimits)
{
    KORU_REQUIRE_DEVICE();
    GPU_Ray_Tracer engine;
    engine.Init(64, 48);
    const nyxDeviceScene& state = nyxGetDeviceScene();
    EXPECT_EQ(state.sphereCapacity, 64);
    EXPECT_EQ(state.vertexCapacity, 16000);
    EXPECT_EQ(state.indexCapacity, 48000);

    std::vector<TAU_MATH::SPHERE<4, float>> spheres(65);
    std::vector<Vertex> vertices(16001);
    std::vector<unsigned> indices(48001, 0u);
    const auto captured = [](const std::function<int()>& call, int expected_result) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(call(), expected_result);
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(captured([&] { return nyxSetSpheres(spheres.data(), 64); }, 0), "");
    EXPECT_EQ(captured([&] { return nyxSetSpheres(spheres.data(), 65); }, 0),
              "nyx WARNING: reallocating 2080 bytes for spheres\n");
    EXPECT_EQ(state.sphereCapacity, 65);
    EXPECT_EQ(captured([&] { return nyxSetSpheres(spheres.data(), 3); }, 0), "");
    EXPECT_EQ(state.sphereCapacity, 65);
    EXPECT_EQ(captured([&] { return nyxSetVertices(vertices.data(), 16001); }, 0),
              "nyx WARNING: reallocating 768048 bytes for vertices\n");
    EXPECT_EQ(captured([&] { return nyxSetIndices(indices.data(), 48001); }, 0),
              "nyx WARNING: reallocating 192004 bytes for vertices\n");
    EXPECT_EQ(state.indexCapacity, 48001);

    std::vector<Material> materials(33, make_material(0.1f, 0.5f, 0.2f, 10.0f));
    EXPECT_EQ(captured([&] { return nyxSetMaterials(materials.data(), 33); }, -1),
              "nyx ALERT: too many materials in nyxSetMaterials requested(33) \n \t\t\t\t\t    32 are maximum");
    EXPECT_EQ(captured([&] { return nyxSetMaterials(materials.data(), 32); }, 0), "");
    std::vector<Light> lights(9);
    EXPECT_EQ(nyxSetPointLights(lights.data(), 9), -1);
    EXPECT_EQ(nyxSetPointLights(lights.data(), 0), 0);

    std::vector<unsigned char> texels(4 * 4 * 4, 200);
    for (int t = 0; t < 7; ++t)
        EXPECT_EQ(nyxAddTexture(4, 4, texels.data()), t);
    EXPECT_EQ(nyxAddTexture(4, 4, texels.data()), -1);
    EXPECT_EQ(state.textureCount, 7);
    engine.Release();
    EXPECT_EQ(state.textureCount, 0);
    EXPECT_EQ(state.kdTreeNodes, nullptr);
    EXPECT_EQ(state.objListData, nullptr);
}

// An empty scene (one empty leaf, an object list of 0 bytes) renders black;
// a tree set twice replaces the first.
TEST(GpuDevice, EmptySceneRendersBlack)
{
    KORU_REQUIRE_DEVICE();
    GPU_Ray_Tracer engine;
    engine.Init(32, 24);
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = V4(0.0f, 2.0f, 0.0f, 1.0f);
    engine.AddPointLight(light);
    engine.BuildKdTree();
    engine.BuildKdTree();
    for (unsigned depth : {1u, 3u}) {
        const std::vector<unsigned> frame = device_frame(engine, depth, true);
        EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; })) << depth;
    }
    engine.Release();
}

// The kernel's grid covers whole 8 x 8 tiles: the last four columns and rows
// of an 84 x 60 window keep what they held while the picture changes.
TEST(GpuDevice, PixelsOutsideWholeTilesAreNeverWritten)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(33);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 84, 60, textures);
    const std::vector<unsigned> first = device_frame(engine, 1, true);
    engine.SetCamRotation(V4(10.0f, 25.0f, 0.0f, 0.0f));
    const std::vector<unsigned> second = device_frame(engine, 1, true);
    std::size_t changed_inside = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 84; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * 84 + x;
            if (x >= 80 || y >= 56)
                EXPECT_EQ(first[i], second[i]) << x << ", " << y;
            else
                changed_inside += first[i] != second[i];
        }
    EXPECT_GT(changed_inside, 80u * 56u / 4);
    engine.Release();
}

// Release empties the device's sampler table too: a frame of a new engine
// before it has a tree reads no node count or texture handle of the old one,
// and the released layer refuses frames and ray queries.
TEST(GpuDevice, ReleaseLeavesNothingForALaterFrame)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(35);
    {
        GPU_Ray_Tracer engine;
        set_up_demo(engine, 64, 48, textures);
        const std::vector<unsigned> frame = device_frame(engine, 2, true);
        EXPECT_TRUE(std::any_of(frame.begin(), frame.end(), [](unsigned p) { return p != 0; }));
        engine.Release();
    }
    const nyxDeviceScene& state = nyxGetDeviceScene();
    EXPECT_EQ(state.pixels, nullptr);
    EXPECT_EQ(state.width, 0);
    EXPECT_EQ(state.textureCount, 0);
    EXPECT_EQ(nyxRender(1, true), nyxNoMemory);
    std::vector<Ray3> rays(64);
    std::vector<RAYTR::Hit> hits(64);
    EXPECT_EQ(nyxTraverseRays(rays.data(), hits.data(), 8, 8, 64), nyxNoMemory);

    GPU_Ray_Tracer later;
    later.Init(64, 48);
    const std::vector<unsigned> frame = device_frame(later, 2, true);
    EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; }));
    later.Release();
}

// One GPU engine per process: a second Init while one is live is refused,
// and the refused engine's Release leaves the live one working.
TEST(GpuDevice, SecondEngineIsRefused)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(36);
    GPU_Ray_Tracer first;
    set_up_demo(first, 64, 48, textures);
    const std::vector<unsigned> before = device_frame(first, 1, true);
    GPU_Ray_Tracer second;
    testing::internal::CaptureStderr();
    EXPECT_THROW(second.Init(64, 48), TAU_ERROR::Error);
    testing::internal::GetCapturedStderr();
    second.Release();
    EXPECT_EQ(device_frame(first, 1, true), before);
    first.Release();
}

// A texture past the device's 2D limit is refused when it is added, before
// the store takes it; the layer refuses it too rather than failing the upload.
TEST(GpuDevice, TexturesBeyondTheDeviceLimitAreRefused)
{
    KORU_REQUIRE_DEVICE();
    GPU_Ray_Tracer engine;
    engine.Init(32, 24);
    int max_width = 0, max_height = 0;
    nyxGetTextureLimit(&max_width, &max_height);
    ASSERT_GT(max_width, 0);
    ASSERT_GT(max_height, 0);
    std::vector<unsigned char> texels(static_cast<std::size_t>(max_width + 1) * 4, 100);
    testing::internal::CaptureStderr();
    EXPECT_THROW(engine.AddTexture(texels.data(), static_cast<unsigned>(max_width) + 1, 1, 0),
                 TAU_ERROR::Out_Of_Range);
    EXPECT_EQ(engine.TextureCount(), 0);
    EXPECT_EQ(nyxAddTexture(max_width + 1, 1, texels.data()), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("nyx ALERT: a texture of"), std::string::npos);
    EXPECT_EQ(nyxGetDeviceScene().textureCount, 0);
    EXPECT_EQ(engine.AddTexture(texels.data(), static_cast<unsigned>(max_width), 1, 0), 0u);
    engine.Release();
}

// A frame of more block rows than one launch takes (524,296 rows) is traced
// in bands: all of it is the host emulation's picture.
TEST(GpuDevice, TallFramesGoInBands)
{
    KORU_REQUIRE_DEVICE();
    const Demo_Textures textures(37);
    GPU_Ray_Tracer engine;
    set_up_demo(engine, 16, 524296, textures);
    // The rows span nearly 180 degrees; looking straight up and straight
    // down, one of the two sees the floor in the second band's rows.
    std::size_t lit_in_second_band = 0;
    for (const float pitch : {90.0f, -90.0f}) {
        engine.SetCamRotation(V4(pitch, 0.0f, 0.0f, 0.0f));
        const std::vector<unsigned> device = device_frame(engine, 1, true);
        const std::vector<unsigned> host = emulate(engine, 1, true);
        lit_in_second_band += static_cast<std::size_t>(
            std::count_if(host.begin() + host.size() / 2, host.end(), [](unsigned p) { return p != 0; }));
        const Frame_Difference d = compare_frames(device, host);
        EXPECT_GE(d.within_one * 1000, d.total * 999) << "pitch " << pitch << ", worst " << d.worst;
    }
    EXPECT_GT(lit_in_second_band, 0u);
    engine.Release();
}
