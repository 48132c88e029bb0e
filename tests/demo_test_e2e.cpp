// koru_demo end to end, under a virtual X display: the whole program as a
// user runs it, its output, its screenshots and real input through the X
// server. Runs with the CPU engine, and once with the OpenGL renderer.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "demo/scene.h"
#include "io/bmp.h"
#include "engine/scene_io.h"
#include "engine/png_file.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// A fresh working directory for one run; `with_data` links the generated textures.
std::string make_workdir(const std::string& name, bool with_data)
{
    const std::string dir = std::string(KORU_TEST_OUTPUT_DIR) + "/demo_" + name;
    EXPECT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    if (with_data) {
        EXPECT_EQ(::symlink((std::string(KORU_BUILD_DIR) + "/data").c_str(), (dir + "/data").c_str()), 0);
    }
    return dir;
}

struct DemoProcess {
    pid_t pid = -1;
    std::string dir;
    std::string out() const { return read_file(dir + "/stdout.txt"); }
    std::string err() const { return read_file(dir + "/stderr.txt"); }
};

DemoProcess start_demo(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& program = KORU_DEMO_EXE)
{
    DemoProcess run;
    run.dir = dir;
    run.pid = fork();
    if (run.pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(120);
        if (!freopen("stdout.txt", "w", stdout) || !freopen("stderr.txt", "w", stderr))
            _exit(121);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(122);
    }
    return run;
}

// Exit status of the run, or -1 when it had to be killed after the timeout.
int wait_demo(DemoProcess& run, int timeout_seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    while (waitpid(run.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_demo(const std::string& dir, const std::vector<std::string>& args, DemoProcess* out = nullptr,
             const std::string& program = KORU_DEMO_EXE)
{
    DemoProcess run = start_demo(dir, args, program);
    const int status = wait_demo(run, 300);
    if (out)
        *out = run;
    return status;
}

// RGB rows of a PNG, top row first.
bool read_png(const std::string& path, int& width, int& height, std::vector<unsigned char>& rgb)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    rgb.resize(PNG_IMAGE_SIZE(image));
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    return png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
}

// The frame the CPU engine renders in this process for the given camera and
// light, with the textures of a folder and, if given, a mesh in place of the cubes.
std::vector<unsigned char> reference_frame(const TAU_MATH::VECTOR<4, float>& position,
                                           const TAU_MATH::VECTOR<4, float>& rotation, float light_angle,
                                           const koru::io::Scene* mesh = nullptr,
                                           const std::string& texture_folder = std::string(KORU_BUILD_DIR) + "/data",
                                           bool whole_scene = false)
{
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t)
        koru::io::LoadBMP(demo::TexturePath(texture_folder, t), textures[t]);
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->Init(kWidth, kHeight);
    demo::AddDemoScene(*engine, textures, mesh);
    testing::internal::CaptureStderr(); // the build statistics
    engine->BuildKdTree();
    testing::internal::GetCapturedStderr();
    auto light = engine->GetPointLight(0);
    light.pos = demo::LightPosition(light_angle, light.pos[3]);
    engine->SetPointLight(light, 0);
    engine->SetCamPosition(position);
    engine->SetCamRotation(rotation);
    engine->SetWholeScene(whole_scene);
    engine->BeginDrawScene(4, false);
    // Bottom-up RGBA words to top-down RGB bytes, as a PNG holds them.
    std::vector<unsigned char> rgb(static_cast<size_t>(kWidth) * kHeight * 3);
    const auto* pixels = reinterpret_cast<const unsigned char*>(engine->FrameBuffer());
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(static_cast<size_t>(kHeight - 1 - y) * kWidth + x) * 3 + c] =
                    pixels[(static_cast<size_t>(y) * kWidth + x) * 4 + c];
    engine->Release();
    delete engine;
    return rgb;
}

void expect_same_image(const std::string& png_path, const std::vector<unsigned char>& expected,
                       const std::string& name)
{
    int w = 0, h = 0;
    std::vector<unsigned char> actual;
    ASSERT_TRUE(read_png(png_path, w, h, actual)) << png_path;
    ASSERT_EQ(w, kWidth);
    ASSERT_EQ(h, kHeight);
    size_t differing = 0;
    for (size_t i = 0; i < actual.size(); i += 3)
        if (actual[i] != expected[i] || actual[i + 1] != expected[i + 1] || actual[i + 2] != expected[i + 2])
            ++differing;
    if (differing != 0) {
        // Leave the expected picture beside the screenshot for a person to compare.
        std::vector<unsigned char> rgba(static_cast<size_t>(kWidth) * kHeight * 4);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 3; ++c)
                    rgba[(static_cast<size_t>(kHeight - 1 - y) * kWidth + x) * 4 + c] =
                        expected[(static_cast<size_t>(y) * kWidth + x) * 3 + c];
        std::string error;
        koru::io::WritePng(std::string(KORU_TEST_OUTPUT_DIR) + "/" + name + "_expected.png", kWidth, kHeight,
                       rgba.data(), error);
    }
    EXPECT_EQ(differing, 0u) << "pixels differ between " << png_path << " and the in-process render";
}

bool is_uniform(const std::string& png_path)
{
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    if (!read_png(png_path, w, h, rgb))
        return true;
    for (size_t i = 3; i < rgb.size(); ++i)
        if (rgb[i] != rgb[i % 3])
            return false;
    return true;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(DemoRun, OneFrameMatchesTheInProcessRender)
{
    const std::string dir = make_workdir("one_frame", true);
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--screenshot", "shot.png"}, &run), 0)
        << run.out() << run.err();

    const std::string out = run.out();
    EXPECT_NE(out.find("constructing kd-tree (may take a very long time), please wait...\n"), std::string::npos);
    EXPECT_NE(out.find("Screenshot written to shot.png"), std::string::npos);
    EXPECT_NE(out.find("frames per second"), std::string::npos);

    // The build statistics: an empty line, then eight labelled lines.
    const std::vector<std::string> err = lines_of(run.err());
    const char* labels[8] = {"Nodes:                     ", "Leafes:                    ",
                             "Empty(leafes):             ", "Not Empty(leafes):         ",
                             "Avg_Prim (not empty l-fs): ", "Cost forced leafes         ",
                             "KdTree.obj_list_data_top:  ", "KdTree.obj_list_data_size: "};
    ASSERT_EQ(err.size(), 9u) << run.err();
    EXPECT_EQ(err[0], "");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(err[1 + i].rfind(labels[i], 0), 0u) << err[1 + i];
    EXPECT_EQ(err[8], "KdTree.obj_list_data_size: 37748736");

    ASSERT_TRUE(file_exists(dir + "/Err.txt"));
    EXPECT_EQ(read_file(dir + "/Err.txt"), "");

    ASSERT_FALSE(is_uniform(dir + "/shot.png"));
    // With one frame the light stands at its first-frame angle.
    expect_same_image(dir + "/shot.png",
                      reference_frame(TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 10.0f, 1.0f),
                                      TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 0.0f, 0.0f), 1.0f + 0.5f / 60.0f),
                      "one_frame");
}

TEST(DemoRun, WithoutADeviceTheDefaultEngineFallsBackToTheCpu)
{
    if (koru::GpuDeviceAvailable())
        GTEST_SKIP() << "a CUDA device is usable here";
    const std::string dir = make_workdir("fallback", true);
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--frames", "1", "--screenshot", "shot.png"}, &run), 0) << run.out() << run.err();
    const std::vector<std::string> out = lines_of(run.out());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], "No usable CUDA device: the CPU ray tracer draws the whole scene.");
    // The GPU engine's picture at the demo's start: depth 4, no shadows.
    expect_same_image(dir + "/shot.png",
                      reference_frame(TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 10.0f, 1.0f),
                                      TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 0.0f, 0.0f), 1.0f + 0.5f / 60.0f,
                                      nullptr, std::string(KORU_BUILD_DIR) + "/data", true),
                      "whole_scene_frame");
}

struct FrameLine {
    int depth = 0;
    int shadows = 0;
    float light_angle = 0;
    float rotation[3] = {};
    float matrix[16] = {};
};

std::vector<FrameLine> read_frame_log(const std::string& path)
{
    std::vector<FrameLine> frames;
    for (const std::string& line : lines_of(read_file(path))) {
        std::istringstream in(line);
        std::string word;
        long number;
        FrameLine f;
        in >> word >> number >> word >> f.depth >> word >> f.shadows >> word >> f.light_angle >> word >>
            f.rotation[0] >> f.rotation[1] >> f.rotation[2] >> word;
        for (float& m : f.matrix)
            in >> m;
        if (in)
            frames.push_back(f);
    }
    return frames;
}

bool xdotool(const std::string& args)
{
    return std::system(("xdotool " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// Waits until the demo has logged `count` frames.
bool wait_for_frames(const std::string& log, size_t count, int timeout_seconds = 120)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (read_frame_log(log).size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST(DemoRun, RealInputMovesTurnsAndSwitches)
{
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xdotool is not installed";
    const std::string dir = make_workdir("input", true);
    const std::string log = dir + "/frames.txt";
    DemoProcess run = start_demo(dir, {"--engine", "cpu", "--log", log, "--screenshot", "last.png"});
    ASSERT_TRUE(wait_for_frames(log, 2)) << "the demo drew no frames";

    std::string window;
    {
        FILE* pipe = popen("xdotool search --sync --name 'FPS=|VANTAGE' 2>/dev/null | head -n 1", "r");
        char buffer[64] = {};
        if (pipe && std::fgets(buffer, sizeof buffer, pipe))
            window = buffer;
        if (pipe)
            pclose(pipe);
    }
    while (!window.empty() && (window.back() == '\n' || window.back() == ' '))
        window.pop_back();
    ASSERT_FALSE(window.empty()) << "no demo window found";
    ASSERT_TRUE(xdotool("windowfocus --sync " + window));

    // Input reaches the demo between frames; wait until a frame shows it.
    auto wait_for = [&](const std::function<bool(const FrameLine&)>& shows_input) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::vector<FrameLine> frames = read_frame_log(log);
            if (!frames.empty() && shows_input(frames.back()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };

    // "w" moves forward once, along the unturned camera's -z.
    ASSERT_TRUE(xdotool("key w"));
    ASSERT_TRUE(wait_for([](const FrameLine& f) { return f.matrix[11] != 10.0f; }));
    FrameLine f = read_frame_log(log).back();
    EXPECT_FLOAT_EQ(f.matrix[11], 9.9f);
    EXPECT_EQ(f.matrix[3], 0.0f);
    EXPECT_EQ(f.shadows, 0);
    EXPECT_EQ(f.depth, 4);

    // "z" and "2" change what the frame is drawn with.
    ASSERT_TRUE(xdotool("key z 2"));
    ASSERT_TRUE(wait_for([](const FrameLine& f) { return f.shadows == 1 && f.depth == 2; }));

    // A left drag of 50 pixels down turns the camera 5 degrees about x.
    ASSERT_TRUE(xdotool("mousemove --window " + window + " 300 200"));
    ASSERT_TRUE(xdotool("mousedown 1"));
    ASSERT_TRUE(xdotool("mousemove --window " + window + " 300 250"));
    ASSERT_TRUE(xdotool("mouseup 1"));
    ASSERT_TRUE(wait_for([](const FrameLine& f) { return std::fabs(f.rotation[0] - 5.0f) < 1e-4f; }));
    f = read_frame_log(log).back();
    EXPECT_NEAR(f.rotation[0], 5.0f, 1e-4f);
    EXPECT_EQ(f.rotation[1], 0.0f);
    EXPECT_FLOAT_EQ(f.matrix[11], 9.9f) << "the camera moved only once";

    ASSERT_TRUE(xdotool("key Escape"));
    ASSERT_EQ(wait_demo(run, 120), 0) << run.out() << run.err();
    EXPECT_EQ(read_file(dir + "/Err.txt"), "");

    // The last presented frame is the last one logged; render it here.
    f = read_frame_log(log).back();
    const TAU_MATH::VECTOR<4, float> position(f.matrix[3], f.matrix[7], f.matrix[11], f.matrix[15]);
    const TAU_MATH::VECTOR<4, float> rotation(f.rotation[0], f.rotation[1], f.rotation[2], 0.0f);
    expect_same_image(dir + "/last.png", reference_frame(position, rotation, f.light_angle), "input");
}

TEST(DemoRun, AMissingTextureEndsWithTheFileError)
{
    // A copy of the program, so that its own folder has no data/ either.
    const std::string dir = make_workdir("missing_texture", false);
    ASSERT_EQ(std::system(("cp '" + std::string(KORU_DEMO_EXE) + "' '" + dir + "/koru_demo'").c_str()), 0);
    DemoProcess run;
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1"}, &run, dir + "/koru_demo"), 255);
    EXPECT_EQ(run.out(), "Error: class TAU_ERROR::File_Error\nCan not open data/parquet.bmp\n");
    EXPECT_NE(run.err().find("File_Error: Can not open data/parquet.bmp"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/Err.txt"), "");
}

TEST(DemoRun, ADamagedTextureEndsWithTheImageFileError)
{
    const std::string dir = make_workdir("damaged_texture", false);
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "/data' && cp '" + KORU_BUILD_DIR + "/data/'*.bmp '" + dir +
                           "/data/' && printf 'XY' | dd of='" + dir +
                           "/data/texture1.bmp' bs=1 seek=0 conv=notrunc 2>/dev/null")
                              .c_str()),
              0);
    DemoProcess run;
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1"}, &run), 255);
    EXPECT_EQ(run.out(), "Error: class TAU_ERROR::Image_File_Error\n"
                         "Can not ReadFileHeader, perhaps the file data/texture1.bmp was damaged\n");
}

// The first-frame camera and light of a one-frame run.
const TAU_MATH::VECTOR<4, float> kStartPosition(0.0f, 0.0f, 10.0f, 1.0f);
const TAU_MATH::VECTOR<4, float> kStartRotation(0.0f, 0.0f, 0.0f, 0.0f);
const float kFirstLightAngle = 1.0f + 0.5f / 60.0f;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A green box, twice as tall as wide, faces wound outwards.
const char* const kBoxObj = "mtllib box.mtl\nusemtl green\n"
                            "v -1 0 -1\nv 1 0 -1\nv -1 4 -1\nv 1 4 -1\nv -1 0 1\nv 1 0 1\nv -1 4 1\nv 1 4 1\n"
                            "vt 0 0\nvt 1 1\n"
                            "f 5/1 6/2 8/2 7/1\nf 1/1 3/2 4/2 2/1\nf 1/1 2/2 6/2 5/1\nf 3/1 7/2 8/2 4/1\n"
                            "f 1/1 5/2 7/2 3/1\nf 2/1 4/2 8/2 6/1\n";

// Pixels of a picture that are clearly green, inside and outside the lower
// middle, where the cubes stand.
void count_green(const std::string& png, int& inside, int& outside)
{
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    inside = outside = 0;
    ASSERT_TRUE(read_png(png, w, h, rgb)) << png;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const unsigned char* c = &rgb[3 * (static_cast<size_t>(y) * w + x)];
            if (c[1] > 2 * c[0] && c[1] > 2 * c[2])
                ++(x > w / 4 && x < 3 * w / 4 && y > h / 3 ? inside : outside);
        }
}

TEST(DemoRun, YourMeshStandsWhereTheCubesWereInEveryEngine)
{
    const std::string dir = make_workdir("mesh", true);
    write_text(dir + "/box.obj", kBoxObj);
    write_text(dir + "/box.mtl", "newmtl green\nKd 0.1 0.9 0.1\nmap_Kd green.png\n");
    std::vector<unsigned char> green(4 * 4 * 4, 0);
    for (size_t i = 1; i < green.size(); i += 4)
        green[i] = 255;
    std::string error;
    ASSERT_TRUE(koru::io::WritePng(dir + "/green.png", 4, 4, green.data(), error)) << error;

    for (const char* engine : {"cpu", "opengl"}) {
        const std::string shot = std::string(engine) + ".png";
        DemoProcess run;
        ASSERT_EQ(run_demo(dir, {"--engine", engine, "--frames", "3", "--obj", "box.obj", "--screenshot", shot}, &run),
                  0)
            << engine << ": " << run.out() << run.err();
        // The box is green and stands in the lower middle of the picture.
        int inside = 0, outside = 0;
        count_green(dir + "/" + shot, inside, outside);
        EXPECT_GT(inside, kWidth * kHeight / 20) << engine;
        EXPECT_EQ(outside, 0) << engine;
    }

    // The CPU engine's frame is the one this process renders with the same mesh.
    const koru::io::Scene mesh = koru::io::ReadScene(dir + "/box.obj");
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--obj", "box.obj", "--screenshot", "one.png"}, &run),
              0);
    expect_same_image(dir + "/one.png", reference_frame(kStartPosition, kStartRotation, kFirstLightAngle, &mesh),
                      "mesh");
}

TEST(DemoRun, BadOrOversizedMeshesEndWithTheirErrors)
{
    const std::string dir = make_workdir("bad_mesh", true);
    write_text(dir + "/bad.obj", "v 0 0 0\nv 1 0\n");
    DemoProcess run;
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--obj", "bad.obj"}, &run), 255);
    EXPECT_EQ(run.out(), "Error: class TAU_ERROR::File_Error\nbad.obj:2: a vertex needs three numbers (x y z)\n");

    // 21846 separate triangles: 65538 vertices, more than the store holds by
    // default; the demo asks for the room the mesh needs. 65536 copies of one
    // triangle make one leaf, more than a kd-tree leaf record counts.
    std::string many;
    for (int t = 0; t < 21846; ++t)
        many += "v " + std::to_string(t) + " 0 0\nv " + std::to_string(t) + " 1 0\nv " + std::to_string(t) +
                " 0 1\nf -3 -2 -1\n";
    write_text(dir + "/many.obj", many);
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--obj", "many.obj"}, &run), 0) << run.out();
    std::string copies = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    for (int t = 0; t < 65536; ++t)
        copies += "f 1 2 3\n";
    write_text(dir + "/copies.obj", copies);
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--obj", "copies.obj"}, &run), 255);
    EXPECT_EQ(run.out(), "constructing kd-tree (may take a very long time), please wait...\n"
                         "Error: class TAU_ERROR::Out_Of_Range\n"
                         "KdTree::subdivide: more than 65535 triangles or spheres in one leaf\n");
}

TEST(DemoRun, DataFolderGivesTheTextures)
{
    // The parquet swapped for another texture, in a folder of its own.
    const std::string dir = make_workdir("data_option", false);
    const std::string data = std::string(KORU_BUILD_DIR) + "/data/";
    ASSERT_EQ(std::system(("mkdir '" + dir + "/mine' && cp '" + data + "texture4.bmp' '" + dir +
                           "/mine/parquet.bmp' && cp '" + data + "texture1.bmp' '" + data + "texture4.bmp' '" +
                           dir + "/mine/'")
                              .c_str()),
              0);
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--data", "mine/", "--screenshot", "shot.png"},
                       &run),
              0)
        << run.out() << run.err();
    const auto swapped = reference_frame(kStartPosition, kStartRotation, kFirstLightAngle, nullptr, dir + "/mine");
    ASSERT_NE(swapped, reference_frame(kStartPosition, kStartRotation, kFirstLightAngle));
    expect_same_image(dir + "/shot.png", swapped, "data_option");

    // Messages name the files as opened.
    EXPECT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--data", "absent"}, &run), 255);
    EXPECT_EQ(run.out(), "Error: class TAU_ERROR::File_Error\nCan not open absent/parquet.bmp\n");
}

TEST(DemoRun, WithoutDataHereTheProgramsFolderHasIt)
{
    const std::string dir = make_workdir("program_folder", false);
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--engine", "cpu", "--frames", "1", "--screenshot", "shot.png"}, &run), 0)
        << run.out() << run.err();
    expect_same_image(dir + "/shot.png", reference_frame(kStartPosition, kStartRotation, kFirstLightAngle),
                      "program_folder");
}

TEST(DemoRun, BadOptionsPrintTheUsageAndExitWithTwo)
{
    const std::string dir = make_workdir("bad_options", true);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--frames", "zero"}, {"--engine", "vulkan"}, {"--fast"}}) {
        DemoProcess run;
        EXPECT_EQ(run_demo(dir, args, &run), 2) << args[0];
        EXPECT_NE(run.err().find("usage: "), std::string::npos);
        EXPECT_EQ(run.out(), "");
    }
    DemoProcess run;
    EXPECT_EQ(run_demo(dir, {"--help"}, &run), 0);
    EXPECT_NE(run.out().find("--screenshot"), std::string::npos);
}

TEST(DemoRun, TheOpenGLEngineDrawsTheSceneWithoutAKdTree)
{
    const std::string dir = make_workdir("opengl", true);
    DemoProcess run;
    ASSERT_EQ(run_demo(dir, {"--engine", "opengl", "--frames", "3", "--screenshot", "shot.png"}, &run), 0)
        << run.out() << run.err();
    const std::string out = run.out();
    EXPECT_NE(out.find("We do not use kd-tree in OpenGL_Render in that version, but it could be changed\n"),
              std::string::npos);
    EXPECT_EQ(out.find("constructing kd-tree"), std::string::npos);
    EXPECT_NE(out.find("Screenshot written to shot.png"), std::string::npos);
    EXPECT_EQ(run.err(), "") << "no build statistics without a kd-tree";

    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(read_png(dir + "/shot.png", w, h, rgb));
    ASSERT_EQ(w, kWidth);
    ASSERT_EQ(h, kHeight);
    EXPECT_FALSE(is_uniform(dir + "/shot.png"));
    // The top row is sky: the clear colour (0, 0, 0.25).
    const unsigned char* sky = &rgb[static_cast<size_t>(kWidth / 2) * 3];
    EXPECT_EQ(sky[0], 0);
    EXPECT_EQ(sky[1], 0);
    EXPECT_NEAR(sky[2], 64, 1);
}

TEST(DemoRun, EnginesNotInThisBuildAreRefusedClearly)
{
    const std::string dir = make_workdir("engines", true);
    DemoProcess run;
    if (!koru::GpuDeviceAvailable()) {
        EXPECT_EQ(run_demo(dir, {"--engine", "gpu"}, &run), 2);
        EXPECT_NE(run.err().find("no usable CUDA device"), std::string::npos);
    }
}

} // namespace
