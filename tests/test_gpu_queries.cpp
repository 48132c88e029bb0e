// The GPU engine's ray queries without a device: the host walk held against
// the CPU tracer's walk and against brute force; TraverseRays' launch shapes
// and count checks; and the device layer's answers on a machine without a
// device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cpu/traversal.h"
#include "engine/tau_error.h"
#include "gpu/ray_grid.h"
#include "gpu/rtlib_common.h"
#include "gpu/rtlib.h"
#include "gpu_test_support.h"
#include "rt/sphere.h"

using namespace gpu_test;
namespace rt = koru::rt;

namespace {

// The query ray as the walks take it, direction as given.
Ray4 ray4_of(const Ray3& r)
{
    Ray4 ray;
    ray.pos = V4(r.pos[0], r.pos[1], r.pos[2], 1.0f);
    ray.dir = V4(r.dir[0], r.dir[1], r.dir[2], 0.0f);
    return ray;
}

} // namespace

// ---------------------------------------------------------------------------
// Ray queries through the host walk.

// Over triangles the scene walk is the CPU tracer's single-ray walk, hit
// record and all; a miss comes back as the miss record.
TEST(GpuQueries, WalkMatchesTheCpuWalkOnTriangles)
{
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::mt19937 rng(seed);
        IMAGE images[1];
        fill_random_image(images[0], 4, 4, rng);
        Test_Tracer engine;
        engine.Init(8, 8);
        add_random_scene(engine, rng, 150, 1, images, 1);
        engine.BuildKdTree();
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        std::vector<Ray3> rays(2000);
        for (Ray3& r : rays) {
            r.pos = TAU_MATH::VECTOR<3, float>(4.0f * unit(rng), 3.0f * unit(rng), 4.0f * unit(rng));
            const V4 d = TAU_MATH::Normalize(V4(unit(rng), unit(rng), unit(rng), 0.0f));
            r.dir = TAU_MATH::VECTOR<3, float>(d[0], d[1], d[2]);
        }
        std::vector<RAYTR::Hit> hits(rays.size());
        koru::gpu::EmulateRays(engine, rays.data(), hits.data(), static_cast<unsigned>(rays.size()));
        std::size_t n_hits = 0;
        for (std::size_t i = 0; i < rays.size(); ++i) {
            const Ray4 ray = ray4_of(rays[i]);
            RAYTR::Hit expected;
            const bool hit = kd_tree_traverse(engine, ray, &expected) != 0;
            ASSERT_EQ(!is_miss(hits[i]), hit) << "ray " << i;
            if (!hit)
                continue;
            ++n_hits;
            EXPECT_EQ(std::memcmp(&hits[i], &expected, offsetof(RAYTR::Hit, untextured)), 0) << "ray " << i;
            EXPECT_EQ(hits[i].untextured, 0);
            EXPECT_EQ(hits[i].prim_id, -1);
        }
        EXPECT_GT(n_hits, rays.size() / 4);
        engine.Release();
    }
}

// A ray query's records are the same whatever the output array held before:
// every byte is written, the reserved byte of a triangle hit included (the
// kernel's record lives in local memory, so an unwritten byte is stale).
TEST(GpuQueries, RecordsDoNotDependOnWhatTheOutputHeld)
{
    const Demo_Textures textures(12);
    Test_Tracer engine;
    set_up_demo(engine, 64, 48, textures);
    cpu_frame(engine);
    const std::vector<Ray3> rays = primary_rays(engine);
    const unsigned n = static_cast<unsigned>(rays.size());
    std::vector<RAYTR::Hit> zeros(n), ones(n);
    std::memset(zeros.data(), 0x00, n * sizeof(RAYTR::Hit));
    std::memset(ones.data(), 0xFF, n * sizeof(RAYTR::Hit));
    koru::gpu::EmulateRays(engine, rays.data(), zeros.data(), n);
    koru::gpu::EmulateRays(engine, rays.data(), ones.data(), n);
    std::size_t triangles = 0, spheres = 0;
    for (unsigned i = 0; i < n; ++i) {
        triangles += zeros[i].prim_id == -1;
        spheres += zeros[i].prim_id >= 0;
        ASSERT_EQ(std::memcmp(&zeros[i], &ones[i], sizeof(RAYTR::Hit)), 0) << "ray " << i;
    }
    EXPECT_GT(triangles, n / 4);
    EXPECT_GT(spheres, 0u);
    engine.Release();
}

// Spheres among triangles: the walk's nearest hit is the nearest of all
// primitives tested one by one.
TEST(GpuQueries, SpheresAndTrianglesAgainstBruteForce)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    Test_Tracer engine;
    engine.Init(8, 8);
    add_random_scene(engine, rng, 60, 1, nullptr, 0);
    std::vector<rt::Sphere> spheres(40);
    for (std::size_t s = 0; s < spheres.size(); ++s) {
        spheres[s].center = V4(3.5f * unit(rng), 2.5f * unit(rng), 3.5f * unit(rng), 1.0f);
        spheres[s].radius = 0.1f + 0.5f * std::fabs(unit(rng));
        spheres[s].radius2 = spheres[s].radius * spheres[s].radius;
        spheres[s].material_id = static_cast<int>(s % 3);
        spheres[s].reserved = 0;
    }
    engine.AddSpheres(spheres.data(), static_cast<int>(spheres.size()));
    engine.BuildKdTree();

    std::vector<Ray3> rays(3000);
    for (Ray3& r : rays) {
        r.pos = TAU_MATH::VECTOR<3, float>(5.0f * unit(rng), 4.0f * unit(rng), 6.0f + unit(rng));
        const V4 d = TAU_MATH::Normalize(V4(0.5f * unit(rng), 0.4f * unit(rng), -1.0f, 0.0f));
        r.dir = TAU_MATH::VECTOR<3, float>(d[0], d[1], d[2]);
    }
    std::vector<RAYTR::Hit> hits(rays.size());
    koru::gpu::EmulateRays(engine, rays.data(), hits.data(), static_cast<unsigned>(rays.size()));

    std::size_t sphere_hits = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const Ray4 ray = ray4_of(rays[i]);
        float best = std::numeric_limits<float>::infinity();
        int best_sphere = -1;
        for (std::size_t s = 0; s < spheres.size(); ++s) {
            float t;
            if (rt::intersect_sphere(ray.pos.v, ray.dir.v, spheres[s], t) && t < best) {
                best = t;
                best_sphere = static_cast<int>(s);
            }
        }
        for (int k = 0; k + 2 < engine.IndexCount(); k += 3) {
            float w[3];
            const Vertex* v = engine.Vertices();
            const unsigned* idx = engine.Indices() + k;
            if (!rt::intersect_triangle(ray, v[idx[0]].pos, v[idx[1]].pos, v[idx[2]].pos, w))
                continue;
            const V4 p = (v[idx[0]].pos * w[0] + v[idx[1]].pos * w[1]) + v[idx[2]].pos * w[2];
            const float t = std::sqrt(TAU_MATH::Dot3(p - ray.pos, p - ray.pos));
            if (TAU_MATH::Dot3(p - ray.pos, ray.dir) > 1e-8f && t < best) {
                best = t;
                best_sphere = -1;
            }
        }
        if (std::isinf(best)) {
            EXPECT_TRUE(is_miss(hits[i])) << "ray " << i;
            continue;
        }
        ASSERT_FALSE(is_miss(hits[i])) << "ray " << i;
        const V4 p(hits[i].pos[0], hits[i].pos[1], hits[i].pos[2], 1.0f);
        const float t = std::sqrt(TAU_MATH::Dot3(p - ray.pos, p - ray.pos));
        EXPECT_NEAR(t, best, 1e-3f * (1.0f + best)) << "ray " << i;
        if (best_sphere >= 0 && std::fabs(t - best) < 1e-5f) {
            EXPECT_EQ(hits[i].prim_id, best_sphere) << "ray " << i;
            EXPECT_EQ(hits[i].material_id, best_sphere % 3);
            EXPECT_EQ(hits[i].untextured, 1);
            ++sphere_hits;
        }
    }
    EXPECT_GT(sphere_hits, 200u);
    engine.Release();
}

// ---------------------------------------------------------------------------
// TraverseRays' launch shapes and count checks.

TEST(GpuRayGrid, LaunchWidthTable)
{
    const struct {
        unsigned count, width, height;
    } table[] = {{1, 8, 8},          {150, 8, 24},          {640, 16, 40},
                 {4096, 512, 8},     {65536, 1024, 64},     {2000000, 16, 125000},
                 {64, 8, 8},         {4294967232u, 8, 536870904u}};
    for (const auto& row : table) {
        const koru::gpu::Ray_Grid grid = koru::gpu::ray_grid_for(row.count);
        EXPECT_EQ(grid.width, row.width) << row.count;
        EXPECT_EQ(grid.height, row.height) << row.count;
    }
}

// Every acceptable count gets a grid of 8 x 8 blocks that covers it with
// less than 64 slots to spare, and the widest width the table allows.
TEST(GpuRayGrid, EveryCountIsCoveredByWholeBlocks)
{
    std::mt19937 rng(9);
    std::uniform_int_distribution<unsigned> any(1u, koru::gpu::max_ray_count);
    std::uniform_int_distribution<unsigned> small(1u, 100000u);
    for (int k = 0; k < 20000; ++k) {
        const unsigned count = k % 2 ? any(rng) : small(rng);
        ASSERT_TRUE(koru::gpu::ray_count_acceptable(count));
        const koru::gpu::Ray_Grid g = koru::gpu::ray_grid_for(count);
        const unsigned long long slots = static_cast<unsigned long long>(g.width) * g.height;
        ASSERT_GE(slots, count);
        ASSERT_LT(slots - count, 64u) << count;
        ASSERT_EQ(g.width % 8, 0u);
        ASSERT_EQ(g.height % 8, 0u);
        ASSERT_TRUE(g.width >= 8 && g.width <= 1024 && (g.width & (g.width - 1)) == 0);
        ASSERT_GE(koru::gpu::traced_slots(g.width, g.height), count);
        if (g.width < 1024) {
            ASSERT_TRUE(slots % (2 * g.width) != 0 || (slots / (2 * g.width)) % 8 != 0) << count;
        }
    }
}

TEST(GpuRayGrid, CountsThatCannotBePaddedAreRefused)
{
    for (unsigned count : {0u, 4294967295u, 4294967233u, 4294967290u})
        EXPECT_FALSE(koru::gpu::ray_count_acceptable(count)) << count;
    EXPECT_TRUE(koru::gpu::ray_count_acceptable(4294967232u));

    const std::unique_ptr<Ray_Tracer::RT_Core> core(GPU_Ray_Tracer().GetRTCore());
    const std::pair<unsigned, std::string> refused[] = {{0u, "0"}, {4294967295u, "-1"}, {4294967233u, "-63"}};
    for (const auto& [count, text] : refused) {
        testing::internal::CaptureStderr();
        try {
            core->TraverseRays(nullptr, nullptr, count);
            ADD_FAILURE() << "count " << count << " was taken";
        } catch (const TAU_ERROR::Out_Of_Range& error) {
            EXPECT_EQ(error.message, "GPU_Ray_Tracer::RT_Core::TraverseRays:: Unacceptable rays number: " + text);
        }
        testing::internal::GetCapturedStderr();
    }
}

// The ray query launch is (gridWidth / 8) x (gridHeight / 8) blocks of 8 x 8
// over slots y x gridWidth + x: the slots from 0 that it traces without a
// gap. A count reaching past them would read back hits that no thread
// wrote, and a grid whose buffers cannot be counted in bytes would get
// buffers smaller than the launch; both are refused before any device work.
TEST(GpuRayGrid, RayQueriesReachOnlyTracedSlots)
{
    EXPECT_EQ(koru::gpu::traced_slots(16, 24), 384u);
    EXPECT_EQ(koru::gpu::traced_slots(16, 13), 128u);
    EXPECT_EQ(koru::gpu::traced_slots(13, 16), 8u); // row 0 stops at column 8
    EXPECT_EQ(koru::gpu::traced_slots(16, 7), 0u);
    EXPECT_EQ(koru::gpu::traced_slots(7, 64), 0u);
    EXPECT_EQ(koru::gpu::traced_slots(4294967288u, 4294967288u), 4294967288ull * 4294967288ull);

    std::vector<Ray3> rays(208);
    std::vector<RAYTR::Hit> hits(208);
    const struct {
        unsigned width, height, count;
    } untraced[] = {{13, 16, 9}, {13, 16, 208}, {16, 7, 1}, {16, 13, 129}, {8, 8, 65}};
    for (const auto& q : untraced)
        EXPECT_EQ(nyxTraverseRays(rays.data(), hits.data(), q.width, q.height, q.count), nyxBadSize)
            << q.width << " x " << q.height << ", " << q.count << " rays";
    // 2^62 slots of 64 bytes: the byte counts would wrap to 0.
    EXPECT_EQ(koru::gpu::ray_request_code(1u << 31, 1u << 31, 1), nyxNoMemory);
    EXPECT_EQ(nyxTraverseRays(nullptr, nullptr, 1u << 31, 1u << 31, 1), nyxNoMemory);
    EXPECT_EQ(koru::gpu::ray_request_code(13, 16, 8), nyxNoError);
    EXPECT_EQ(koru::gpu::ray_request_code(16, 7, 0), nyxNoError);
}

// A frame's block rows are dealt out in bands of at most 65535 rows (a
// launch's limit along y and z): every block row of the window is traced
// once, by the mapping the kernel uses, and no band is left idle.
TEST(GpuRayGrid, FramesTallerThanOneLaunchGoInBands)
{
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> any_height(1, 2000000000);
    std::vector<int> heights = {8, 7, 480, 524280, 524287, 524288, 524296, 2 * 524280 + 8, 1048576 * 8};
    for (int k = 0; k < 2000; ++k)
        heights.push_back(any_height(rng));
    for (const int height : heights) {
        const koru::gpu::Frame_Grid g = koru::gpu::frame_grid(640, height);
        const unsigned block_rows = static_cast<unsigned>(height) / 8u;
        if (block_rows == 0) {
            EXPECT_EQ(g.columns * g.rows * g.bands, 0u) << height;
            continue;
        }
        ASSERT_EQ(g.columns, 80u);
        ASSERT_GE(g.rows, 1u);
        ASSERT_LE(g.rows, koru::gpu::max_grid_rows) << height;
        ASSERT_LE(g.bands, koru::gpu::max_grid_rows) << height;
        // The last block of the last band reaches the last block row; the
        // first block of the last band is one the window has.
        ASSERT_GE(koru::gpu::frame_block_row(g.rows - 1, g.bands - 1, g.rows), block_rows - 1) << height;
        ASSERT_LT(koru::gpu::frame_block_row(0, g.bands - 1, g.rows), block_rows) << height;
        if (block_rows <= koru::gpu::max_grid_rows) {
            EXPECT_EQ(g.bands, 1u);
            EXPECT_EQ(g.rows, block_rows);
        }
    }
    EXPECT_EQ(koru::gpu::frame_grid(7, 480).columns * koru::gpu::frame_grid(7, 480).rows, 0u);
}

// ---------------------------------------------------------------------------
// The device layer where no device is usable.

TEST(GpuWithoutDevice, LimitsAndTextsNeedNoDevice)
{
    EXPECT_STREQ(nyxGetErrorString(0), "nyxError: no error fixed");
    EXPECT_STREQ(nyxGetErrorString(1), "nyxError: no memory avaliable");
    EXPECT_STREQ(nyxGetErrorString(2), "nyxError: too small, or to great size");
    EXPECT_STREQ(nyxGetErrorString(3), "nyxError: unknown fixed");
    EXPECT_STREQ(nyxGetErrorString(-1), "nyxError: unknown fixed");

    testing::internal::CaptureStderr();
    EXPECT_EQ(nyxSetMaterials(nullptr, 33), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "nyx ALERT: too many materials in nyxSetMaterials requested(33) \n \t\t\t\t\t    32 are maximum");
    testing::internal::CaptureStderr();
    EXPECT_EQ(nyxSetPointLights(nullptr, 9), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "nyx ALERT: too many point lights in nyxSetPointLights requested(9) \n \t\t\t\t\t    8 are maximum");
}

TEST(GpuWithoutDevice, AvailabilityQueryAndInit)
{
#if !defined(KORU_WITH_CUDA)
    EXPECT_FALSE(koru::GpuDeviceAvailable());
#endif
    const bool available = koru::GpuDeviceAvailable();
    EXPECT_EQ(koru::GpuDeviceAvailable(), available) << "the answer is stable";
    if (available)
        GTEST_SKIP() << "a CUDA device is usable here: the gpu tests cover it";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child asks for availability again first, which says why once.
    EXPECT_EXIT(nyxInit(64, 48), testing::ExitedWithCode(1),
                "^(koru: no usable CUDA device: [^\n]+\n)?There is no device( supporting CUDA)?\\.\n$");
    EXPECT_EXIT(
        {
            GPU_Ray_Tracer engine;
            engine.Init(64, 48);
        },
        testing::ExitedWithCode(1), "There is no device");
    // Nothing was set up, so there is nothing to release.
    nyxRelease();
    EXPECT_EQ(nyxGetDeviceScene().textureCount, 0);
    EXPECT_EQ(nyxGetDeviceScene().pixels, nullptr);
    EXPECT_EQ(nyxGetLastLaunchMilliseconds(), 0.0f);
}

// Why no device is usable is said once per process, on one line of
// standard error, however often availability is asked.
TEST(GpuWithoutDevice, TheReasonIsPrintedOnce)
{
    if (koru::GpuDeviceAvailable())
        GTEST_SKIP() << "a CUDA device is usable here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool first = koru::GpuDeviceAvailable();
            const bool second = koru::GpuDeviceAvailable();
            std::exit(first || second ? 3 : 0);
        },
        testing::ExitedWithCode(0), "^koru: no usable CUDA device: [^\n]+\n$");
}

// The device layer is the process's one: while an engine holds it, Init of
// another is refused before anything is set up, and that engine's Release
// leaves the holder's layer alone.
TEST(GpuLayer, OneEnginePerProcess)
{
    const int holder = 0;
    ASSERT_TRUE(koru::gpu::claim_device_layer(&holder));
    GPU_Ray_Tracer second;
    testing::internal::CaptureStderr();
    try {
        second.Init(64, 48);
        ADD_FAILURE() << "a second engine took the device layer";
    } catch (const TAU_ERROR::Error& error) {
        EXPECT_NE(error.message.find("one per process"), std::string::npos) << error.message;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(second.Width(), 0) << "the refused engine set up its store";
    second.Release();
    const int other = 0;
    EXPECT_FALSE(koru::gpu::claim_device_layer(&other)) << "the refused engine's Release freed the layer";
    EXPECT_FALSE(koru::gpu::release_device_layer(&other));
    EXPECT_TRUE(koru::gpu::release_device_layer(&holder));
    EXPECT_TRUE(koru::gpu::claim_device_layer(&other));
    EXPECT_TRUE(koru::gpu::release_device_layer(&other));
}

TEST(GpuWithoutDevice, RayQueriesReportTheMissingBuffers)
{
    if (koru::GpuDeviceAvailable())
        GTEST_SKIP() << "a CUDA device is usable here: the gpu tests cover it";
    GPU_Ray_Tracer engine;
    Ray_Tracer::RT_Core* first = engine.GetRTCore();
    Ray_Tracer::RT_Core* second = engine.GetRTCore();
    EXPECT_NE(first, second);
    delete second;
    std::vector<Ray3> rays(150);
    std::vector<RAYTR::Hit> hits(150);
    const std::pair<unsigned, unsigned> grids[] = {{150, 1}, {16, 8}};
    for (const auto& [w, h] : grids) {
        testing::internal::CaptureStderr();
        try {
            first->TraverseRayGrid(rays.data(), hits.data(), w, h);
            ADD_FAILURE() << "a grid was traced without a device";
        } catch (const TAU_ERROR::Error& error) {
            EXPECT_EQ(error.message, "nyxError: no memory avaliable");
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: nyxError: no memory avaliable\n");
    }
    // An empty grid has nothing to trace; one past 32 bits cannot be counted.
    first->TraverseRayGrid(nullptr, nullptr, 0, 5);
    testing::internal::CaptureStderr();
    try {
        first->TraverseRayGrid(nullptr, nullptr, 65536, 65537);
        ADD_FAILURE() << "an uncountable grid was taken";
    } catch (const TAU_ERROR::Error& error) {
        EXPECT_EQ(error.message, "nyxError: too small, or to great size");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(nyxTraverseRays(rays.data(), hits.data(), 8, 8, 65), nyxBadSize);
    delete first;
}
