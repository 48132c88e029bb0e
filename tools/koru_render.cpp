// koru_render: renders a Wavefront OBJ mesh, or the demo's scene, to a PNG
// file with no display. Without camera options it frames the mesh; the demo
// scene is seen as the demo's first frame shows it. The kd-tree statistics go
// to standard error, the build and render times to standard output.
#include <GL/freeglut.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "engine/tau_error.h"
#include "gpu/rtlib.h"
#include "io/bmp.h"
#include "io/obj.h"
#include "io/png_file.h"
#include "store/capacity.h"

namespace {

using V4 = IGraphicsEngine::VECTOR4;
using M4 = IGraphicsEngine::MATRIX4;

// The ray tracers see 45 degrees across the width, with square pixels.
const double half_field_of_view = 22.5 * 3.14159265358979323846 / 180.0;
// The framing looks down on the mesh from the front right.
const V4 framing_rotation(20.0f, -30.0f, 0.0f, 0.0f);
// Room around the mesh's bounding sphere in a framed view.
const double framing_margin = 1.05;
const int max_side = 8192;
const int max_threads = 1024;

// The CPU engine's own picture, the CPU engine drawing the whole scene (the
// GPU engine's picture), the GPU engine.
enum class Engine_Choice { Default, Cpu, Whole, Gpu, OpenGL };

struct Options {
    std::string obj;
    bool demo = false;
    std::string data; // the demo's texture folder; empty: as the demo finds it
    unsigned depth = 4;
    bool shadows = true;
    std::string out;
    int width = 640;
    int height = 480;
    int threads = 0; // 0: one per hardware thread
    Engine_Choice engine = Engine_Choice::Default;
    bool has_position = false, has_rotation = false, has_light = false;
    V4 position{0.0f, 0.0f, 0.0f, 1.0f};
    V4 rotation{0.0f, 0.0f, 0.0f, 0.0f};
    V4 light{0.0f, 0.0f, 0.0f, 1.0f};
};

const char* const usage_text =
    "usage: koru_render --obj FILE.obj [--out FILE.png] [--size WxH] [--engine cpu|whole|gpu] [--threads N]\n"
    "                   [--cam-pos X Y Z] [--cam-rot RX RY RZ] [--light X Y Z]\n"
    "       koru_render --demo [--depth D] [--shadows on|off] [--data DIR] [--out FILE.png] [--size WxH]\n"
    "                   [--engine whole|cpu|gpu|opengl] [--threads N]\n"
    "\n"
    "Renders the mesh with its MTL materials (a neutral grey without them), or the demo's scene as\n"
    "the demo's first frame shows it, and writes a PNG.\n"
    "  --out FILE.png     the picture (default: the mesh's name with .png, or demo.png, in this folder)\n"
    "  --size WxH         frame size in pixels (default 640x480, at most 8192 a side)\n"
    "  --engine E         cpu     the CPU engine's own picture: triangles, one generation, shadows\n"
    "                             (the default for a mesh)\n"
    "                     whole   the CPU engine drawing the GPU engine's picture: spheres, 1 to 5\n"
    "                             generations of mirror reflections, shadows on request (the default\n"
    "                             for the demo scene)\n"
    "                     gpu     the GPU engine, its frame read back from the device\n"
    "                     opengl  the OpenGL renderer (--demo only), in a window of the display\n"
    "                             (a virtual one: xvfb-run koru_render ...)\n"
    "  --depth D          ray generations of the whole picture, 1 to 5 (default 4)\n"
    "  --shadows on|off   shadow rays in the whole picture (default on)\n"
    "  --data DIR         the demo's textures (default: data/ here or beside the program)\n"
    "  --threads N        threads of the CPU engine (default: one per hardware thread)\n"
    "  --cam-pos X Y Z    camera position; without it the camera frames the mesh\n"
    "  --cam-rot RX RY RZ camera rotation in degrees (default 20 -30 0 when framing, else 0 0 0)\n"
    "  --light X Y Z      point light position (default: above and right of the camera)\n";

bool parse_number(const char* text, float& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text, &end);
    return *text != '\0' && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool parse_size(const std::string& text, int& width, int& height)
{
    const std::size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 == text.size())
        return false;
    const std::string parts[2] = {text.substr(0, x), text.substr(x + 1)};
    int values[2];
    for (int i = 0; i < 2; ++i) {
        if (parts[i].find_first_not_of("0123456789") != std::string::npos || parts[i].size() > 5)
            return false;
        values[i] = std::atoi(parts[i].c_str());
        if (values[i] < 1 || values[i] > max_side)
            return false;
    }
    width = values[0];
    height = values[1];
    return true;
}

// Returns an empty text or what is wrong with the command line.
std::string parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto needs = [&](int count) { return i + count < argc; };
        const auto three_numbers = [&](V4& v, bool& given) {
            if (!needs(3))
                return false;
            for (int k = 0; k < 3; ++k)
                if (!parse_number(argv[i + 1 + k], v[k]))
                    return false;
            i += 3;
            given = true;
            return true;
        };
        if (arg == "--obj" && needs(1)) {
            options.obj = argv[++i];
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--data" && needs(1)) {
            options.data = argv[++i];
        } else if (arg == "--depth" && needs(1)) {
            const std::string text = argv[++i];
            if (text.size() != 1 || text[0] < '1' || text[0] > '5')
                return "--depth needs a whole number from 1 to 5, not '" + text + "'";
            options.depth = static_cast<unsigned>(text[0] - '0');
        } else if (arg == "--shadows" && needs(1)) {
            const std::string text = argv[++i];
            if (text != "on" && text != "off")
                return "--shadows needs on or off, not '" + text + "'";
            options.shadows = text == "on";
        } else if (arg == "--out" && needs(1)) {
            options.out = argv[++i];
        } else if (arg == "--size" && needs(1)) {
            if (!parse_size(argv[++i], options.width, options.height))
                return std::string("--size needs WxH with sides from 1 to ") + std::to_string(max_side) +
                       ", not '" + argv[i] + "'";
        } else if (arg == "--engine" && needs(1)) {
            const std::string engine = argv[++i];
            if (engine != "cpu" && engine != "whole" && engine != "gpu" && engine != "opengl")
                return "unknown engine '" + engine + "' (choose cpu, whole, gpu or opengl)";
            options.engine = engine == "cpu"     ? Engine_Choice::Cpu
                             : engine == "whole" ? Engine_Choice::Whole
                             : engine == "gpu"   ? Engine_Choice::Gpu
                                                 : Engine_Choice::OpenGL;
        } else if (arg == "--threads" && needs(1)) {
            const std::string text = argv[++i];
            if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::atoi(text.c_str()) < 1 || std::atoi(text.c_str()) > max_threads)
                return "--threads needs a whole number from 1 to " + std::to_string(max_threads) + ", not '" +
                       text + "'";
            options.threads = std::atoi(text.c_str());
        } else if (arg == "--cam-pos") {
            if (!three_numbers(options.position, options.has_position))
                return "--cam-pos needs three numbers";
        } else if (arg == "--cam-rot") {
            if (!three_numbers(options.rotation, options.has_rotation))
                return "--cam-rot needs three numbers";
        } else if (arg == "--light") {
            if (!three_numbers(options.light, options.has_light))
                return "--light needs three numbers";
        } else if (arg == "--obj" || arg == "--out" || arg == "--size" || arg == "--engine" || arg == "--threads" ||
                   arg == "--data" || arg == "--depth" || arg == "--shadows") {
            return "option " + arg + " needs a value";
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    if (options.demo) {
        if (!options.obj.empty())
            return "--demo and --obj exclude each other";
        if (options.has_position || options.has_rotation || options.has_light)
            return "--demo takes the demo's camera and light";
        if (options.out.empty())
            options.out = "demo.png";
        if (options.engine == Engine_Choice::Default)
            options.engine = Engine_Choice::Whole;
        return "";
    }
    if (options.engine == Engine_Choice::OpenGL)
        return "--engine opengl draws the demo scene only (--demo)";
    if (options.obj.empty())
        return "--obj FILE.obj or --demo is required";
    if (options.out.empty()) {
        std::string name = options.obj.substr(options.obj.rfind('/') + 1);
        const std::size_t dot = name.rfind('.');
        options.out = (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + ".png";
    }
    return "";
}

// The camera rotation as the engine builds it from angles in degrees.
M4 rotation_matrix(const V4& degrees)
{
    const float to_radians = TAU_MATH::kPi / 180.0f;
    return (TAU_MATH::RotationZ(degrees[2] * to_radians) * TAU_MATH::RotationY(degrees[1] * to_radians)) *
           TAU_MATH::RotationX(degrees[0] * to_radians);
}

// Where the camera stands so that the mesh's bounding sphere fills the
// narrower field of view, looking along the rotated -z through its centre.
V4 framing_position(const koru::io::Mesh& mesh, const M4& rotation, int width, int height)
{
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
    double reach = distance;
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
V4 default_light_position(const koru::io::Mesh& mesh, const V4& rotation, const V4& position)
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

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes the frame to options.out and says so: 0, or 1 with the reason.
int write_frame(const Options& options, const unsigned* frame)
{
    std::string error;
    if (!koru::io::WritePng(options.out, options.width, options.height, reinterpret_cast<const unsigned char*>(frame),
                            error)) {
        std::fprintf(stderr, "koru_render: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %s\n", options.out.c_str());
    return 0;
}

// Builds, renders and writes the picture; returns the exit status.
int render(const Options& options, const koru::io::Mesh& mesh)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    int status = 0;
    try {
        koru::reserve_capacity(*engine, mesh.vertices.size(), mesh.indices.size());
        engine->Init(options.width, options.height);
        engine->SetThreadCount(options.threads);
        engine->SetWholeScene(options.engine == Engine_Choice::Whole);

        V4 rotation = options.rotation;
        V4 position = options.position;
        if (!options.has_position) {
            if (!options.has_rotation)
                rotation = framing_rotation;
            position = framing_position(mesh, rotation_matrix(rotation), options.width, options.height);
        }
        TAU_GRAPHICS::Point_Light<4, float> light;
        light.color = V4(1.0f, 1.0f, 1.0f, 1.0f);
        light.power = 1.0f;
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
        koru::io::AddMesh(*engine, mesh, M4());
        engine->SetCamPosition(position);
        engine->SetCamRotation(rotation);

        auto start = std::chrono::steady_clock::now();
        engine->BuildKdTree();
        std::printf("build time: %.3f s\n", seconds_since(start));
        start = std::chrono::steady_clock::now();
        engine->BeginDrawScene(options.depth, options.shadows);
        const int threads = engine->ThreadCount();
        std::printf("render time: %.3f s (%d x %d, %s, %d thread%s)\n", seconds_since(start), options.width,
                    options.height, engine->WholeScene() ? "whole scene on the cpu" : "cpu", threads,
                    threads == 1 ? "" : "s");

        status = write_frame(options, engine->FrameBuffer());
    } catch (const TAU_ERROR::Error& e) {
        // The store's limits and the builder's errors; the notice is already on standard error.
        std::fprintf(stderr, "koru_render: scene refused: %s\n", e.message.c_str());
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_render: %s\n", e.what());
        status = 1;
    }
    engine->Release();
    delete engine;
    return status;
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
int render_demo(const Options& options, const std::string& program_folder)
{
    IMAGE textures[3];
    const std::string folder = demo::DataFolder(options.data, program_folder);
    try {
        for (int t = 0; t < 3; ++t)
            koru::io::LoadBMP(demo::TexturePath(folder, t), textures[t]);
    } catch (const TAU_ERROR::Error& e) {
        std::fprintf(stderr, "koru_render: %s\n", e.message.c_str());
        return 1;
    }
    const bool gpu = options.engine == Engine_Choice::Gpu;
    const bool opengl = options.engine == Engine_Choice::OpenGL;
    if (gpu && !koru::GpuDeviceAvailable()) {
        std::fprintf(stderr, "koru_render: the GPU engine has no usable CUDA device here; use --engine whole\n");
        return 2;
    }
    if (opengl && !open_window(options.width, options.height))
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
    int status = 0;
    try {
        engine->Init(options.width, options.height);
        demo::AddDemoScene(*engine, textures);
        TAU_GRAPHICS::Point_Light<4, float> light = engine->GetPointLight(0);
        light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
        engine->SetPointLight(light, 0);
        auto start = std::chrono::steady_clock::now();
        // The rasterizer builds no kd-tree.
        if (!opengl) {
            engine->BuildKdTree();
            std::printf("build time: %.3f s\n", seconds_since(start));
        }
        start = std::chrono::steady_clock::now();
        engine->BeginDrawScene(options.depth, options.shadows);
        std::vector<unsigned> pixels(static_cast<std::size_t>(options.width) * options.height);
        if (gpu) {
            // The GPU engine's frame stays on the device until it is presented.
            if (nyxReadPixels(pixels.data()) != 0)
                throw std::runtime_error("the GPU engine's frame could not be read back");
        } else if (opengl) {
            // The rasterizer's frame is in the window's back buffer.
            glFinish();
            glReadBuffer(GL_BACK);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, options.width, options.height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
            if (glGetError() != GL_NO_ERROR)
                throw std::runtime_error("the OpenGL renderer's frame could not be read back");
        } else {
            std::copy(engine->FrameBuffer(), engine->FrameBuffer() + pixels.size(), pixels.begin());
        }
        std::printf("render time: %.3f s (%d x %d, %s, depth %u, shadows %s)\n", seconds_since(start), options.width,
                    options.height, engine_name, options.depth, options.shadows ? "on" : "off");
        status = write_frame(options, pixels.data());
    } catch (const TAU_ERROR::Error& e) {
        std::fprintf(stderr, "koru_render: %s\n", e.message.c_str());
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_render: %s\n", e.what());
        status = 1;
    }
    engine->Release();
    delete engine;
    return status;
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
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    Options options;
    const std::string problem = parse_options(argc, argv, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "koru_render: %s\n\n%s", problem.c_str(), usage_text);
        return 2;
    }
    if (options.demo)
        return render_demo(options, program_folder(argv[0]));
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

    koru::io::Mesh mesh;
    try {
        mesh = koru::io::LoadMesh(options.obj);
    } catch (const koru::io::Load_Error& e) {
        std::fprintf(stderr, "koru_render: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_render: %s: %s\n", options.obj.c_str(), e.what());
        return 1;
    }
    std::printf("%s: %zu vertices, %zu triangles, %zu materials, %zu textures\n", options.obj.c_str(),
                mesh.vertices.size(), mesh.indices.size() / 3, mesh.materials.size(), mesh.textures.size());
    return render(options, mesh);
}
