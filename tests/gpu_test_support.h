// Shared by the GPU engine's tests: scenes, frame comparison with a stated
// tolerance (and pictures of both frames and their difference written to the
// build folder on failure), and the primary rays of a frame as ray queries.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cpu_test_support.h"
#include "demo/scene.h"
#include "gpu/host_emulation.h"
#include "engine/png_file.h"
#include "rt/gpu_pixel.h"

namespace gpu_test {

using namespace cpu_test;
using Ray3 = TAU_MATH::RAY<3, float>;

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

// The demo scene as the demo shows its first frame, in any engine.
inline void set_up_demo(Common_Graphics_Engine& engine, int w, int h, const Demo_Textures& textures)
{
    engine.Init(w, h);
    demo::AddDemoScene(engine, textures.images);
    Light light = engine.GetPointLight(0);
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    engine.SetPointLight(light, 0);
    engine.BuildKdTree();
}

// The camera matrix of the engine's last frame (BeginDrawScene rebuilds it
// from position and rotation).
inline TAU_MATH::MATRIX<4, 4, float> frame_camera(Common_Graphics_Engine& engine) { return engine.GetCamMatrix(); }

inline std::vector<unsigned> emulate(Common_Graphics_Engine& engine, unsigned depth, bool shadows)
{
    std::vector<unsigned> frame(static_cast<std::size_t>(engine.Width()) * engine.Height(), 0u);
    koru::gpu::EmulateFrame(engine, frame_camera(engine), depth, shadows, frame.data());
    return frame;
}

// The primary rays of every pixel, as ray-query input.
inline std::vector<Ray3> primary_rays(Common_Graphics_Engine& engine)
{
    const TAU_MATH::MATRIX<4, 4, float> camera = frame_camera(engine);
    std::vector<Ray3> rays;
    for (int y = 0; y < engine.Height(); ++y)
        for (int x = 0; x < engine.Width(); ++x) {
            const koru::rt::Ray4 r = koru::rt::primary_ray(camera, x, y, engine.Width(), engine.Height());
            Ray3 ray;
            ray.pos = TAU_MATH::VECTOR<3, float>(r.pos[0], r.pos[1], r.pos[2]);
            ray.dir = TAU_MATH::VECTOR<3, float>(r.dir[0], r.dir[1], r.dir[2]);
            rays.push_back(ray);
        }
    return rays;
}

// The CPU tracer's frame, which also sets up the frame's camera.
inline std::vector<unsigned> cpu_frame(Test_Tracer& engine)
{
    engine.BeginDrawScene(1, true);
    return std::vector<unsigned>(engine.FrameBuffer(),
                                 engine.FrameBuffer() + static_cast<std::size_t>(engine.Width()) * engine.Height());
}

// A ray query's record of a ray that hit nothing.
inline bool is_miss(const RAYTR::Hit& hit) { return hit.prim_id == GPU_Ray_Tracer::RT_Core::kMissPrimId; }

inline int channel(unsigned word, int c) { return static_cast<int>((word >> (8 * c)) & 0xFFu); }

inline int level_difference(unsigned a, unsigned b)
{
    int worst = 0;
    for (int c = 0; c < 3; ++c)
        worst = std::max(worst, std::abs(channel(a, c) - channel(b, c)));
    return worst;
}

struct Frame_Difference {
    std::size_t total = 0;
    std::size_t equal = 0;
    std::size_t within_one = 0;
    int worst = 0;
};

inline Frame_Difference compare_frames(const std::vector<unsigned>& a, const std::vector<unsigned>& b)
{
    Frame_Difference d;
    d.total = a.size();
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const int levels = level_difference(a[i], b[i]);
        d.equal += levels == 0;
        d.within_one += levels <= 1;
        d.worst = std::max(d.worst, levels);
    }
    return d;
}

// The build folder's test output, or KORU_TEST_OUTPUT_DIR where a run away
// from the build (the GPU bundle) names another.
inline std::string output_dir()
{
    const char* chosen = std::getenv("KORU_TEST_OUTPUT_DIR");
    const std::string dir = std::string(chosen != nullptr && *chosen != '\0' ? chosen : KORU_TEST_OUTPUT_DIR) + "/gpu";
    std::filesystem::create_directories(dir);
    return dir;
}

inline void write_frame(const std::string& name, int w, int h, const std::vector<unsigned>& frame)
{
    std::string error;
    koru::io::WritePng(output_dir() + "/" + name + ".png", w, h, reinterpret_cast<const unsigned char*>(frame.data()),
                   error);
}

// Frames a and b agree within one level on at least 99.9 % of the pixels;
// otherwise both and their difference (x 16) are written for a person.
inline void expect_close_frames(const std::vector<unsigned>& a, const std::vector<unsigned>& b, int w, int h,
                                const std::string& name)
{
    const Frame_Difference d = compare_frames(a, b);
    const bool close = d.within_one * 1000 >= d.total * 999;
    EXPECT_TRUE(close) << name << ": " << d.total - d.within_one << " of " << d.total
                       << " pixels differ by more than one level (worst " << d.worst << ")";
    if (!close) {
        std::vector<unsigned> diff(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            unsigned word = 0;
            for (int c = 0; c < 3; ++c)
                word |= static_cast<unsigned>(std::min(255, 16 * std::abs(channel(a[i], c) - channel(b[i], c))))
                        << (8 * c);
            diff[i] = word;
        }
        write_frame(name + "_a", w, h, a);
        write_frame(name + "_b", w, h, b);
        write_frame(name + "_diff", w, h, diff);
    }
}

} // namespace gpu_test
