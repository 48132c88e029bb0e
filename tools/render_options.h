// koru_render's command line: what a run asks for, how the arguments are
// read into it, and the camera angles a look-at camera comes to.
#pragma once

#include <string>

#include "engine/graphics_engine.h"

namespace render_tool {

using V4 = IGraphicsEngine::VECTOR4;
using M4 = IGraphicsEngine::MATRIX4;

// Of the picture and of the frame the engine draws for it (--spp).
constexpr int max_side = 8192;
constexpr int max_threads = 1024;
constexpr int max_samples_per_side = 16;

// The CPU engine's own picture, the CPU engine drawing the whole scene (the
// GPU engine's picture), the GPU engine, the rasterizer.
enum class Engine_Choice { Default, Cpu, Whole, Gpu, OpenGL };

struct Options {
    std::string scene; // the mesh file
    bool demo = false;
    std::string data; // the demo's texture folder; empty: as the demo finds it
    unsigned depth = 4;
    bool shadows = true;
    std::string out;
    int width = 640;
    int height = 480;
    int samples = 1;    // per side of a pixel (--spp)
    float fov = 45.0f;  // degrees across the width
    int threads = 0;    // 0: one per hardware thread
    bool quiet = false; // nothing on standard output
    bool help = false, version = false;
    Engine_Choice engine = Engine_Choice::Default;
    bool has_position = false, has_rotation = false, has_light = false;
    V4 position{0.0f, 0.0f, 0.0f, 1.0f};
    V4 rotation{0.0f, 0.0f, 0.0f, 0.0f}; // degrees about x, y, z
    float look_distance = 0.0f;          // from --camera: eye to AT; 0 otherwise
    V4 light{0.0f, 0.0f, 0.0f, 1.0f};
    V4 light_color{1.0f, 1.0f, 1.0f, 1.0f};
    float light_power = 1.0f;
};

extern const char* const usage_text;

// Reads the command line into options: an empty text, or what is wrong
// (the option, the value and why). --help and --version end the reading.
std::string parse_options(int argc, char** argv, Options& options);

// The camera rotation as the engine builds it from angles in degrees.
M4 rotation_matrix(const V4& degrees);

// The engine's camera angles (degrees about x, y, z) of a camera at eye that
// looks at `at` with `up` upwards in the picture. False when eye and at
// coincide or up lies along the view.
bool look_at_angles(const V4& eye, const V4& at, const V4& up, V4& degrees);

} // namespace render_tool
