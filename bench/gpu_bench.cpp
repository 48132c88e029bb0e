// koru_gpu_bench: the GPU engine on the demo scene at 640 x 480, for every
// depth with and without shadows: kernel time per frame (CUDA events around
// the launch) and frames per second (the frame traced and read back), then
// TraverseRays throughput in Mrays/s. With --emulate the same frames are
// traced on the host by the kernels' own per-pixel code instead (no device
// needed), timed by the clock; --png DIR writes every frame as a picture.
// --texture-probe samples a small texture on the device across a sweep of
// coordinates and says whether the texture unit rounds or truncates its 8-bit
// filter weights, and how far the host emulation is from it.
//
// usage: koru_gpu_bench [--frames N] [--rays N] [--emulate] [--png DIR] [--texture-probe]
// Run it from the build folder, which holds data/ with the demo's textures.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/bmp.h"
#include "demo/scene.h"
#include "engine/png_file.h"
#include "engine/engines.h"
#include "gpu/host_emulation.h"
#include "gpu/rtlib.h"
#include "kdtree/kdtree.h"
#include "rt/texture_filter.h"

namespace {

constexpr int frame_width = 640;
constexpr int frame_height = 480;
constexpr int warm_up_frames = 2;

struct Options {
    int frames = 20;
    unsigned rays = 2000000;
    bool emulate = false;
    bool texture_probe = false;
    std::string png_dir;
};

void usage(std::FILE* out)
{
    std::fprintf(out, "usage: koru_gpu_bench [--frames N] [--rays N] [--emulate] [--png DIR] [--texture-probe]\n"
                      "Times 640 x 480 frames of the GPU engine on the demo scene for depth 1 to 5,\n"
                      "with and without shadows, and TraverseRays. --emulate traces on the host.\n"
                      "--texture-probe measures the texture unit's filter against its emulation.\n");
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc)
            o.frames = std::max(1, std::atoi(argv[++i]));
        else if (a == "--rays" && i + 1 < argc)
            o.rays = static_cast<unsigned>(std::max(1L, std::atol(argv[++i])));
        else if (a == "--emulate")
            o.emulate = true;
        else if (a == "--texture-probe")
            o.texture_probe = true;
        else if (a == "--png" && i + 1 < argc)
            o.png_dir = argv[++i];
        else
            return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The demo scene at its first frame, the engine's tree built (and, for the
// GPU engine, the scene uploaded).
void set_up(Common_Graphics_Engine& engine, IMAGE* textures)
{
    engine.Init(frame_width, frame_height);
    demo::AddDemoScene(engine, textures);
    TAU_GRAPHICS::Point_Light<4, float> light = engine.GetPointLight(0);
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    engine.SetPointLight(light, 0);
    engine.BuildKdTree();
}

void write_png(const Options& o, unsigned depth, bool shadows, const std::vector<unsigned>& frame)
{
    if (o.png_dir.empty())
        return;
    const std::string path = o.png_dir + "/gpu_" + (o.emulate ? "emulated_" : "device_") + "depth" +
                             std::to_string(depth) + (shadows ? "_shadows" : "_no_shadows") + ".png";
    std::string error;
    if (!koru::io::WritePng(path, frame_width, frame_height, reinterpret_cast<const unsigned char*>(frame.data()),
                            error))
        std::fprintf(stderr, "koru_gpu_bench: %s\n", error.c_str());
}

unsigned long long checksum(const std::vector<unsigned>& frame)
{
    unsigned long long h = 1469598103934665603ull;
    for (unsigned p : frame)
        h = (h ^ p) * 1099511628211ull;
    return h;
}

// Host emulation: the frames traced by the host loop, timed by the clock.
void run_emulated(const Options& o, IMAGE* textures)
{
    CPU_Ray_Tracer engine; // holds the scene; its own tracer only sets the camera
    set_up(engine, textures);
    engine.BeginDrawScene(1, true);
    const TAU_MATH::MATRIX<4, 4, float> camera = engine.GetCamMatrix();
    std::vector<unsigned> frame(static_cast<std::size_t>(frame_width) * frame_height, 0u);
    std::printf("host emulation of the GPU engine, demo scene %dx%d, medians of %d frames\n", frame_width,
                frame_height, o.frames);
    std::printf("  depth  shadows   host ms      fps  checksum\n");
    for (unsigned depth = 1; depth <= 5; ++depth)
        for (bool shadows : {true, false}) {
            std::vector<double> times;
            for (int f = 0; f < o.frames; ++f) {
                const auto start = std::chrono::steady_clock::now();
                koru::gpu::EmulateFrame(engine, camera, depth, shadows, frame.data());
                times.push_back(seconds_since(start));
            }
            const double ms = 1000.0 * median(times);
            std::printf("  %5u  %7s  %8.2f %8.1f  %016llx\n", depth, shadows ? "on" : "off", ms, 1000.0 / ms,
                        checksum(frame));
            write_png(o, depth, shadows, frame);
        }
    engine.Release();
}

void run_device(const Options& o, IMAGE* textures)
{
    GPU_Ray_Tracer engine;
    set_up(engine, textures);
    std::vector<unsigned> frame(static_cast<std::size_t>(frame_width) * frame_height, 0u);
    std::printf("GPU engine, demo scene %dx%d, medians of %d frames after %d warm-up frames\n", frame_width,
                frame_height, o.frames, warm_up_frames);
    std::printf("  depth  shadows  kernel ms  frame ms      fps  checksum\n");
    engine.BeginDrawScene(1, true); // sets the camera matrix
    for (unsigned depth = 1; depth <= 5; ++depth)
        for (bool shadows : {true, false}) {
            std::vector<double> kernel, whole;
            for (int f = 0; f < warm_up_frames + o.frames; ++f) {
                // A frame as the engine makes one: the per-frame uploads, the
                // launch, the copy back.
                const auto start = std::chrono::steady_clock::now();
                nyxSetMaterials(engine.Materials(), engine.MaterialCount());
                nyxSetPointLights(engine.PointLights(), engine.PointLightCount());
                nyxSetTransform(&engine.GetCamMatrix());
                nyxRender(depth, shadows);
                const float ms = nyxGetLastLaunchMilliseconds();
                nyxReadPixels(frame.data());
                if (f >= warm_up_frames) {
                    kernel.push_back(ms);
                    whole.push_back(1000.0 * seconds_since(start));
                }
            }
            const double frame_ms = median(whole);
            std::printf("  %5u  %7s  %9.3f  %8.3f %8.1f  %016llx\n", depth, shadows ? "on" : "off", median(kernel),
                        frame_ms, 1000.0 / frame_ms, checksum(frame));
            write_png(o, depth, shadows, frame);
        }

    // Ray queries: random rays from the camera's side of the scene.
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<TAU_MATH::RAY<3, float>> rays(o.rays);
    for (auto& r : rays) {
        r.pos = TAU_MATH::VECTOR<3, float>(4.0f * unit(rng), 2.0f * unit(rng), 10.0f);
        const auto d = TAU_MATH::Normalize(TAU_MATH::VECTOR<4, float>(0.4f * unit(rng), 0.3f * unit(rng), -1.0f, 0.0f));
        r.dir = TAU_MATH::VECTOR<3, float>(d[0], d[1], d[2]);
    }
    std::vector<RAYTR::Hit> hits(o.rays);
    Ray_Tracer::RT_Core* core = engine.GetRTCore();
    std::vector<double> times;
    for (int f = 0; f < 1 + std::min(o.frames, 5); ++f) {
        const auto start = std::chrono::steady_clock::now();
        core->TraverseRays(rays.data(), hits.data(), o.rays);
        if (f > 0)
            times.push_back(seconds_since(start));
    }
    delete core;
    const double s = median(times);
    std::size_t n_hits = 0;
    for (const RAYTR::Hit& h : hits)
        n_hits += h.prim_id != GPU_Ray_Tracer::RT_Core::kMissPrimId;
    std::printf("TraverseRays: %u rays in %.3f ms (copies included): %.1f Mrays/s, %zu hits\n", o.rays, 1000.0 * s,
                o.rays / s / 1e6, n_hits);
    engine.Release();
}

// The texture unit against the emulated filter (rt/texture_filter.h): a
// 4 x 4 texture whose red channel alternates 0 and 255, so that a weight's
// last bit shows in full, sampled along u, along v and at random points.
// Coordinates on a 1/4096 grid leave weight fractions that rounding and
// truncation keep differently.
void run_texture_probe()
{
    constexpr int side = 4;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<unsigned char> texels(side * side * 4);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            unsigned char* t = &texels[4 * (y * side + x)];
            t[0] = (x + y) % 2 ? 255 : 0;
            for (int c = 1; c < 4; ++c)
                t[c] = static_cast<unsigned char>(byte(rng));
        }
    std::vector<float> coordinates;
    std::uniform_int_distribution<int> grid(-4096, 3 * 4096);
    for (int i = 0; i < 4096; ++i) {
        const float sweep = static_cast<float>(i) / 4096.0f;
        const float centre = 1.5f / side;
        coordinates.insert(coordinates.end(), {sweep, centre, centre, sweep,
                                               static_cast<float>(grid(rng)) / 4096.0f,
                                               static_cast<float>(grid(rng)) / 4096.0f});
    }
    const unsigned n = static_cast<unsigned>(coordinates.size() / 2);
    std::vector<float> device(4 * static_cast<std::size_t>(n));

    GPU_Ray_Tracer engine;
    engine.Init(8, 8);
    const int code = nyxProbeTexture(side, side, texels.data(), coordinates.data(), n, device.data());
    engine.Release();
    if (code != nyxNoError) {
        std::fprintf(stderr, "koru_gpu_bench: texture probe: %s\n", nyxGetErrorString(code));
        return;
    }
    const koru::rt::Texture_View view{side, side, texels.data()};
    double worst[2] = {0.0, 0.0}; // [rounded]
    for (unsigned i = 0; i < n; ++i)
        for (int rounded = 0; rounded < 2; ++rounded) {
            const koru::rt::Color e =
                koru::rt::filter_linear_wrap(view, coordinates[2 * i], coordinates[2 * i + 1], rounded != 0);
            for (int c = 0; c < 4; ++c)
                worst[rounded] = std::max(worst[rounded], std::fabs(static_cast<double>(device[4 * i + c]) - e[c]));
        }
    // A weight one 256th off moves the alternating channel by 1/256.
    const double one_step = 1.0 / 256.0;
    std::printf("texture filter probe: %u samples of a %dx%d texture (linear, wrap, normalised coordinates)\n", n,
                side, side);
    std::printf("  largest difference from the emulation rounding its weights:   %.6f (%.2f weight steps)\n",
                worst[1], worst[1] / one_step);
    std::printf("  largest difference from the emulation truncating its weights: %.6f (%.2f weight steps)\n",
                worst[0], worst[0] / one_step);
    const char* verdict = worst[1] < 0.25 * one_step && worst[1] < worst[0]   ? "rounds"
                          : worst[0] < 0.25 * one_step && worst[0] < worst[1] ? "truncates"
                                                                              : "matches neither emulation";
    std::printf("  the texture unit %s its 8-bit weights\n", verdict);
    std::printf("  the host emulation assumes: %s (koru::rt::filter_weights_rounded); largest difference %.6f\n",
                koru::rt::filter_weights_rounded ? "rounding" : "truncation",
                worst[koru::rt::filter_weights_rounded ? 1 : 0]);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t)
        koru::io::LoadBMP(demo::kTexturePaths[t], textures[t]);
    if (o.emulate) {
        run_emulated(o, textures);
        return 0;
    }
    if (koru::GpuDeviceAvailable()) {
        if (o.texture_probe)
            run_texture_probe();
        else
            run_device(o, textures);
        return 0;
    }
    std::fprintf(stderr, "koru_gpu_bench: no usable CUDA device here; --emulate traces on the host\n");
    return 2;
}
