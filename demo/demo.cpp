#include "demo.h"

#include <GL/freeglut.h>
#include <cxxabi.h>
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <typeinfo>

#include "../io/bmp.h"
#include "../store/capacity.h"
#include "options.h"
#include "scene.h"
#include "screenshot.h"

namespace demo {

std::string ErrorClassName(const std::exception& error)
{
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    return std::string("class ") + (status == 0 && demangled ? demangled.get() : mangled);
}

void ReportError(const TAU_ERROR::Error& error, std::ostream& out)
{
    out << "Error: " << ErrorClassName(error) << std::endl;
    out << error.message << std::endl;
}

void HandleKey(DemoState& state, unsigned char key)
{
    if (key < 27 || key > 122)
        return;
    switch (key) {
    case 27: state.quit = true; break;
    case '1': case '2': case '3': case '4': case '5': state.depth = key - '0'; break;
    case 'a': case 'A': state.cam_move[0] = -0.1f; break;
    case 'd': case 'D': state.cam_move[0] = 0.1f; break;
    case 'r': case 'R': state.cam_move[1] = 0.1f; break;
    case 'f': case 'F': state.cam_move[1] = -0.1f; break;
    case 'w': case 'W': state.cam_move[2] = -0.1f; break;
    case 's': case 'S': state.cam_move[2] = 0.1f; break;
    case 'q': case 'Q': state.cam_rotation[2] -= 10.0f; break;
    case 'e': case 'E': state.cam_rotation[2] += 10.0f; break;
    case 'z': case 'Z': state.shadows = !state.shadows; break;
    default: break;
    }
}

void HandleMouse(DemoState& state, int button, int button_state, int x, int y)
{
    const bool down = button_state == GLUT_DOWN;
    if (button_state != GLUT_DOWN && button_state != GLUT_UP)
        return;
    if (button == GLUT_LEFT_BUTTON)
        state.left_down = down;
    else if (button == GLUT_RIGHT_BUTTON)
        state.right_down = down;
    else
        return;
    if (down) {
        state.last_x = x;
        state.last_y = y;
    }
}

void HandleMotion(DemoState& state, int x, int y)
{
    if (state.left_down) {
        const int dy = y - state.last_y;
        const int dx = x - state.last_x;
        state.last_x = x;
        state.last_y = y;
        state.cam_rotation[0] += static_cast<float>(dy) * 0.1f;
        state.cam_rotation[1] += static_cast<float>(dx) * 0.1f;
    }
    if (state.right_down) {
        state.last_x = x;
        state.last_y = y;
    }
}

namespace {

constexpr int kWindowWidth = 640;
constexpr int kWindowHeight = 480;

DemoState g_state;
Options g_options;
IMAGE g_textures[3];
std::ofstream g_frame_log;
long g_frames_drawn = 0;
std::chrono::steady_clock::time_point g_first_frame;

// Every guarded stretch ends the process the same way.
[[noreturn]] void fail(const TAU_ERROR::Error& error)
{
    ReportError(error, std::cout);
    std::exit(-1);
}

[[noreturn]] void fail_unexpected(const char* text)
{
    std::cout << text << std::endl;
    std::exit(-1);
}

CPU_Ray_Tracer* create_cpu_engine()
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->SetThreadCount(g_options.threads);
    return engine;
}

IGraphicsEngine* create_engine()
{
    switch (g_options.engine) {
    case EngineChoice::Cpu: return create_cpu_engine();
    case EngineChoice::Gpu: return new GPU_Ray_Tracer();
    case EngineChoice::OpenGL: return new OpenGL_Render();
    case EngineChoice::Default: break;
    }
    if (koru::GpuDeviceAvailable())
        return new GPU_Ray_Tracer();
    // The GPU engine's picture all the same: spheres, reflections, shadows.
    std::cout << "No usable CUDA device: the CPU ray tracer draws the whole scene." << std::endl;
    CPU_Ray_Tracer* engine = create_cpu_engine();
    engine->SetWholeScene(true);
    return engine;
}

// The folder of the running program, or an empty text when it is unknown.
std::string program_folder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "";
    const std::string program(path, static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? "" : program.substr(0, slash);
}

void InitScene()
{
    try {
        const std::string folder = DataFolder(g_options.data, program_folder());
        for (int t = 0; t < 3; ++t)
            koru::io::LoadBMP(TexturePath(folder, t), g_textures[t]);
        koru::io::Scene mesh;
        if (!g_options.obj.empty()) {
            try {
                mesh = koru::io::ReadScene(g_options.obj);
            } catch (const koru::io::Load_Error& error) {
                throw TAU_ERROR::File_Error(error.what());
            }
        }
        g_state.engine = create_engine();
        koru::reserve_capacity(*g_state.engine, mesh.vertices.size(), mesh.indices.size());
        g_state.engine->Init(kWindowWidth, kWindowHeight);
        AddDemoScene(*g_state.engine, g_textures, g_options.obj.empty() ? nullptr : &mesh);
        if (dynamic_cast<Ray_Tracer*>(g_state.engine) != nullptr) {
            std::cout << "constructing kd-tree (may take a very long time), please wait...\n" << std::flush;
            g_state.engine->BuildKdTree();
        } else {
            std::cout << "We do not use kd-tree in OpenGL_Render in that version, but it could be changed\n"
                      << std::flush;
        }
    } catch (const TAU_ERROR::Error& error) {
        fail(error);
    } catch (...) {
        fail_unexpected("Unexpected Exeption!");
    }
}

[[noreturn]] void Shutdown()
{
    try {
        if (!g_options.screenshot.empty()) {
            std::string error;
            if (!SaveWindowPng(g_options.screenshot, kWindowWidth, kWindowHeight, error)) {
                std::cerr << "koru_demo: " << error << std::endl;
                std::exit(1);
            }
            std::cout << "Screenshot written to " << g_options.screenshot << std::endl;
        }
        if (g_options.frames > 0 && g_frames_drawn > 0) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - g_first_frame).count();
            std::printf("%ld frames in %.3f s: %.2f frames per second on average\n", g_frames_drawn, seconds,
                        seconds > 0.0 ? static_cast<double>(g_frames_drawn) / seconds : 0.0);
            std::fflush(stdout);
        }
        koru::error_log().flush();
        g_frame_log.close();
        g_state.engine->Release();
        delete g_state.engine;
        g_state.engine = nullptr;
    } catch (const TAU_ERROR::Error& error) {
        fail(error);
    } catch (...) {
        fail_unexpected("Unexpected Exeption at Exit!");
    }
    std::exit(0);
}

void log_frame()
{
    const IGraphicsEngine::MATRIX4& m = g_state.engine->GetCamMatrix();
    g_frame_log << "frame " << g_frames_drawn << " depth " << g_state.depth << " shadows " << g_state.shadows
                << " light_angle " << g_state.light_angle << " rotation " << g_state.cam_rotation[0] << ' '
                << g_state.cam_rotation[1] << ' ' << g_state.cam_rotation[2] << " matrix";
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            g_frame_log << ' ' << m[i][j];
    g_frame_log << '\n' << std::flush;
}

// The frame-rate estimate over the frames since the last time reference.
void update_frame_rate()
{
    g_state.frame_count += 1;
    if (g_state.frame_count > 100) {
        g_state.frame_count = 0;
        g_state.time_ref = glutGet(GLUT_ELAPSED_TIME);
    }
    const int now = glutGet(GLUT_ELAPSED_TIME);
    // With no frame counted yet the estimate would be 0 and the next light
    // step would divide by it, so it stays as it was.
    if (now != g_state.time_ref && g_state.frame_count > 0) {
        g_state.fps = static_cast<float>(g_state.frame_count) * 1000.0f / static_cast<float>(now - g_state.time_ref);
        char title[32];
        std::snprintf(title, sizeof title, "FPS=%d", static_cast<int>(g_state.fps));
        glutSetWindowTitle(title);
    }
}

void Display()
{
    try {
        if (g_state.quit)
            Shutdown();
        if (g_frames_drawn == 0)
            g_first_frame = std::chrono::steady_clock::now();
        IGraphicsEngine& engine = *g_state.engine;
        g_state.light_angle += 0.5f / g_state.fps;
        TAU_GRAPHICS::Point_Light<4, float> light = engine.GetPointLight(0);
        light.pos = LightPosition(g_state.light_angle, light.pos[3]);
        engine.SetPointLight(light, 0);
        engine.MoveCam(g_state.cam_move);
        engine.SetCamRotation(g_state.cam_rotation);
        engine.BeginDrawScene(static_cast<unsigned>(g_state.depth), g_state.shadows);
        if (g_frame_log.is_open())
            log_frame();
        engine.EndDrawScene();
        g_state.cam_move = TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 0.0f, 1.0f);
        update_frame_rate();
        ++g_frames_drawn;
        if (g_options.frames > 0 && g_frames_drawn >= g_options.frames)
            g_state.quit = true;
    } catch (const TAU_ERROR::Error& error) {
        fail(error);
    } catch (...) {
        fail_unexpected("Unexpected Exeption!");
    }
}

void Keyboard(unsigned char key, int, int) { HandleKey(g_state, key); }
void Mouse(int button, int state, int x, int y) { HandleMouse(g_state, button, state, x, y); }
void Motion(int x, int y) { HandleMotion(g_state, x, y); }
void Ignore(int, int) {}
void IgnoreSpecial(int, int, int) {}
void Idle() { glutPostRedisplay(); }

} // namespace

int RunDemo(int argc, char** argv)
{
    std::string error;
    if (!ParseOptions(argc, argv, g_options, error)) {
        std::cerr << "koru_demo: " << error << "\n\n" << Usage(argv[0]);
        return 2;
    }
    if (g_options.help) {
        std::cout << Usage(argv[0]);
        return 0;
    }
    if (g_options.engine == EngineChoice::Gpu && !koru::GpuDeviceAvailable()) {
        std::cerr << "koru_demo: the GPU engine has no usable CUDA device here; try --engine cpu\n";
        return 2;
    }
    if (!g_options.log.empty()) {
        g_frame_log.open(g_options.log, std::ios::out | std::ios::trunc);
        if (!g_frame_log) {
            std::cerr << "koru_demo: can not write " << g_options.log << "\n";
            return 2;
        }
        g_frame_log.precision(9);
    }

    // GLUT gets the program name only: the options are ours.
    int glut_argc = 1;
    char* glut_argv[] = {argv[0], nullptr};
    glutInit(&glut_argc, glut_argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL);
    glutInitWindowSize(kWindowWidth, kWindowHeight);
    glutInitWindowPosition((glutGet(GLUT_SCREEN_WIDTH) - kWindowWidth) / 2,
                           (glutGet(GLUT_SCREEN_HEIGHT) - kWindowHeight) / 2);
    glutCreateWindow("VANTAGE");
    glutDisplayFunc(Display);
    glutKeyboardFunc(Keyboard);
    glutSpecialFunc(IgnoreSpecial);
    glutReshapeFunc(Ignore);
    glutMouseFunc(Mouse);
    glutMotionFunc(Motion);
    glutIdleFunc(Idle);
    InitScene();
    glutMainLoop();
    Shutdown();
}

} // namespace demo
