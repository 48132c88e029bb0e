// koru_bench: frame time of the CPU ray tracer at 640 x 480 on the demo
// scene and on a displaced sphere mesh of about 40,000 triangles.
//
// usage: koru_bench [--frames N] [--scene demo|mesh|all] [--threads N]
// Prints, per scene, the median time per frame over N frames after a
// warm-up, the primary and total (primary plus shadow) rays per second and
// the share of packets walked as one packet, and a checksum of the frame, so
// that a faster tracer can show it draws the same image.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "demo/bmp.h"
#include "demo/scene.h"
#include "engine/engines.h"
#include "kdtree/kdtree.h"

namespace {

using V4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

constexpr int frame_width = 640;
constexpr int frame_height = 480;
constexpr int warm_up_frames = 3;

void usage(std::FILE* out)
{
    std::fprintf(out, "usage: koru_bench [--frames N] [--scene demo|mesh|all] [--threads N]\n");
}

// The demo's textures from data/ when they are there, else stand-ins of the
// same kind (stripes, checks, rings) made here.
void load_textures(IMAGE images[3])
{
    for (int t = 0; t < 3; ++t) {
        if (std::ifstream(demo::kTexturePaths[t]).good()) {
            LoadBMP(demo::kTexturePaths[t], images[t]);
            continue;
        }
        const int size = 256;
        images[t].SetSize(size, size);
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                unsigned char* p = images[t].data + 4 * (y * size + x);
                const int v = t == 0 ? ((x / 16) % 2) * 120 + 80
                                     : t == 1 ? (((x / 32) + (y / 32)) % 2) * 150 + 60
                                              : static_cast<int>(127.5 + 127.5 * std::sin(0.1 * std::hypot(x - 128, y - 128)));
                p[0] = static_cast<unsigned char>(v);
                p[1] = static_cast<unsigned char>(255 - v);
                p[2] = static_cast<unsigned char>((v * 3) & 0xFF);
                p[3] = 0;
            }
    }
}

// A sphere of radius 3 with smooth bumps, as a latitude-longitude grid of
// `rows` bands and `slices` segments (2 * rows * slices triangles), smooth
// vertex normals and a repeating texture.
void add_bumpy_sphere(IGraphicsEngine& engine, int rows, int slices)
{
    const double pi = 3.14159265358979323846;
    const auto radius = [](double theta, double phi) {
        return 3.0 * (1.0 + 0.08 * std::sin(5.0 * theta) * std::cos(3.0 * phi) + 0.04 * std::sin(11.0 * phi + 2.0 * theta));
    };
    const auto point = [&](double theta, double phi) {
        const double r = radius(theta, phi);
        return V4(static_cast<float>(r * std::sin(theta) * std::cos(phi)), static_cast<float>(r * std::cos(theta)),
                  static_cast<float>(r * std::sin(theta) * std::sin(phi)), 1.0f);
    };
    std::vector<Vertex> vertices;
    for (int i = 0; i <= rows; ++i)
        for (int j = 0; j <= slices; ++j) {
            const double theta = pi * i / rows, phi = 2.0 * pi * j / slices;
            Vertex v;
            v.pos = point(theta, phi);
            // Normal from the surface's two tangents (finite differences).
            const double h = 1e-4;
            const V4 dt = point(theta + h, phi) - point(theta - h, phi);
            const V4 dp = point(std::max(theta, h), phi + h) - point(std::max(theta, h), phi - h);
            V4 n = TAU_MATH::Cross3(dp, dt);
            if (TAU_MATH::Dot3(n, v.pos) < 0.0f)
                n = n * -1.0f;
            v.norm = TAU_MATH::Normalize(n);
            v.norm[3] = 0.0f;
            v.tex_coord = TAU_MATH::VECTOR<2, float>(static_cast<float>(4.0 * j / slices), static_cast<float>(2.0 * i / rows));
            v.material_id = 0;
            v.tex_id[0] = 1;
            vertices.push_back(v);
        }
    std::vector<unsigned> indices;
    const auto at = [&](int i, int j) { return static_cast<unsigned>(i * (slices + 1) + j); };
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < slices; ++j) {
            const unsigned quad[6] = {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)};
            indices.insert(indices.end(), quad, quad + 6);
        }
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

TAU_GRAPHICS::MATERIAL<3> mesh_material()
{
    TAU_GRAPHICS::MATERIAL<3> m;
    m.ambient = TAU_MATH::VECTOR<3, float>(0.15f, 0.15f, 0.15f);
    m.diffuse = TAU_MATH::VECTOR<3, float>(0.35f, 0.35f, 0.35f);
    m.specular = TAU_MATH::VECTOR<3, float>(0.55f, 0.55f, 0.55f);
    m.spec_power = 60.0f;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

// The demo's light where the demo's first frame puts it.
TAU_GRAPHICS::Point_Light<4, float> first_frame_light()
{
    TAU_GRAPHICS::Point_Light<4, float> light = demo::DemoLight();
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    return light;
}

struct Result {
    double median_ms;
    CPU_Ray_Tracer::Frame_Stats stats;
};

Result time_frames(CPU_Ray_Tracer& engine, int frames)
{
    for (int f = 0; f < warm_up_frames; ++f)
        engine.BeginDrawScene(1, true);
    std::vector<double> ms;
    for (int f = 0; f < frames; ++f) {
        const auto start = std::chrono::steady_clock::now();
        engine.BeginDrawScene(1, true);
        const auto stop = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    const std::size_t n = ms.size();
    const double median = n % 2 ? ms[n / 2] : 0.5 * (ms[n / 2 - 1] + ms[n / 2]);
    return {median, engine.LastFrameStats()};
}

// FNV-1a over the frame's pixel words.
unsigned long long frame_checksum(const CPU_Ray_Tracer& engine)
{
    const std::size_t n = static_cast<std::size_t>(engine.Width()) * engine.Height();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(engine.FrameBuffer());
    unsigned long long hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < 4 * n; ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

void report(const char* scene, const CPU_Ray_Tracer& engine, const Result& r, int frames)
{
    const double seconds = r.median_ms / 1000.0;
    const double primary = static_cast<double>(r.stats.primary_rays);
    const double total = primary + static_cast<double>(r.stats.shadow_rays);
    const double coherent = r.stats.packets ? 100.0 * r.stats.coherent_packets / r.stats.packets : 0.0;
    std::printf("scene %s: %dx%d, %d triangles, %u kd-tree nodes, %d threads\n", scene, frame_width, frame_height,
                engine.IndexCount() / 3, engine.KdTreeData()->node_count, engine.ThreadCount());
    std::printf("  ms per frame (median of %d):  %.2f\n", frames, r.median_ms);
    std::printf("  primary rays/s:               %.2f M\n", primary / seconds / 1e6);
    std::printf("  total rays/s (with shadow):   %.2f M  (%.0f shadow rays per frame)\n", total / seconds / 1e6,
                static_cast<double>(r.stats.shadow_rays));
    std::printf("  packets walked as one packet: %.1f %% of %llu\n", coherent, r.stats.packets);
    std::printf("  frame checksum:               %016llx\n", frame_checksum(engine));
}

void bench_demo(int frames, int threads, const IMAGE* textures)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->SetThreadCount(threads);
    engine->Init(frame_width, frame_height);
    demo::AddDemoScene(*engine, textures);
    engine->SetPointLight(first_frame_light(), 0);
    engine->BuildKdTree();
    report("demo", *engine, time_frames(*engine, frames), frames);
    engine->Release();
    delete engine;
}

void bench_mesh(int frames, int threads, const IMAGE* textures)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->SetThreadCount(threads);
    engine->Init(frame_width, frame_height);
    engine->AddPointLight(first_frame_light());
    engine->AddMaterial(mesh_material());
    for (int t = 0; t < 3; ++t)
        engine->AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                           static_cast<unsigned>(textures[t].height), 0);
    add_bumpy_sphere(*engine, 140, 144); // 40,320 triangles
    engine->BuildKdTree();
    report("mesh", *engine, time_frames(*engine, frames), frames);
    engine->Release();
    delete engine;
}

} // namespace

int main(int argc, char** argv)
{
    int frames = 30;
    int threads = 0;
    std::string scene = "all";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (arg == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (arg == "--scene" && i + 1 < argc) {
            scene = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (frames < 1 || (scene != "demo" && scene != "mesh" && scene != "all")) {
        usage(stderr);
        return 2;
    }

    try {
        IMAGE textures[3];
        load_textures(textures);
        if (scene == "demo" || scene == "all")
            bench_demo(frames, threads, textures);
        if (scene == "mesh" || scene == "all")
            bench_mesh(frames, threads, textures);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
