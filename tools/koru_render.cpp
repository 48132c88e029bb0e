// koru_render: renders a scene file (OBJ, PLY, glTF, ...), or the demo's scene, to a PNG
// file with no display. Without camera options it frames the mesh; the demo
// scene is seen as the demo's first frame shows it. The kd-tree statistics go
// to standard error; the timings and the camera to standard output.
#include <GL/freeglut.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "engine/tau_error.h"
#include "gpu/rtlib.h"
#include "io/bmp.h"
#include "engine/scene_io.h"
#include "engine/png_file.h"
#include "progress.h"
#include "render_options.h"
#include "store/capacity.h"

namespace {

using render_tool::Engine_Choice;
using render_tool::M4;
using render_tool::Options;
using render_tool::Progress;
using render_tool::rotation_matrix;
using render_tool::V4;

// The framing looks down on the mesh from the front right.
const V4 framing_rotation(20.0f, -30.0f, 0.0f, 0.0f);
// Room around the mesh's bounding sphere in a framed view.
const double framing_margin = 1.05;

// Standard output, unless the run is quiet.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void say(const Options& options, const char* format, ...)
{
    if (options.quiet)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

// Where the camera stands so that the mesh's bounding sphere fills the
// narrower field of view (fov degrees across the width), looking along the
// rotated -z through its centre, `reach` away.
V4 framing_position(const koru::io::Scene& mesh, const M4& rotation, int width, int height, float fov, double& reach)
{
    const double half_field_of_view = fov * 0.5 * 3.14159265358979323846 / 180.0;
    double centre[3], radius2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        centre[a] = 0.5 * (static_cast<double>(mesh.box_min[a]) + mesh.box_max[a]);
        const double half = 0.5 * (static_cast<double>(mesh.box_max[a]) - mesh.box_min[a]);
        radius2 += half * half;
    }
    const double radius = std::fmax(std::sqrt(radius2), 1e-6);
    const double vertical = std::atan(std::tan(half_field_of_view) * height / width);
    const double distance = framing_margin * radius / std::sin(std::fmin(half_field_of_view, vertical));
    const V4 forward = rotation * V4(0.0f, 0.0f, -1.0f, 0.0f);
    // A mesh that spans most of the float range would put the camera beyond
    // it: the camera then comes nearer, still looking through the centre.
    V4 position;
    reach = distance;
    for (int halving = 0; halving < 300; ++halving, reach *= 0.5) {
        position = V4(static_cast<float>(centre[0] - reach * forward[0]),
                      static_cast<float>(centre[1] - reach * forward[1]),
                      static_cast<float>(centre[2] - reach * forward[2]), 1.0f);
        if (std::isfinite(position[0]) && std::isfinite(position[1]) && std::isfinite(position[2]))
            break;
    }
    return position;
}

// The light above and right of the camera, as far off as the mesh is wide.
// A mesh that reaches towards the ends of the float range would give that
// an infinite or undefined position (an extent or a sum that overflows):
// then the extent and the sums are taken in double, and where the light
// would still lie beyond the float range it comes nearer, in the same
// direction from the camera.
V4 default_light_position(const koru::io::Scene& mesh, const V4& rotation, const V4& position)
{
    float extent_f = 0.0f;
    for (int a = 0; a < 3; ++a)
        extent_f = std::fmax(extent_f, mesh.box_max[a] - mesh.box_min[a]);
    const V4 offset = rotation_matrix(rotation) * V4(extent_f, extent_f, 0.0f, 0.0f);
    const V4 light(position[0] + offset[0], position[1] + offset[1], position[2] + offset[2], 1.0f);
    if (std::isfinite(light[0]) && std::isfinite(light[1]) && std::isfinite(light[2]))
        return light;

    double extent = 0.0;
    for (int a = 0; a < 3; ++a)
        extent = std::fmax(extent, static_cast<double>(mesh.box_max[a]) - mesh.box_min[a]);
    const M4 turn = rotation_matrix(rotation);
    const V4 right = turn * V4(1.0f, 0.0f, 0.0f, 0.0f);
    const V4 up = turn * V4(0.0f, 1.0f, 0.0f, 0.0f);
    // A camera within the float range finds a finite place within 300 halvings.
    for (int halving = 0; halving < 300; ++halving, extent *= 0.5) {
        double p[3];
        bool finite = true;
        for (int a = 0; a < 3; ++a) {
            p[a] = position[a] + extent * (static_cast<double>(right[a]) + up[a]);
            finite = finite && std::isfinite(static_cast<float>(p[a]));
        }
        if (finite)
            return V4(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]), 1.0f);
    }
    return light;
}

// The picture from a frame of samples x samples as many pixels: each block
// of samples x samples averaged (a box filter), rounded to the nearest. The
// engine's rays pass through pixel corners, so a block's samples lie at and
// above right of its picture pixel's corner: a shift under a pixel.
std::vector<unsigned> average_blocks(const unsigned* frame, int width, int height, int samples)
{
    const std::size_t frame_width = static_cast<std::size_t>(width) * samples;
    if (samples == 1)
        return std::vector<unsigned>(frame, frame + frame_width * height);
    std::vector<unsigned> picture(static_cast<std::size_t>(width) * height);
    const unsigned count = static_cast<unsigned>(samples * samples);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned sums[4] = {0, 0, 0, 0};
            for (int sy = 0; sy < samples; ++sy)
                for (int sx = 0; sx < samples; ++sx) {
                    const unsigned word =
                        frame[(static_cast<std::size_t>(y) * samples + sy) * frame_width + x * samples + sx];
                    for (int c = 0; c < 4; ++c)
                        sums[c] += (word >> (8 * c)) & 0xFFu;
                }
            unsigned word = 0;
            for (int c = 0; c < 4; ++c)
                word |= ((sums[c] + count / 2) / count) << (8 * c);
            picture[static_cast<std::size_t>(y) * width + x] = word;
        }
    return picture;
}

// The camera of the last frame, in the terms of --camera and --fov; noise
// of the float arithmetic far under the scene's scale shows as 0.
void print_camera(const Options& options, const M4& camera, double look_distance)
{
    double values[9], scale = look_distance;
    for (int a = 0; a < 3; ++a) {
        values[a] = camera[a][3];
        values[3 + a] = values[a] - look_distance * camera[a][2];
        values[6 + a] = camera[a][1];
        scale = std::fmax(scale, std::fabs(values[a]));
    }
    for (int k = 0; k < 9; ++k)
        if (std::fabs(values[k]) < 1e-6 * (k < 6 ? scale : 1.0))
            values[k] = 0.0;
    say(options, "camera: eye %.6g %.6g %.6g  at %.6g %.6g %.6g  up %.6g %.6g %.6g  fov %g\n", values[0], values[1],
        values[2], values[3], values[4], values[5], values[6], values[7], values[8], static_cast<double>(options.fov));
}

// Writes the picture to options.out and says so: 0, or 1 with the reason.
int write_picture(const Options& options, const std::vector<unsigned>& picture, Progress& progress)
{
    std::string error;
    progress.begin("writing " + options.out);
    if (!koru::io::WritePng(options.out, options.width, options.height,
                            reinterpret_cast<const unsigned char*>(picture.data()), error)) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s\n", error.c_str());
        return 1;
    }
    say(options, "write time: %.3f s\n", progress.end());
    say(options, "wrote %s\n", options.out.c_str());
    return 0;
}

// " at NxN samples a pixel" when the frame is supersampled.
std::string samples_note(const Options& options)
{
    if (options.samples == 1)
        return "";
    return " at " + std::to_string(options.samples) + "x" + std::to_string(options.samples) + " samples a pixel";
}

// The ray tracers' shading takes no colour from a light. With the one light
// here, a colour scales the diffuse and specular terms of every material,
// which is what a light of that colour would do.
void tint_materials(koru::io::Scene& mesh, const V4& colour)
{
    for (IGraphicsEngine::MATERIAL& m : mesh.materials)
        for (int c = 0; c < 3; ++c) {
            m.diffuse[c] *= colour[c];
            m.specular[c] *= colour[c];
        }
}

// Runs `draw`, which returns the exit status, then releases and deletes the
// engine. An engine error ends the run with status 1 and its message after
// `refusal` (its notice is already on standard error), as does any other
// exception.
template <class Draw>
int run_and_release(Common_Graphics_Engine* engine, Progress& progress, const char* refusal, Draw draw)
{
    int status = 1;
    try {
        status = draw();
    } catch (const TAU_ERROR::Error& e) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s%s\n", refusal, e.message.c_str());
    } catch (const std::exception& e) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s\n", e.what());
    }
    engine->Release();
    delete engine;
    return status;
}

// Builds, renders and writes the picture; returns the exit status.
int render(const Options& options, koru::io::Scene& mesh, Progress& progress)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    // The store's limits and the builder's errors refuse the scene.
    return run_and_release(engine, progress, "scene refused: ", [&] {
        // The build takes in the frame and its eye rays, which a large frame makes slow.
        progress.begin("building");
        koru::reserve_capacity(*engine, mesh.vertices.size(), mesh.indices.size());
        engine->Init(options.width * options.samples, options.height * options.samples);
        engine->SetFieldOfView(options.fov);
        engine->SetThreadCount(options.threads);
        engine->SetWholeScene(options.engine == Engine_Choice::Whole);

        V4 rotation = options.rotation;
        V4 position = options.position;
        double look_distance = options.look_distance > 0.0f ? options.look_distance : 1.0;
        if (!options.has_position) {
            if (!options.has_rotation)
                rotation = framing_rotation;
            position = framing_position(mesh, rotation_matrix(rotation), options.width, options.height, options.fov,
                                        look_distance);
        }
        TAU_GRAPHICS::Point_Light<4, float> light;
        tint_materials(mesh, options.light_color);
        light.power = options.light_power;
        // No fall-off: the mesh is lit the same whatever its size.
        light.kc = 1.0f;
        light.kl = 0.0f;
        light.kq = 0.0f;
        if (options.has_light) {
            light.pos = options.light;
        } else {
            light.pos = default_light_position(mesh, rotation, position);
        }
        engine->AddPointLight(light);
        koru::io::AddScene(*engine, mesh, M4());
        engine->SetCamPosition(position);
        engine->SetCamRotation(rotation);

        engine->BuildKdTree();
        say(options, "build time: %.3f s\n", progress.end());
        progress.begin("rendering");
        engine->BeginDrawScene(options.depth, options.shadows);
        const std::vector<unsigned> picture =
            average_blocks(engine->FrameBuffer(), options.width, options.height, options.samples);
        const int threads = engine->ThreadCount();
        say(options, "render time: %.3f s (%d x %d%s, %s, %d thread%s)\n", progress.end(), options.width,
            options.height, samples_note(options).c_str(), engine->WholeScene() ? "whole scene on the cpu" : "cpu",
            threads, threads == 1 ? "" : "s");
        print_camera(options, engine->GetCamMatrix(), look_distance);

        return write_picture(options, picture, progress);
    });
}

// A window of the display for the OpenGL renderer, its context current.
bool open_window(int width, int height)
{
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        std::fprintf(stderr, "koru_render: --engine opengl needs a display; run it under xvfb-run\n");
        return false;
    }
    int argc = 1;
    char name[] = "koru_render";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(width, height);
    glutCreateWindow("koru_render");
    return true;
}

// The demo's scene at its first frame: the camera where the demo starts it,
// the light where the first frame turns it.
int render_demo(const Options& options, const std::string& program_folder, Progress& progress)
{
    IMAGE textures[3];
    const std::string folder = demo::DataFolder(options.data, program_folder);
    progress.begin("loading the demo's textures");
    try {
        for (int t = 0; t < 3; ++t)
            koru::io::LoadBMP(demo::TexturePath(folder, t), textures[t]);
    } catch (const TAU_ERROR::Error& e) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s\n", e.message.c_str());
        return 1;
    }
    say(options, "load time: %.3f s\n", progress.end());
    const int frame_width = options.width * options.samples;
    const int frame_height = options.height * options.samples;
    const bool gpu = options.engine == Engine_Choice::Gpu;
    const bool opengl = options.engine == Engine_Choice::OpenGL;
    if (gpu && !koru::GpuDeviceAvailable()) {
        std::fprintf(stderr, "koru_render: the GPU engine has no usable CUDA device here; use --engine whole\n");
        return 2;
    }
    if (opengl && !open_window(frame_width, frame_height))
        return 2;
    Common_Graphics_Engine* engine = nullptr;
    if (gpu) {
        engine = new GPU_Ray_Tracer();
    } else if (opengl) {
        engine = new OpenGL_Render();
    } else {
        CPU_Ray_Tracer* cpu = new CPU_Ray_Tracer();
        cpu->SetThreadCount(options.threads);
        cpu->SetWholeScene(options.engine == Engine_Choice::Whole);
        engine = cpu;
    }
    const char* engine_name = gpu                                      ? "gpu"
                              : opengl                                 ? "opengl"
                              : options.engine == Engine_Choice::Whole ? "whole scene on the cpu"
                                                                       : "cpu";
    return run_and_release(engine, progress, "", [&] {
        progress.begin("building");
        engine->Init(frame_width, frame_height);
        engine->SetFieldOfView(options.fov);
        demo::AddDemoScene(*engine, textures);
        TAU_GRAPHICS::Point_Light<4, float> light = engine->GetPointLight(0);
        light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
        engine->SetPointLight(light, 0);
        // The rasterizer builds no kd-tree.
        if (!opengl)
            engine->BuildKdTree();
        say(options, "build time: %.3f s\n", progress.end());
        progress.begin("rendering");
        engine->BeginDrawScene(options.depth, options.shadows);
        std::vector<unsigned> pixels(static_cast<std::size_t>(frame_width) * frame_height);
        if (gpu) {
            // The GPU engine's frame stays on the device until it is presented.
            if (nyxReadPixels(pixels.data()) != 0)
                throw std::runtime_error("the GPU engine's frame could not be read back");
        } else if (opengl) {
            // The rasterizer's frame is in the window's back buffer.
            glFinish();
            glReadBuffer(GL_BACK);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, frame_width, frame_height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
            if (glGetError() != GL_NO_ERROR)
                throw std::runtime_error("the OpenGL renderer's frame could not be read back");
        } else {
            std::copy(engine->FrameBuffer(), engine->FrameBuffer() + pixels.size(), pixels.begin());
        }
        const std::vector<unsigned> picture = average_blocks(pixels.data(), options.width, options.height, options.samples);
        say(options, "render time: %.3f s (%d x %d%s, %s, depth %u, shadows %s)\n", progress.end(), options.width,
            options.height, samples_note(options).c_str(), engine_name, options.depth, options.shadows ? "on" : "off");
        // The rasterizer's camera matrix is its view, the inverse of the camera.
        if (!opengl)
            print_camera(options, engine->GetCamMatrix(), 1.0);
        return write_picture(options, picture, progress);
    });
}

// The folder of the program, from the path it was started by.
std::string program_folder(const char* argv0)
{
    const std::string path = argv0;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const std::string problem = render_tool::parse_options(argc, argv, options);
    if (options.help) {
        std::fputs(render_tool::usage_text, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("koru_render (koru) %s\n", KORU_VERSION);
        return 0;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "koru_render: %s\n\n%s", problem.c_str(), render_tool::usage_text);
        return 2;
    }
    std::error_code unknown;
    if (!options.demo && std::filesystem::equivalent(options.out, options.scene, unknown)) {
        std::fprintf(stderr, "koru_render: --out '%s' is the scene file itself; the picture would overwrite it\n\n%s",
                     options.out.c_str(), render_tool::usage_text);
        return 2;
    }
    Progress progress(!options.quiet);
    if (options.demo)
        return render_demo(options, program_folder(argv[0]), progress);
    if (options.engine == Engine_Choice::Gpu) {
        // The GPU engine hands its frame back only when it presents it in a window.
        if (!koru::GpuDeviceAvailable())
            std::fprintf(stderr, "koru_render: the GPU engine has no usable CUDA device in this build; "
                                 "use --engine cpu\n");
        else
            std::fprintf(stderr, "koru_render: the GPU engine can not yet render without a window; "
                                 "use --engine cpu\n");
        return 2;
    }

    koru::io::Scene mesh;
    progress.begin("loading " + options.scene);
    try {
        mesh = koru::io::ReadScene(options.scene);
    } catch (const koru::io::Load_Error& e) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        progress.end();
        std::fprintf(stderr, "koru_render: %s: %s\n", options.scene.c_str(), e.what());
        return 1;
    }
    say(options, "load time: %.3f s\n", progress.end());
    say(options, "%s: %zu vertices, %zu triangles, %zu materials, %zu textures\n", options.scene.c_str(),
        mesh.vertices.size(), mesh.indices.size() / 3, mesh.materials.size(), mesh.textures.size());
    return render(options, mesh, progress);
}
