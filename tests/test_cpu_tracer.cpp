// The CPU tracer's frames against a deliberately simple scalar reference
// (every triangle tested for every ray, no kd-tree), plus the frame-level
// rules that a reader of a picture would notice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpu_test_support.h"
#include "simd/simd.h"
#include "demo/scene.h"

using namespace cpu_test;

namespace {

// ---------------------------------------------------------------------------
// Reference tracer: brute force over all triangles, plain floats.

struct P3 {
    float x, y, z;
};
P3 operator+(P3 a, P3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
P3 operator-(P3 a, P3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
P3 operator*(P3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float dot(P3 a, P3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
P3 cross(P3 a, P3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
P3 unit(P3 a)
{
    const float l = std::sqrt(dot(a, a));
    return {a.x / l, a.y / l, a.z / l};
}
P3 p3(const V4& v) { return {v[0], v[1], v[2]}; }

struct Reference_Scene {
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    std::vector<Material> materials;
    std::vector<Light> lights;
    const IMAGE* textures = nullptr;
    int texture_count = 0;
    TAU_MATH::MATRIX<4, 4, float> camera;
    int width = 0, height = 0;
};

Reference_Scene capture(Test_Tracer& engine)
{
    Reference_Scene s;
    s.vertices.assign(engine.Vertices(), engine.Vertices() + engine.VertexCount());
    s.indices.assign(engine.Indices(), engine.Indices() + engine.IndexCount());
    s.materials.assign(engine.Materials(), engine.Materials() + engine.MaterialCount());
    s.lights.assign(engine.PointLights(), engine.PointLights() + engine.PointLightCount());
    s.textures = engine.Textures();
    s.texture_count = engine.TextureCount();
    s.camera = engine.GetCamMatrix();
    s.width = engine.Width();
    s.height = engine.Height();
    return s;
}

struct Ref_Hit {
    bool found = false;
    float d2 = 0.0f;
    P3 pos{}, norm{};
    float u = 0.0f, v = 0.0f;
    int first_vertex = 0;
    // The outcome could differ from a kd-tree walk: a candidate near a
    // triangle edge (the tolerance band lies outside the triangle's own
    // leaves) or two candidates at almost the same distance.
    bool ambiguous = false;
};

// Moller-Trumbore with the engine's tolerances; also says whether the point
// lies near an edge, where leaves and tolerances can decide differently.
bool ref_triangle(P3 o, P3 d, P3 a, P3 b, P3 c, float w[3], bool& near_edge)
{
    const P3 e1 = b - a, e2 = c - a;
    const P3 p = cross(d, e2);
    const float det = dot(e1, p);
    if (det > -1e-6f && det < 1e-6f)
        return false;
    const float inv = 1.0f / det;
    const P3 s = o - a;
    const float u = dot(s, p) * inv;
    if (u < -0.001f || u > 1.001f)
        return false;
    const P3 q = cross(s, e1);
    const float v = dot(d, q) * inv;
    if (v < -0.001f || u + v > 1.001f)
        return false;
    w[0] = 1.0f - u - v;
    w[1] = u;
    w[2] = v;
    near_edge = std::min({w[0], w[1], w[2]}) < 2e-4f;
    return true;
}

Ref_Hit ref_nearest(const Reference_Scene& s, P3 o, P3 d)
{
    Ref_Hit best;
    float best_d2 = 1e38f;
    std::vector<float> accepted;
    bool any_edge = false;
    for (std::size_t k = 0; k + 2 < s.indices.size(); k += 3) {
        const Vertex& a = s.vertices[s.indices[k]];
        const Vertex& b = s.vertices[s.indices[k + 1]];
        const Vertex& c = s.vertices[s.indices[k + 2]];
        float w[3];
        bool near_edge = false;
        if (!ref_triangle(o, d, p3(a.pos), p3(b.pos), p3(c.pos), w, near_edge))
            continue;
        const P3 point = (p3(a.pos) * w[0] + p3(b.pos) * w[1]) + p3(c.pos) * w[2];
        const float d2 = dot(point - o, point - o);
        if (d2 < 1e-8f || !(dot(d, point - o) > 1e-8f))
            continue;
        accepted.push_back(d2);
        any_edge = any_edge || near_edge;
        if (d2 > best_d2)
            continue;
        best_d2 = d2;
        best.found = true;
        best.d2 = d2;
        best.pos = point;
        best.norm = (p3(a.norm) * w[0] + p3(b.norm) * w[1]) + p3(c.norm) * w[2];
        best.u = (a.tex_coord[0] * w[0] + b.tex_coord[0] * w[1]) + c.tex_coord[0] * w[2];
        best.v = (a.tex_coord[1] * w[0] + b.tex_coord[1] * w[1]) + c.tex_coord[1] * w[2];
        best.first_vertex = static_cast<int>(s.indices[k]);
    }
    int close = 0;
    for (float d2 : accepted)
        if (std::fabs(d2 - best_d2) <= 1e-4f * best_d2)
            ++close;
    best.ambiguous = any_edge || close > 1;
    return best;
}

P3 ref_texture(const IMAGE& t, float u, float v)
{
    u = u < 0.0f ? 0.0f : u;
    v = v < 0.0f ? 0.0f : v;
    const float x = u * (t.width - 1), y = v * (t.height - 1);
    const int x0 = static_cast<int>(x) % t.width, y0 = static_cast<int>(y) % t.height;
    const int x1 = static_cast<int>(x + 1.0f) % t.width, y1 = static_cast<int>(y + 1.0f) % t.height;
    const float fx = x - static_cast<int>(x), fy = y - static_cast<int>(y);
    const auto c = [&](int tx, int ty) {
        const unsigned char* p = t.data + 4 * (ty * t.width + tx);
        return P3{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f};
    };
    return c(x0, y0) * ((1 - fx) * (1 - fy)) + c(x1, y0) * (fx * (1 - fy)) + c(x1, y1) * (fx * fy) +
           c(x0, y1) * ((1 - fx) * fy);
}

struct Ref_Pixel {
    unsigned word = 0;
    bool ambiguous = false;
};

Ref_Pixel ref_pixel(const Reference_Scene& s, int px, int py)
{
    // The camera-space ray through the pixel's integer corner, 45 degrees across.
    const float tangent = static_cast<float>(std::tan(static_cast<double>(3.1415927f / 8.0f)));
    const float f = (s.width * 0.5f) / tangent;
    const P3 eye = unit({static_cast<float>(px - s.width / 2), static_cast<float>(py - s.height / 2), -f});
    const auto& m = s.camera;
    const P3 o{m[0][3], m[1][3], m[2][3]};
    const P3 d{m[0][0] * eye.x + m[0][1] * eye.y + m[0][2] * eye.z, m[1][0] * eye.x + m[1][1] * eye.y + m[1][2] * eye.z,
               m[2][0] * eye.x + m[2][1] * eye.y + m[2][2] * eye.z};

    Ref_Pixel out;
    const Ref_Hit hit = ref_nearest(s, o, d);
    out.ambiguous = hit.ambiguous;
    if (!hit.found)
        return out;
    const Vertex& first = s.vertices[hit.first_vertex];
    const Material& mat = s.materials[first.material_id & 0xFF];
    float sum[3] = {0, 0, 0};
    for (const Light& light : s.lights) {
        const P3 lp = p3(light.pos);
        const P3 to_light = unit(lp - hit.pos);
        const Ref_Hit blocker = ref_nearest(s, hit.pos + to_light * 0.01f, to_light);
        out.ambiguous = out.ambiguous || blocker.ambiguous;

        const float dist = std::sqrt(dot(lp - hit.pos, lp - hit.pos));
        const P3 l = (lp - hit.pos) * (1.0f / dist);
        const float nl = dot(hit.norm, l);
        float term[3] = {0, 0, 0};
        if (!blocker.found && nl > 0.0f) {
            const P3 r = unit(hit.norm * (2.0f * nl) - l);
            const P3 v = unit(o - hit.pos);
            const float rv = dot(r, v);
            const float spec = rv >= 0.0f ? static_cast<float>(std::pow(double(rv), double(mat.spec_power))) : 0.0f;
            const float att = 1.0f / (light.kc + light.kl * dist + light.kq * dist * dist);
            for (int c = 0; c < 3; ++c)
                term[c] = (nl * mat.diffuse[c] + spec * mat.specular[c]) * att;
        }
        P3 tex{1, 1, 1};
        if (first.tex_id[0] < s.texture_count)
            tex = ref_texture(s.textures[first.tex_id[0]], hit.u, hit.v);
        const float t[3] = {tex.x, tex.y, tex.z};
        for (int c = 0; c < 3; ++c)
            sum[c] += std::min(t[c] * (term[c] + mat.ambient[c]) * light.power, 1.0f);
    }
    for (int c = 0; c < 3; ++c) {
        const float v = std::max(0.0f, std::min(sum[c], 1.0f));
        out.word |= static_cast<unsigned>(v * 255.0f) << (8 * c);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Comparison with pictures on failure.

int channel(unsigned word, int c) { return static_cast<int>((word >> (8 * c)) & 0xFF); }

void write_ppm(const std::string& path, const std::vector<unsigned>& pixels, int w, int h)
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                out.put(static_cast<char>(channel(pixels[y * w + x], c)));
}

struct Comparison {
    int equal = 0;
    int total = 0;
    int unexplained = 0; // off by more than a few levels where nothing is ambiguous
    int worst = 0;
};

// Compares the engine's frame with the reference; writes both and their
// difference to the test output folder when the frame does not pass.
Comparison compare_with_reference(Test_Tracer& engine, const std::string& name)
{
    const Reference_Scene s = capture(engine);
    const int w = s.width, h = s.height;
    std::vector<unsigned> frame(engine.FrameBuffer(), engine.FrameBuffer() + static_cast<std::size_t>(w) * h);
    std::vector<unsigned> expected(frame.size()), difference(frame.size());
    Comparison result;
    result.total = w * h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Ref_Pixel ref = ref_pixel(s, x, y);
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            expected[i] = ref.word;
            int off = 0;
            for (int c = 0; c < 3; ++c)
                off = std::max(off, std::abs(channel(frame[i], c) - channel(ref.word, c)));
            if ((frame[i] & 0xFF000000u) != 0)
                off = 255; // the fourth byte is always 0
            result.equal += off == 0;
            if (off > 3 && !ref.ambiguous) {
                if (result.unexplained < 5)
                    std::fprintf(stderr, "%s: pixel (%d, %d) is %06X, the reference %06X\n", name.c_str(), x, y,
                                 frame[i], ref.word);
                ++result.unexplained;
                result.worst = std::max(result.worst, off);
            }
            const unsigned level = static_cast<unsigned>(std::min(255, off * 16));
            difference[i] = level | (level << 8) | (level << 16);
        }
    const bool passes = result.equal * 1000 >= result.total * 999 && result.unexplained == 0;
    if (!passes) {
        std::filesystem::create_directories(KORU_TEST_OUTPUT_DIR);
        const std::string base = std::string(KORU_TEST_OUTPUT_DIR) + "/" + name;
        write_ppm(base + "_cpu.ppm", frame, w, h);
        write_ppm(base + "_reference.ppm", expected, w, h);
        write_ppm(base + "_difference.ppm", difference, w, h);
        std::fprintf(stderr, "frames written to %s_{cpu,reference,difference}.ppm\n", base.c_str());
    }
    return result;
}

void expect_matches_reference(Test_Tracer& engine, const std::string& name)
{
    const Comparison c = compare_with_reference(engine, name);
    EXPECT_GE(c.equal * 1000, c.total * 999) << name << ": " << c.total - c.equal << " of " << c.total
                                             << " pixels differ from the reference";
    EXPECT_EQ(c.unexplained, 0) << name << ": pixels off by up to " << c.worst
                                << " levels without an edge or distance tie to explain it";
}

// Small synthetic stand-ins for the demo's three textures.
struct Demo_Textures {
    IMAGE images[3];
    explicit Demo_Textures(unsigned seed)
    {
        std::mt19937 rng(seed);
        fill_random_image(images[0], 16, 16, rng);
        fill_random_image(images[1], 9, 7, rng);
        fill_random_image(images[2], 5, 12, rng);
    }
};

// The demo scene as the demo shows its first frame.
void set_up_demo(Test_Tracer& engine, int w, int h, const Demo_Textures& textures)
{
    engine.Init(w, h);
    demo::AddDemoScene(engine, textures.images);
    Light light = engine.GetPointLight(0);
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    engine.SetPointLight(light, 0);
    engine.BuildKdTree();
}

std::vector<unsigned> frame_of(const Test_Tracer& engine)
{
    return std::vector<unsigned>(engine.FrameBuffer(),
                                 engine.FrameBuffer() + static_cast<std::size_t>(engine.Width()) * engine.Height());
}

} // namespace

// ---------------------------------------------------------------------------
// Whole frames against the reference.

TEST(CpuTracerImage, DemoSceneMatchesReference)
{
    Demo_Textures textures(11);
    Test_Tracer engine;
    set_up_demo(engine, 320, 240, textures);
    engine.BeginDrawScene(1, true);
    expect_matches_reference(engine, "cpu_demo_320x240");
    // The floor and cubes fill the lower part of the view, the sky is black.
    const std::vector<unsigned> frame = frame_of(engine);
    EXPECT_GT(std::count_if(frame.begin(), frame.end(), [](unsigned p) { return p != 0; }), 320 * 240 / 3);
    engine.Release();
}

// Threads share out whole tiles; the picture and the counts do not depend on
// how many there are, partial tiles at the odd edges included, nor does the
// picture depend on how many blocks a packet walks at once.
TEST(CpuTracerImage, SameFrameAndCountsForEveryThreadCount)
{
    Demo_Textures textures(17);
    Test_Tracer engine;
    set_up_demo(engine, 203, 117, textures);
    engine.SetCamRotation(V4(-5.0f, 10.0f, 0.0f, 0.0f));
    engine.SetPacketWidth(4);
    EXPECT_EQ(engine.PacketWidth(), 4);
    engine.SetThreadCount(1);
    EXPECT_EQ(engine.ThreadCount(), 1);
    engine.BeginDrawScene(1, true);
    const std::vector<unsigned> one = frame_of(engine);
    for (int wide : {4, 8, 16}) {
        engine.SetPacketWidth(wide);
        EXPECT_EQ(engine.PacketWidth(), std::min(wide, koru::simd::widest_lanes()));
        engine.SetThreadCount(1);
        engine.BeginDrawScene(1, true);
        EXPECT_TRUE(frame_of(engine) == one) << "packets of " << wide;
        const CPU_Ray_Tracer::Frame_Stats one_stats = engine.LastFrameStats();
        EXPECT_EQ(one_stats.primary_rays, 102u * 59u * 4u);
        for (int threads : {2, 7}) {
            engine.SetThreadCount(threads);
            engine.BeginDrawScene(1, true);
            EXPECT_TRUE(frame_of(engine) == one) << threads << " threads, packets of " << wide;
            const CPU_Ray_Tracer::Frame_Stats& s = engine.LastFrameStats();
            EXPECT_EQ(s.packets, one_stats.packets) << threads;
            EXPECT_EQ(s.coherent_packets, one_stats.coherent_packets) << threads;
            EXPECT_EQ(s.primary_rays, one_stats.primary_rays) << threads;
            EXPECT_EQ(s.shadow_rays, one_stats.shadow_rays) << threads;
        }
    }
    engine.SetThreadCount(0);
    EXPECT_GE(engine.ThreadCount(), 1);
    engine.Release();
}

TEST(CpuTracerImage, TurnedAndMovedCameraMatchesReference)
{
    Demo_Textures textures(12);
    Test_Tracer engine;
    set_up_demo(engine, 200, 150, textures);
    engine.SetCamPosition(V4(3.0f, 1.0f, 8.0f, 1.0f));
    engine.SetCamRotation(V4(-10.0f, 20.0f, 5.0f, 0.0f));
    engine.BeginDrawScene(1, true);
    expect_matches_reference(engine, "cpu_demo_turned");
    engine.Release();
}

TEST(CpuTracerImage, RandomTriangleScenesMatchReference)
{
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        IMAGE images[2];
        fill_random_image(images[0], 5, 3, rng);
        fill_random_image(images[1], 8, 8, rng);
        Test_Tracer engine;
        engine.Init(96, 72);
        add_random_scene(engine, rng, 40 + 30 * static_cast<int>(seed), 1 + seed % 3, images, 2);
        engine.BuildKdTree();
        engine.BeginDrawScene(1, true);
        expect_matches_reference(engine, "cpu_random_" + std::to_string(seed));
        engine.Release();
    }
}

// Odd sizes: the last column and row are traced like any other, and nothing
// outside the frame buffer or the ray table is touched (the sanitizer build
// would stop here).
TEST(CpuTracerImage, OddSizesMatchReference)
{
    Demo_Textures textures(13);
    const int sizes[][2] = {{7, 5}, {33, 17}, {1, 1}, {2, 3}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
        Test_Tracer engine;
        set_up_demo(engine, size[0], size[1], textures);
        engine.BeginDrawScene(1, true);
        const Comparison c = compare_with_reference(engine, "cpu_odd_" + std::to_string(size[0]) + "x" +
                                                                std::to_string(size[1]));
        // Too few pixels for a share: each must be explained.
        EXPECT_EQ(c.unexplained, 0);
        engine.Release();
    }
}

// A scene past the default capacities: every packet width and thread count
// gives one picture, and sampled pixels are the brute-force reference's.
TEST(CpuTracerImage, LargeSceneMatchesReferenceOnSampledPixels)
{
    Test_Tracer engine;
    engine.Init(96, 72);
    add_height_field(engine, 265, 5); // 70,225 vertices, 139,392 triangles
    ASSERT_GT(engine.VertexCount(), Common_Graphics_Engine::kMaxVertices);
    testing::internal::CaptureStderr();
    engine.BuildKdTree();
    testing::internal::GetCapturedStderr();
    engine.SetThreadCount(1);
    engine.BeginDrawScene(1, true);
    const std::vector<unsigned> frame = frame_of(engine);
    for (int wide : {4, 8, 16})
        for (int threads : {1, 3}) {
            engine.SetPacketWidth(wide);
            engine.SetThreadCount(threads);
            engine.BeginDrawScene(1, true);
            EXPECT_TRUE(frame_of(engine) == frame) << threads << " threads, packets of " << wide;
        }

    const Reference_Scene s = capture(engine);
    std::mt19937 rng(9);
    int equal = 0, unexplained = 0, lit = 0;
    const int n_samples = 160;
    for (int k = 0; k < n_samples; ++k) {
        const int x = static_cast<int>(rng() % 96), y = static_cast<int>(rng() % 72);
        const Ref_Pixel ref = ref_pixel(s, x, y);
        const unsigned got = frame[static_cast<std::size_t>(y) * 96 + x];
        int off = 0;
        for (int c = 0; c < 3; ++c)
            off = std::max(off, std::abs(channel(got, c) - channel(ref.word, c)));
        equal += off == 0;
        lit += ref.word != 0;
        if (off > 3 && !ref.ambiguous && ++unexplained <= 5)
            ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << got << ", the reference "
                          << ref.word;
    }
    EXPECT_GE(equal * 100, n_samples * 95);
    EXPECT_GT(lit, n_samples / 2) << "the surface should fill most of the view";
    engine.Release();
}

// ---------------------------------------------------------------------------
// Frame-level rules.

TEST(CpuTracerFrame, DepthAndShadowSwitchDoNotChangeTheImage)
{
    Demo_Textures textures(14);
    Test_Tracer engine;
    set_up_demo(engine, 64, 48, textures);
    engine.BeginDrawScene(5, false);
    const std::vector<unsigned> first = frame_of(engine);
    engine.BeginDrawScene(1, true);
    EXPECT_EQ(first, frame_of(engine));
    engine.Release();
}

TEST(CpuTracerFrame, OffersNoRayCore)
{
    Test_Tracer engine;
    engine.Init(4, 4);
    EXPECT_EQ(engine.GetRTCore(), nullptr);
    engine.Release();
}

TEST(CpuTracerFrame, FrameBeforeBuildOrOfEmptySceneIsBlack)
{
    Demo_Textures textures(15);
    {
        Test_Tracer engine;
        engine.Init(9, 7);
        demo::AddDemoScene(engine, textures.images); // no BuildKdTree
        engine.BeginDrawScene(1, true);
        const std::vector<unsigned> frame = frame_of(engine);
        EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; }));
        engine.Release();
    }
    {
        Test_Tracer engine;
        engine.Init(8, 6);
        engine.AddPointLight(demo::DemoLight());
        engine.BuildKdTree();
        engine.BeginDrawScene(1, true);
        const std::vector<unsigned> frame = frame_of(engine);
        EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; }));
        // The one leaf holds no triangle, so no walk reports a hit, however
        // far the (unbounded) world box reaches.
        RAYTR::Hit hit;
        EXPECT_EQ(kd_tree_traverse(engine, make_ray(0.0f, 0.0f, 10.0f, 0.0f, 0.1f, -1.0f), &hit), 0u);
        Ray_Packet packet;
        make_primary_packet(engine, 2, 2, packet);
        alignas(16) RAYTR::Hit hits[4];
        CPU_Ray_Tracer::Frame_Stats stats;
        EXPECT_EQ(koru::cpu::trace_packet(tree_view(engine), packet, hits, stats), 0u);
        engine.Release();
    }
}

TEST(CpuTracerFrame, SceneWithoutLightsIsBlack)
{
    Demo_Textures textures(16);
    Test_Tracer engine;
    engine.Init(32, 24);
    std::mt19937 rng(3);
    add_random_scene(engine, rng, 60, 0, textures.images, 2);
    engine.BuildKdTree();
    engine.BeginDrawScene(1, true);
    const std::vector<unsigned> frame = frame_of(engine);
    EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](unsigned p) { return p == 0; }));
    // Something was in view, so black is the shading's doing.
    EXPECT_GT(engine.LastFrameStats().primary_rays, 0u);
    engine.Release();
}
