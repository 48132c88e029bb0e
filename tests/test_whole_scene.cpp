// The CPU tracer's whole-scene mode (spheres, shadows on request, mirror
// reflections): its packets against the single-ray per-pixel path, its
// frames against the host emulation of the GPU engine, and the sphere test's
// precision at the demo's grazing rays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cpu_test_support.h"
#include "demo/scene.h"
#include "gpu/host_emulation.h"
#include "rt/gpu_pixel.h"
#include "rt/sphere.h"
#include "simd/simd.h"

using namespace cpu_test;

namespace {

using koru::rt::Sphere;

Sphere make_sphere(float x, float y, float z, float radius, int material = 0)
{
    Sphere s;
    s.center = V4(x, y, z, 1.0f);
    s.radius = radius;
    s.radius2 = radius * radius;
    s.material_id = material;
    return s;
}

// The nearest surface point of the ray ahead of its origin, solved in double
// precision for the ray's float origin and direction: false for a miss.
bool exact_sphere_hit(const float origin[3], const float dir[3], const Sphere& s, double point[3])
{
    double oc[3], a = 0.0, b = 0.0, c = 0.0;
    for (int i = 0; i < 3; ++i) {
        oc[i] = static_cast<double>(origin[i]) - static_cast<double>(s.center[i]);
        a += static_cast<double>(dir[i]) * dir[i];
        b += oc[i] * dir[i];
        c += oc[i] * oc[i];
    }
    c -= static_cast<double>(s.radius) * s.radius;
    const double discriminant = b * b - a * c;
    if (discriminant < 0.0)
        return false;
    double t = (-b - std::sqrt(discriminant)) / a;
    if (t <= 0.0)
        t = (-b + std::sqrt(discriminant)) / a;
    if (t <= 0.0)
        return false;
    for (int i = 0; i < 3; ++i)
        point[i] = origin[i] + t * dir[i];
    return true;
}

// The single-ray per-pixel path over an engine's scene, textures sampled as
// the CPU tracer samples them: what the whole-scene packets must give.
struct Reference_Scene : koru::rt::Tree_Primitives {
    const koru::rt::Texture_View* textures;
    int n_textures;

    int texture_count() const { return n_textures; }
    koru::rt::Color sample_texture(int id, float u, float v) const
    {
        return koru::rt::sample_texture(textures[id], u, v);
    }
};

struct Reference {
    koru::rt::Tree_View view;
    const Sphere* spheres;
    std::vector<koru::rt::Texture_View> textures;
    koru::rt::Constant_Block k;

    // After a frame of the engine: its camera.
    explicit Reference(CPU_Ray_Tracer& engine)
        : view(koru::cpu::tree_view(engine)), spheres(koru::Engine_Access::kd_tree(engine)->spheres),
          k(koru::gpu::constant_block_of(engine, engine.GetCamMatrix()))
    {
        for (int t = 0; t < engine.TextureCount(); ++t)
            textures.push_back({engine.Textures()[t].width, engine.Textures()[t].height, engine.Textures()[t].data});
    }

    Reference_Scene scene() const
    {
        return Reference_Scene{{{view}, spheres}, textures.data(), static_cast<int>(textures.size())};
    }

    std::vector<unsigned> frame(unsigned depth, bool shadows) const
    {
        const Reference_Scene s = scene();
        std::vector<unsigned> pixels(static_cast<std::size_t>(k.window_size[0]) * k.window_size[1]);
        for (int y = 0; y < k.window_size[1]; ++y)
            for (int x = 0; x < k.window_size[0]; ++x)
                pixels[static_cast<std::size_t>(y) * k.window_size[0] + x] =
                    koru::rt::trace_pixel_variant(s, k, depth, shadows, x, y);
        return pixels;
    }
};

std::vector<unsigned> frame_of(const CPU_Ray_Tracer& engine)
{
    return std::vector<unsigned>(engine.FrameBuffer(),
                                 engine.FrameBuffer() + static_cast<std::size_t>(engine.Width()) * engine.Height());
}

// The pixels where two frames differ, as "(x, y) a b" lines, at most ten.
std::string first_differences(const std::vector<unsigned>& a, const std::vector<unsigned>& b, int width)
{
    std::string out;
    int shown = 0;
    for (std::size_t i = 0; i < a.size() && shown < 10; ++i)
        if (a[i] != b[i]) {
            char line[96];
            std::snprintf(line, sizeof line, "(%d, %d) %06x %06x\n", static_cast<int>(i % width),
                          static_cast<int>(i / width), a[i], b[i]);
            out += line;
            ++shown;
        }
    return out;
}

std::size_t count_differences(const std::vector<unsigned>& a, const std::vector<unsigned>& b)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        n += a[i] != b[i];
    return n;
}

// A random scene with spheres: a reflective floor, triangles and spheres of
// mirror and matt materials (reflectivity 0, 0.35, 0.5, 1 and 1.7, which
// counts as 1), textures, one or two lights, the camera somewhat turned.
void add_random_whole_scene(CPU_Ray_Tracer& engine, std::mt19937& rng, const IMAGE* textures, int n_textures)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto range = [&](float lo, float hi) { return lo + (hi - lo) * unit(rng); };
    const float reflectivities[5] = {0.0f, 0.35f, 0.5f, 1.0f, 1.7f};
    for (float r : reflectivities) {
        Material m = make_material(range(0.0f, 0.2f), range(0.1f, 0.7f), range(0.0f, 0.7f), range(1.0f, 60.0f));
        m.param[0].f = r;
        engine.AddMaterial(m);
    }
    for (int t = 0; t < n_textures; ++t)
        engine.AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                          static_cast<unsigned>(textures[t].height), 0);
    const int n_lights = 1 + static_cast<int>(unit(rng) * 2.0f) % 2;
    for (int l = 0; l < n_lights; ++l) {
        Light light;
        light.power = range(0.8f, 2.0f);
        light.kc = range(0.05f, 0.3f);
        light.kl = range(0.0f, 0.1f);
        light.kq = range(0.0f, 0.02f);
        light.pos = V4(range(-4.0f, 4.0f), range(2.0f, 6.0f), range(-2.0f, 6.0f), 1.0f);
        engine.AddPointLight(light);
    }

    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    // The floor: two triangles at y = -3, textured, half a mirror.
    const float corners[4][2] = {{-8.0f, -8.0f}, {8.0f, -8.0f}, {8.0f, 8.0f}, {-8.0f, 8.0f}};
    for (const auto& c : corners) {
        Vertex v = make_vertex(c[0], -3.0f, c[1], 2, 0);
        v.norm = V4(0.0f, 1.0f, 0.0f, 0.0f);
        v.tex_coord = TAU_MATH::VECTOR<2, float>(c[0] / 4.0f, c[1] / 4.0f);
        vertices.push_back(v);
    }
    for (unsigned i : {0u, 1u, 2u, 0u, 2u, 3u})
        indices.push_back(i);
    for (int t = 0; t < 40; ++t) {
        const float cx = range(-3.5f, 3.5f), cy = range(-2.5f, 2.5f), cz = range(-4.0f, 3.0f);
        const float size = range(0.2f, 1.5f);
        const int material = static_cast<int>(unit(rng) * 5.0f) % 5;
        const unsigned char texture = unit(rng) < 0.5f ? 1 : 255;
        for (int k = 0; k < 3; ++k) {
            Vertex v = make_vertex(cx + size * range(-1.0f, 1.0f), cy + size * range(-1.0f, 1.0f),
                                   cz + size * range(-1.0f, 1.0f), material, texture);
            v.norm = TAU_MATH::Normalize(V4(range(-1.0f, 1.0f), range(-1.0f, 1.0f), range(-0.2f, 1.0f), 0.0f));
            v.tex_coord = TAU_MATH::VECTOR<2, float>(range(-0.5f, 2.5f), range(-0.5f, 2.5f));
            indices.push_back(static_cast<unsigned>(vertices.size()));
            vertices.push_back(v);
        }
    }
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
    std::vector<Sphere> spheres;
    for (int k = 0; k < 12; ++k)
        spheres.push_back(make_sphere(range(-4.0f, 4.0f), range(-3.0f, 2.0f), range(-5.0f, 3.0f), range(0.2f, 1.2f),
                                      static_cast<int>(unit(rng) * 5.0f) % 5));
    engine.AddSpheres(spheres.data(), static_cast<int>(spheres.size()));
    engine.SetCamPosition(V4(range(-1.0f, 1.0f), range(0.0f, 1.5f), 10.0f, 1.0f));
    engine.SetCamRotation(V4(range(-8.0f, 4.0f), range(-10.0f, 10.0f), 0.0f, 0.0f));
}

struct Random_Textures {
    IMAGE images[2];
    explicit Random_Textures(unsigned seed)
    {
        std::mt19937 rng(seed);
        fill_random_image(images[0], 16, 16, rng);
        fill_random_image(images[1], 9, 7, rng);
    }
};

// The packet widths this processor runs.
std::vector<int> packet_widths()
{
    std::vector<int> widths;
    for (int n : {4, 8, 16})
        if (n <= koru::simd::widest_lanes())
            widths.push_back(n);
    return widths;
}

} // namespace

// ---------------------------------------------------------------------------
// The sphere test at the demo's first frame: camera at (0, 0, 10) looking down
// -z, 640 x 480, spheres 0 and 1 of the demo 13 units away.

TEST(SpherePrecision, DemoGrazingRays)
{
    const float origin[3] = {0.0f, 0.0f, 10.0f};
    const Sphere sphere0 = make_sphere(1.5f, -2.0f, -3.0f, 1.0f);
    const Sphere sphere1 = make_sphere(-1.0f, -2.0f, -3.0f, 1.0f);

    // Pixel (320, 121) passes 3e-6 outside sphere 1.
    const V4 passing = koru::rt::eye_ray_direction(320, 121, 640, 480);
    ASSERT_EQ(passing[0], 0.0f);
    ASSERT_EQ(passing[1], -0.152240157f);
    ASSERT_EQ(passing[2], -0.988343537f);
    double exact[3];
    ASSERT_FALSE(exact_sphere_hit(origin, passing.v, sphere1, exact));
    float t = 0.0f;
    EXPECT_FALSE(koru::rt::intersect_sphere(origin, passing.v, sphere1, t)) << "hit at distance " << t;

    // Pixel (432, 176) grazes sphere 0: the hit point must be where the
    // exact solution puts it, not 2e-4 away.
    const V4 grazing = koru::rt::eye_ray_direction(432, 176, 640, 480);
    ASSERT_TRUE(exact_sphere_hit(origin, grazing.v, sphere0, exact));
    ASSERT_TRUE(koru::rt::intersect_sphere(origin, grazing.v, sphere0, t));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(origin[i] + t * grazing[i], exact[i], 2e-5) << "axis " << i;

    // Rays from the same camera that pass the same spheres at 2e-6 to 1e-4
    // from their surfaces, inside or outside: hit exactly when they should.
    std::mt19937 rng(18);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int wrong = 0, n = 0;
    for (const Sphere* s : {&sphere0, &sphere1})
        for (int k = 0; k < 2000; ++k, ++n) {
            // A point near the sphere's silhouette, seen from the origin.
            const double angle = 2.0 * 3.14159265358979 * unit(rng);
            const double miss = (k % 2 ? 1.0 : -1.0) * std::pow(10.0, -5.7 + 1.7 * unit(rng));
            double to_centre[3], along = 0.0;
            for (int i = 0; i < 3; ++i) {
                to_centre[i] = static_cast<double>(s->center[i]) - origin[i];
                along += to_centre[i] * to_centre[i];
            }
            along = std::sqrt(along);
            // Two unit vectors across the line of sight.
            double u[3] = {-to_centre[2], 0.0, to_centre[0]};
            const double lu = std::sqrt(u[0] * u[0] + u[2] * u[2]);
            for (double& x : u)
                x /= lu;
            double w[3] = {to_centre[1] * u[2] - to_centre[2] * u[1], to_centre[2] * u[0] - to_centre[0] * u[2],
                           to_centre[0] * u[1] - to_centre[1] * u[0]};
            for (double& x : w)
                x /= along;
            // Tilted off the line of sight so that the line passes at
            // radius + miss from the centre.
            const double sine = (s->radius + miss) / along, cosine = std::sqrt(1.0 - sine * sine);
            float dir[3];
            for (int i = 0; i < 3; ++i)
                dir[i] = static_cast<float>(cosine * to_centre[i] / along +
                                            sine * (std::cos(angle) * u[i] + std::sin(angle) * w[i]));
            // The gap as the float direction has it; closer calls than this
            // are beyond single precision.
            double b = 0.0, dd = 0.0;
            for (int i = 0; i < 3; ++i) {
                b += -to_centre[i] * dir[i];
                dd += static_cast<double>(dir[i]) * dir[i];
            }
            double gap2 = 0.0;
            for (int i = 0; i < 3; ++i) {
                const double f = -to_centre[i] - b / dd * dir[i];
                gap2 += f * f;
            }
            if (std::fabs(std::sqrt(gap2) - s->radius) < 1.5e-6)
                continue;
            const bool expected = exact_sphere_hit(origin, dir, *s, exact);
            wrong += koru::rt::intersect_sphere(origin, dir, *s, t) != expected;
        }
    EXPECT_EQ(wrong, 0) << "of " << n << " grazing rays";
}

// ---------------------------------------------------------------------------
// Packets with spheres against the single-ray walk, lane by lane: nearest
// hits and shadow answers, for coherent packets (walked as one) and
// incoherent ones (split, then ray by ray), at every packet width.

namespace {

bool same_hit(const RAYTR::Hit& a, const RAYTR::Hit& b)
{
    for (int i = 0; i < 3; ++i)
        if (a.pos[i] != b.pos[i] || a.norm[i] != b.norm[i])
            return false;
    return a.tex_coord[0] == b.tex_coord[0] && a.tex_coord[1] == b.tex_coord[1] && a.tex_id == b.tex_id &&
           a.material_id == b.material_id && a.untextured == b.untextured && a.prim_id == b.prim_id;
}

// Over the engine's leaf blocks, or (without them) over the leaf records.
template <int N>
void expect_packets_match_single_rays(CPU_Ray_Tracer& engine, bool leaf_blocks, std::mt19937& rng)
{
    koru::cpu::Packet_Tree tree = koru::cpu::packet_tree(engine);
    ASSERT_NE(tree.blocks, nullptr);
    if (!leaf_blocks)
        tree.blocks = nullptr;
    tree.spheres = koru::Engine_Access::kd_tree(engine)->spheres;
    const koru::rt::Tree_Primitives single{{tree.view}, tree.spheres};
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    CPU_Ray_Tracer::Frame_Stats stats;
    int n_hits = 0, n_sphere_hits = 0;
    for (int p = 0; p < 600; ++p) {
        // From the camera's side, from inside the scene (as reflections and
        // shadow rays start), coherent or scattered.
        const bool coherent = p % 3 != 0;
        const V4 origin = p % 2 ? V4(2.0f * unit(rng), 2.0f * unit(rng), 9.0f, 1.0f)
                                : V4(3.0f * unit(rng), 2.0f * unit(rng), 2.0f * unit(rng), 1.0f);
        const V4 base(unit(rng), unit(rng), p % 2 ? -2.0f : unit(rng), 0.0f);
        Ray_Packet_Of<N> packet;
        for (int k = 0; k < N; ++k) {
            const float spread = coherent ? 0.05f : 1.0f;
            const V4 d = TAU_MATH::Normalize(V4(base[0] + spread * unit(rng), base[1] + spread * unit(rng),
                                                base[2] + spread * unit(rng), 0.0f));
            const V4 o = coherent ? origin : V4(origin[0] + unit(rng), origin[1] + unit(rng), origin[2], 1.0f);
            Ray4 ray;
            ray.pos = o;
            ray.dir = d;
            koru::cpu::set_lane(packet, k, ray);
        }
        alignas(16) RAYTR::Hit hits[N];
        const unsigned mask = koru::cpu::trace_packet<N>(tree, packet, hits, stats);
        const unsigned shadow_mask = koru::cpu::trace_shadow_packet<N>(tree, packet, stats);
        for (int k = 0; k < N; ++k) {
            RAYTR::Hit expected;
            const bool hit = koru::rt::walk_scene(single, tree.view.world_box, koru::cpu::lane_ray(packet, k), &expected);
            ASSERT_EQ((mask >> k) & 1u, hit ? 1u : 0u) << "packet " << p << " lane " << k;
            ASSERT_EQ((shadow_mask >> k) & 1u, hit ? 1u : 0u) << "shadow packet " << p << " lane " << k;
            if (!hit)
                continue;
            ++n_hits;
            n_sphere_hits += expected.prim_id >= 0;
            ASSERT_TRUE(same_hit(hits[k], expected))
                << "packet " << p << " lane " << k << ": prim " << hits[k].prim_id << " instead of " << expected.prim_id;
        }
    }
    // The rays met both kinds of primitive, and some packets went as one.
    EXPECT_GT(n_sphere_hits, 100);
    EXPECT_GT(n_hits - n_sphere_hits, 100);
    EXPECT_GT(stats.coherent_packets, 0u);
    EXPECT_LT(stats.coherent_packets, stats.packets);
}

} // namespace

TEST(WholeScenePackets, HitsAndShadowsMatchSingleRays)
{
    const Random_Textures textures(3);
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        CPU_Ray_Tracer engine;
        engine.Init(64, 48);
        add_random_whole_scene(engine, rng, textures.images, 2);
        engine.BuildKdTree();
        for (int n : packet_widths())
            for (bool blocks : {true, false}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(n) + " lanes" +
                             (blocks ? "" : ", leaf records"));
                if (n == 4)
                    expect_packets_match_single_rays<4>(engine, blocks, rng);
#if KORU_SIMD_WIDE
                if (n == 8)
                    expect_packets_match_single_rays<8>(engine, blocks, rng);
                if (n == 16)
                    expect_packets_match_single_rays<16>(engine, blocks, rng);
#endif
            }
        engine.Release();
    }
}

// ---------------------------------------------------------------------------
// Whole frames: every generation, with and without shadows, at every packet
// width and on several threads, pixel for pixel the single-ray path's.

TEST(WholeSceneFrames, MatchSingleRayPathOnRandomScenes)
{
    const Random_Textures textures(5);
    for (unsigned seed : {7u, 8u}) {
        std::mt19937 rng(seed);
        CPU_Ray_Tracer engine;
        // An odd size: the blocks at the edges hang over it.
        engine.Init(seed == 7u ? 96 : 75, seed == 7u ? 64 : 41);
        add_random_whole_scene(engine, rng, textures.images, 2);
        engine.BuildKdTree();
        engine.SetWholeScene(true);
        engine.SetThreadCount(3);
        for (unsigned depth : {1u, 2u, 3u, 5u, 0u})
            for (bool shadows : {true, false}) {
                std::vector<unsigned> expected;
                for (int n : packet_widths()) {
                    engine.SetPacketWidth(n);
                    engine.BeginDrawScene(depth, shadows);
                    if (expected.empty())
                        expected = Reference(engine).frame(depth, shadows);
                    const std::vector<unsigned> frame = frame_of(engine);
                    EXPECT_EQ(count_differences(frame, expected), 0u)
                        << "seed " << seed << ", depth " << depth << (shadows ? ", shadows" : "") << ", " << n
                        << " lanes; packets, then single rays:\n"
                        << first_differences(frame, expected, engine.Width());
                }
                if (depth == 3) {
                    EXPECT_GT(engine.LastFrameStats().secondary_rays, 0u);
                }
            }
        engine.Release();
    }
}

// Frames of odd sizes, one of them wider than a run of tiles, each pixel's
// eye ray made as its block is traced: pixel for pixel the single-ray path's
// at every packet width, in both modes. Without spheres the CPU tracer's own
// picture is the whole scene's of one generation with shadows.
TEST(WholeSceneFrames, OddAndWideFramesMatchSingleRayPath)
{
    const Random_Textures textures(9);
    const auto expect_single_ray_frames = [](CPU_Ray_Tracer& engine, unsigned depth, const std::string& what) {
        std::vector<unsigned> expected;
        for (int n : packet_widths()) {
            engine.SetPacketWidth(n);
            engine.BeginDrawScene(depth, true);
            if (expected.empty())
                expected = Reference(engine).frame(depth, true);
            const std::vector<unsigned> frame = frame_of(engine);
            EXPECT_EQ(count_differences(frame, expected), 0u)
                << what << ", " << n << " lanes; packets, then single rays:\n"
                << first_differences(frame, expected, engine.Width());
        }
    };
    const int sizes[][2] = {{37, 23}, {341, 9}};
    for (const auto& size : sizes) {
        const std::string name = std::to_string(size[0]) + "x" + std::to_string(size[1]);
        std::mt19937 rng(static_cast<unsigned>(size[0]));
        CPU_Ray_Tracer own;
        own.Init(size[0], size[1]);
        add_random_scene(own, rng, 80, 2, textures.images, 2);
        own.BuildKdTree();
        own.SetThreadCount(2);
        expect_single_ray_frames(own, 1, name + " own picture");
        own.Release();

        CPU_Ray_Tracer whole;
        whole.Init(size[0], size[1]);
        add_random_whole_scene(whole, rng, textures.images, 2);
        whole.BuildKdTree();
        whole.SetWholeScene(true);
        whole.SetThreadCount(2);
        expect_single_ray_frames(whole, 3, name + " whole scene");
        EXPECT_GT(whole.LastFrameStats().secondary_rays, 0u) << name;
        whole.Release();
    }
}

// ---------------------------------------------------------------------------
// The demo's first frame at 640 x 480 against the host emulation of the GPU
// engine: the same picture, but for the GPU's 8-bit texture filter, which
// may move a textured pixel by one level. Against the single-ray path with
// the CPU's sampler the frame is identical, so that is all that differs.

TEST(WholeSceneFrames, DemoMatchesGpuEmulation)
{
    IMAGE textures[3];
    std::mt19937 rng(4);
    fill_random_image(textures[0], 16, 16, rng);
    fill_random_image(textures[1], 9, 7, rng);
    fill_random_image(textures[2], 5, 12, rng);
    CPU_Ray_Tracer engine;
    engine.Init(640, 480);
    demo::AddDemoScene(engine, textures);
    Light light = engine.GetPointLight(0);
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    engine.SetPointLight(light, 0);
    engine.BuildKdTree();
    engine.SetWholeScene(true);
    for (unsigned depth : {1u, 4u})
        for (bool shadows : {true, false}) {
            engine.BeginDrawScene(depth, shadows);
            const std::vector<unsigned> frame = frame_of(engine);
            std::vector<unsigned> gpu(frame.size(), 0u);
            koru::gpu::EmulateFrame(engine, engine.GetCamMatrix(), depth, shadows, gpu.data());
            std::size_t differ = 0, beyond_one = 0;
            for (std::size_t i = 0; i < frame.size(); ++i) {
                int levels = 0;
                for (int c = 0; c < 3; ++c)
                    levels = std::max(levels, std::abs(static_cast<int>((frame[i] >> (8 * c)) & 0xFFu) -
                                                       static_cast<int>((gpu[i] >> (8 * c)) & 0xFFu)));
                differ += levels != 0;
                beyond_one += levels > 1;
            }
            SCOPED_TRACE("depth " + std::to_string(depth) + (shadows ? ", shadows" : ", no shadows"));
            // The filters differ on a share of the textured pixels, by one
            // level. Where a texel coordinate lies within rounding of a whole
            // number, the CPU's sampler takes its right-hand neighbour from
            // the rounded x + 1, which skips a column when that rounds up: on
            // such thin lines the two read different texels (a few pixels on
            // these noisy textures).
            EXPECT_LT(differ, frame.size() / 4);
            EXPECT_LE(beyond_one, frame.size() / 10000) << first_differences(frame, gpu, 640);
            const std::vector<unsigned> expected = Reference(engine).frame(depth, shadows);
            EXPECT_EQ(count_differences(frame, expected), 0u) << first_differences(frame, expected, 640);
            // The grazing pixels: (320, 121) shows the floor beside sphere 1.
            EXPECT_EQ(frame[121 * 640 + 320], expected[121 * 640 + 320]);
        }
    engine.Release();
}
