// koru_render run as a user runs it: the picture it writes, what it prints,
// and how it refuses bad meshes and options. No display is involved.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "io/bmp.h"
#include "tools/render_options.h"

namespace {

// A fresh folder per test: CTest runs the tests side by side.
std::string work_dir()
{
    const std::string dir = std::string(KORU_TEST_OUTPUT_DIR) + "/render_tool/" +
                            testing::UnitTest::GetInstance()->current_test_info()->name();
    static std::string made;
    if (made != dir) {
        EXPECT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
        made = dir;
    }
    return dir;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& name, const std::string& text)
{
    std::ofstream(work_dir() + "/" + name, std::ios::binary) << text;
}

struct Result {
    int status = -1;
    std::string out, err;
};

// koru_render with the arguments, in the work folder.
Result render(const std::string& args)
{
    const std::string command = "cd '" + work_dir() + "' && '" + KORU_RENDER_EXE + "' " + args +
                                " >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    Result run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(work_dir() + "/stdout.txt");
    run.err = read_file(work_dir() + "/stderr.txt");
    return run;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb; // top row first
    const unsigned char* at(int x, int y) const { return &rgb[3 * (static_cast<size_t>(y) * width + x)]; }
    bool lit(int x, int y) const { return at(x, y)[0] + at(x, y)[1] + at(x, y)[2] > 0; }
};

Picture read_png(const std::string& name)
{
    Picture p;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, (work_dir() + "/" + name).c_str()))
        return p;
    image.format = PNG_FORMAT_RGB;
    p.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) {
        p.width = static_cast<int>(image.width);
        p.height = static_cast<int>(image.height);
    }
    return p;
}

// A cube of edge `size` around (cx, cy, cz), faces wound outwards. With
// `materials`, the +z face uses "front" and the others "sides".
std::string cube_obj(float size, float cx, float cy, float cz, bool materials)
{
    std::ostringstream obj;
    if (materials)
        obj << "mtllib cube.mtl\n";
    for (int k = 0; k < 8; ++k)
        obj << "v " << cx + size * ((k & 1) ? 0.5f : -0.5f) << ' ' << cy + size * ((k & 2) ? 0.5f : -0.5f) << ' '
            << cz + size * ((k & 4) ? 0.5f : -0.5f) << '\n';
    obj << "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n";
    if (materials)
        obj << "usemtl front\n";
    obj << "f 5/1 6/2 8/3 7/4\n";
    if (materials)
        obj << "usemtl sides\n";
    obj << "f 1/1 3/2 4/3 2/4\nf 1/1 2/2 6/3 5/4\nf 3/1 7/2 8/3 4/4\nf 1/1 5/2 7/3 3/4\nf 2/1 4/2 8/3 6/4\n";
    return obj.str();
}

TEST(KoruRender, FramesAMeshWithoutMaterialsInGrey)
{
    // Far from the origin and large: the framing has to find it.
    write_file("grey.obj", cube_obj(40.0f, 300.0f, -80.0f, 50.0f, false));
    const Result run = render("--obj grey.obj --size 160x120");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("grey.obj: 24 vertices, 12 triangles, 1 materials, 0 textures\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("build time: "), std::string::npos);
    EXPECT_NE(run.out.find("render time: "), std::string::npos);
    EXPECT_NE(run.out.find("wrote grey.png\n"), std::string::npos) << "the default name follows the mesh";
    EXPECT_NE(run.err.find("Nodes:"), std::string::npos) << "the kd-tree statistics";

    const Picture p = read_png("grey.png");
    ASSERT_EQ(p.width, 160);
    ASSERT_EQ(p.height, 120);
    int x0 = p.width, x1 = -1, y0 = p.height, y1 = -1, lit = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            if (!p.lit(x, y))
                continue;
            ++lit;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            EXPECT_TRUE(p.at(x, y)[0] == p.at(x, y)[1] && p.at(x, y)[1] == p.at(x, y)[2]) << "grey at " << x << ", " << y;
        }
    ASSERT_GT(lit, 0) << "the picture is black";
    // The whole cube is in the picture, about its middle, and fills a good part of it.
    EXPECT_GT(x0, 0);
    EXPECT_GT(y0, 0);
    EXPECT_LT(x1, p.width - 1);
    EXPECT_LT(y1, p.height - 1);
    EXPECT_NEAR((x0 + x1) / 2.0, p.width / 2.0, p.width * 0.1);
    EXPECT_NEAR((y0 + y1) / 2.0, p.height / 2.0, p.height * 0.1);
    EXPECT_GT(y1 - y0, p.height / 3);
    // Three faces are seen, each lit differently.
    std::vector<int> shades;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (p.lit(x, y) && std::find(shades.begin(), shades.end(), p.at(x, y)[0]) == shades.end())
                shades.push_back(p.at(x, y)[0]);
    EXPECT_GE(shades.size(), 3u);
}

TEST(KoruRender, MaterialsAndTexturesComeFromTheMtl)
{
    // A 2 x 2 PNG texture: red on the left, blue on the right.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 2;
    image.height = 2;
    image.format = PNG_FORMAT_RGB;
    const unsigned char texels[12] = {255, 0, 0, 0, 0, 255, 255, 0, 0, 0, 0, 255};
    ASSERT_TRUE(png_image_write_to_file(&image, (work_dir() + "/halves.png").c_str(), 0, texels, 0, nullptr));
    write_file("cube.mtl", "newmtl front\nKd 0 1 0\nnewmtl sides\nKd 1 1 1\nmap_Kd halves.png\n");
    write_file("cube.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, true));
    const Result run = render("--obj cube.obj --size 160x120 --out colours.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("cube.obj: 24 vertices, 12 triangles, 2 materials, 1 textures\n"), std::string::npos)
        << run.out;

    const Picture p = read_png("colours.png");
    ASSERT_EQ(p.width, 160);
    int green = 0, red = 0, blue = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const unsigned char* c = p.at(x, y);
            green += c[1] > 2 * c[0] && c[1] > 2 * c[2];
            red += c[0] > 2 * c[1] && c[0] > 2 * c[2];
            blue += c[2] > 2 * c[0] && c[2] > 2 * c[1];
        }
    EXPECT_GT(green, 200) << "the Kd colour of the front";
    EXPECT_GT(red, 200) << "the texture's left half";
    EXPECT_GT(blue, 200) << "the texture's right half";
}

double mean_lit_brightness(const Picture& p)
{
    double sum = 0.0;
    int lit = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (p.lit(x, y)) {
                sum += p.at(x, y)[0];
                ++lit;
            }
    return lit ? sum / lit : 0.0;
}

TEST(KoruRender, CameraAndLightOptionsAreUsed)
{
    write_file("plain.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    // Behind the cube looking away from it: nothing to see.
    ASSERT_EQ(render("--obj plain.obj --size 80x60 --out away.png --cam-pos 0 0 -20").status, 0);
    EXPECT_EQ(mean_lit_brightness(read_png("away.png")), 0.0);
    // Turned around, the cube is there.
    ASSERT_EQ(render("--obj plain.obj --size 80x60 --out back.png --cam-pos 0 0 -20 --cam-rot 0 180 0").status, 0);
    EXPECT_GT(mean_lit_brightness(read_png("back.png")), 0.0);

    // A light below the cube leaves the three faces in view unlit.
    ASSERT_EQ(render("--obj plain.obj --size 80x60 --out lit.png").status, 0);
    ASSERT_EQ(render("--obj plain.obj --size 80x60 --out below.png --light 0 -50 0").status, 0);
    const double lit = mean_lit_brightness(read_png("lit.png"));
    const double below = mean_lit_brightness(read_png("below.png"));
    EXPECT_GT(below, 0.0) << "the ambient term";
    EXPECT_LT(below, 0.5 * lit);
}

TEST(KoruRender, AnyNumberOfThreadsDrawsTheSamePicture)
{
    write_file("threads.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    const Result one = render("--obj threads.obj --size 96x72 --threads 1 --out one.png");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("(96 x 72, cpu, 1 thread)"), std::string::npos) << one.out;
    const Result three = render("--obj threads.obj --size 96x72 --threads 3 --out three.png");
    ASSERT_EQ(three.status, 0) << three.err;
    EXPECT_NE(three.out.find("(96 x 72, cpu, 3 threads)"), std::string::npos) << three.out;
    const Picture a = read_png("one.png"), b = read_png("three.png");
    ASSERT_EQ(a.width, 96);
    EXPECT_TRUE(a.rgb == b.rgb);
    EXPECT_GT(mean_lit_brightness(a), 0.0);
}

TEST(KoruRender, BadMeshesAreRefusedWithTheirMessage)
{
    const Result missing = render("--obj nowhere.obj");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("koru_render: can not open 'nowhere.obj'"), std::string::npos) << missing.err;

    write_file("bad.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 x\n");
    const Result bad = render("--obj bad.obj");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "koru_render: bad.obj:4: bad vertex index 'x' in a face\n");

    // Past the store's default capacities (65538 vertices; 196608 indices)
    // the tool asks for the room the mesh needs. What the kd-tree cannot hold
    // is still refused: 65536 copies of one triangle make one leaf, more than
    // a leaf record counts.
    std::string many_vertices, many_indices = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    for (int t = 0; t < 21846; ++t) {
        const std::string x = std::to_string(2 * t);
        many_vertices += "v " + x + " 0 0\nv " + x + " 1 0\nv " + x + " 0 1\nf -3 -2 -1\n";
    }
    for (int t = 0; t < 65536; ++t)
        many_indices += "f 1 2 3\n";
    write_file("vertices.obj", many_vertices);
    write_file("indices.obj", many_indices);
    const Result large = render("--obj vertices.obj --size 8x8");
    EXPECT_EQ(large.status, 0) << large.err;
    EXPECT_EQ(read_png("vertices.png").width, 8);
    const Result over = render("--obj indices.obj --size 8x8");
    EXPECT_EQ(over.status, 1);
    const std::string message = "KdTree::subdivide: more than 65535 triangles or spheres in one leaf";
    EXPECT_NE(over.err.find("Out_Of_Range: " + message + "\n"), std::string::npos) << over.err;
    EXPECT_NE(over.err.find("koru_render: scene refused: " + message + "\n"), std::string::npos) << over.err;
    EXPECT_EQ(read_png("indices.png").width, 0) << "no picture for a refused mesh";
}

// The demo scene's first frame as koru_render draws it in-process: the CPU
// engine, whole-scene or not, top row first.
std::vector<unsigned char> demo_frame(int w, int h, bool whole_scene, unsigned depth, bool shadows)
{
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t)
        koru::io::LoadBMP(demo::TexturePath(std::string(KORU_TEST_OUTPUT_DIR) + "/../data", t), textures[t]);
    CPU_Ray_Tracer engine;
    engine.Init(w, h);
    demo::AddDemoScene(engine, textures);
    TAU_GRAPHICS::Point_Light<4, float> light = engine.GetPointLight(0);
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    engine.SetPointLight(light, 0);
    testing::internal::CaptureStderr(); // the build statistics
    engine.BuildKdTree();
    testing::internal::GetCapturedStderr();
    engine.SetWholeScene(whole_scene);
    engine.BeginDrawScene(depth, shadows);
    std::vector<unsigned char> rgb;
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb.push_back(reinterpret_cast<const unsigned char*>(engine.FrameBuffer())[4 * (y * w + x) + c]);
    engine.Release();
    return rgb;
}

TEST(KoruRender, DemoSceneWithTheWholeSceneByDefault)
{
    const std::string data = " --data '" + std::string(KORU_TEST_OUTPUT_DIR) + "/../data'";
    Result run = render("--demo --depth 3 --shadows on --size 96x72 --out whole.png" + data);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("whole scene on the cpu, depth 3, shadows on"), std::string::npos) << run.out;
    EXPECT_EQ(read_png("whole.png").rgb, demo_frame(96, 72, true, 3, true));

    run = render("--demo --engine cpu --size 96x72 --out own.png" + data);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_png("own.png").rgb, demo_frame(96, 72, false, 1, true));

    for (const char* args : {"--demo --depth 6", "--demo --depth 0", "--demo --shadows maybe",
                             "--demo --obj small.obj", "--demo --cam-pos 1 2 3"})
        EXPECT_EQ(render(args).status, 2) << args;
}

TEST(KoruRender, BadOptionsPrintTheUsage)
{
    write_file("small.obj", cube_obj(1.0f, 0.0f, 0.0f, 0.0f, false));
    for (const char* args : {"", "--obj", "--obj small.obj --size 0x5", "--obj small.obj --size 10",
                             "--obj small.obj --size 9000x10", "--obj small.obj --engine vulkan",
                             "--obj small.obj --cam-pos 1 2", "--obj small.obj --light 1 2 z",
                             "--obj small.obj --threads 0", "--obj small.obj --threads -2",
                             "--obj small.obj --threads two", "small.obj small.obj"}) {
        const Result run = render(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("usage: koru_render SCENE"), std::string::npos) << args;
        EXPECT_EQ(run.out, "") << args;
    }
    const Result help = render("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--cam-rot"), std::string::npos);

    if (koru::GpuDeviceAvailable())
        GTEST_SKIP() << "a CUDA device is usable here";
    const Result gpu = render("--obj small.obj --engine gpu");
    EXPECT_EQ(gpu.status, 2);
    EXPECT_NE(gpu.err.find("koru_render: the GPU engine has no usable CUDA device"), std::string::npos) << gpu.err;
}

int lit_pixels(const Picture& p)
{
    int lit = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            lit += p.lit(x, y);
    return lit;
}

TEST(KoruRender, SceneIsPositionalOrGivenWithObj)
{
    write_file("alias.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    const Result positional = render("alias.obj --size 80x60 --out positional.png");
    ASSERT_EQ(positional.status, 0) << positional.err;
    for (const char* line : {"load time: ", "build time: ", "render time: ", "write time: ", "camera: eye "})
        EXPECT_NE(positional.out.find(line), std::string::npos) << line;
    ASSERT_EQ(render("--obj alias.obj --size 80x60 --out obj.png").status, 0);
    EXPECT_GT(lit_pixels(read_png("positional.png")), 0);
    EXPECT_EQ(read_png("positional.png").rgb, read_png("obj.png").rgb);
    // --look-at is --camera.
    const std::string camera = " 3 2 5 0 0 0 0 1 0 --size 80x60";
    ASSERT_EQ(render("alias.obj --out camera.png --camera" + camera).status, 0);
    ASSERT_EQ(render("alias.obj --out look_at.png --look-at" + camera).status, 0);
    EXPECT_GT(lit_pixels(read_png("camera.png")), 0);
    EXPECT_EQ(read_png("camera.png").rgb, read_png("look_at.png").rgb);

    const Result quiet = render("alias.obj --size 80x60 --out quiet.png --quiet");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(read_png("quiet.png").rgb, read_png("positional.png").rgb);
    const Result version = render("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("koru_render (koru) ", 0), 0u) << version.out;
}

TEST(KoruRender, RefusesToWriteOverTheSceneOrInAnotherFormat)
{
    const std::string cube = cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false);
    write_file("scene.obj", cube);
    std::filesystem::create_hard_link(work_dir() + "/scene.obj", work_dir() + "/link.png");
    const Result same = render("scene.obj --out link.png");
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("--out 'link.png' is the scene file itself"), std::string::npos) << same.err;
    EXPECT_EQ(read_file(work_dir() + "/scene.obj"), cube);

    for (const char* name : {"t.exr", "t.jpg", "t", "t.png.bak"}) {
        const Result other = render(std::string("scene.obj --out ") + name);
        EXPECT_EQ(other.status, 2) << name;
        EXPECT_NE(other.err.find("--out '" + std::string(name) + "': koru_render writes PNG files only"),
                  std::string::npos)
            << other.err;
        EXPECT_FALSE(std::filesystem::exists(work_dir() + "/" + name)) << name;
    }
    ASSERT_EQ(render("scene.obj --size 16x12 --out upper.PNG").status, 0);
    EXPECT_EQ(read_png("upper.PNG").width, 16);
}

TEST(KoruRender, BadOptionsSayWhatWasWrong)
{
    write_file("small.obj", cube_obj(1.0f, 0.0f, 0.0f, 0.0f, false));
    const std::pair<const char*, const char*> cases[] = {
        {"--spp 0", "--spp needs a whole number from 1 to 16, not '0'"},
        {"--size 1000x1000 --spp 9", "--spp 9 at 1000x1000 would draw a frame of 9000x9000"},
        {"--fov 180", "--fov needs degrees more than 0 and less than 180, not '180'"},
        {"--fov nan", "--fov needs degrees more than 0 and less than 180, not 'nan'"},
        {"--camera 1 2 3 1 2 3 0 1 0", "--camera '1 2 3 1 2 3 0 1 0': EYE and AT are the same point"},
        {"--look-at 0 0 5 0 0 0 0 0 2", "UP must not be zero or point along the view"},
        {"--camera 0 0 5 0 0 0 0 1", "--camera needs 9 numbers (EYE AT UP, x y z each), not '0 0 5 0 0 0 0 1'"},
        {"--camera 0 0 5 0 0 0 0 one 0", "--camera: 'one' is not a finite number (value 8 of 9"},
        {"--light 1 2 3 1 1", "3, 4, 6 or 7 numbers, not 5 ('1 2 3 1 1')"},
        {"--light 1 2 3 1 1 -1", "--light: R G B must not be negative, not '-1'"},
        {"--light 1 2 3 -2", "--light: POWER must not be negative, not '-2'"},
        {"--cam-pos 1 2 3 --camera 0 0 5 0 0 0 0 1 0", "--camera and --cam-pos or --cam-rot exclude each other"},
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"other.obj", "one scene at a time: 'small.obj' and 'other.obj'"},
    };
    for (const auto& c : cases) {
        const Result run = render(std::string("small.obj ") + c.first);
        EXPECT_EQ(run.status, 2) << c.first;
        // What was wrong comes first, then the usage.
        EXPECT_EQ(run.err.rfind("koru_render: ", 0), 0u) << c.first;
        EXPECT_LT(run.err.find(c.second), run.err.find("\n\nusage: koru_render SCENE")) << c.first << "\n" << run.err;
        EXPECT_NE(run.err.find("usage: koru_render SCENE"), std::string::npos) << c.first;
    }
}

// A red light leaves the red channel as a white one gives it and keeps only
// the ambient term in green and blue; half the power halves every channel.
TEST(KoruRender, LightColourTintsAndPowerScales)
{
    write_file("light.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    const std::string common = "light.obj --size 80x60 --light 3 4 5";
    ASSERT_EQ(render(common + " --out white.png").status, 0);
    ASSERT_EQ(render(common + " 1 0 0 --out red.png").status, 0);
    ASSERT_EQ(render(common + " 1 1 1 0.5 --out half.png").status, 0);
    ASSERT_EQ(render(common + " 0 0 0 --out dark.png").status, 0);
    const Picture white = read_png("white.png"), red = read_png("red.png"), half = read_png("half.png"),
                  dark = read_png("dark.png");
    ASSERT_EQ(white.width, 80);
    int dimmer = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            EXPECT_EQ(red.at(x, y)[0], white.at(x, y)[0]);
            for (int c = 1; c < 3; ++c)
                EXPECT_EQ(red.at(x, y)[c], dark.at(x, y)[c]);
            dimmer += dark.at(x, y)[1] < white.at(x, y)[1];
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(half.at(x, y)[c], white.at(x, y)[c] / 2.0, 1.0);
        }
    EXPECT_GT(dimmer, 100) << "the light adds to the ambient term";
}

// The picture's lit area scales as 1 / tan^2 of half the field of view.
TEST(KoruRender, NarrowerFieldOfViewMagnifiesAsTheTangentSays)
{
    write_file("fov.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    const std::string camera = " --camera 8 6 12 0 0 0 0 1 0 --size 320x240";
    int lit[3];
    const float fovs[3] = {30.0f, 45.0f, 60.0f};
    for (int k = 0; k < 3; ++k) {
        const std::string name = "fov" + std::to_string(k) + ".png";
        const Result run = render("fov.obj --out " + name + " --fov " + std::to_string(fovs[k]) + camera);
        ASSERT_EQ(run.status, 0) << run.err;
        lit[k] = lit_pixels(read_png(name));
    }
    EXPECT_GT(lit[1], 1000);
    const auto tangent = [](float fov) { return std::tan(fov * 0.5 * 3.14159265358979 / 180.0); };
    for (int k : {0, 2}) {
        const double expected = std::pow(tangent(fovs[1]) / tangent(fovs[k]), 2.0);
        EXPECT_NEAR(static_cast<double>(lit[k]) / lit[1], expected, 0.04 * expected) << fovs[k];
    }
}

// N x N samples are the N-times larger frame averaged in blocks.
TEST(KoruRender, SupersamplingAveragesBlocksOfTheLargerFrame)
{
    write_file("spp.obj", cube_obj(2.0f, 0.0f, 0.0f, 0.0f, false));
    const std::string camera = " --camera 3 2 5 0 0 0 0 1 0";
    ASSERT_EQ(render("spp.obj --size 64x48 --spp 2 --out spp2.png" + camera).status, 0);
    ASSERT_EQ(render("spp.obj --size 128x96 --out large.png" + camera).status, 0);
    ASSERT_EQ(render("spp.obj --size 64x48 --spp 1 --out spp1.png" + camera).status, 0);
    ASSERT_EQ(render("spp.obj --size 64x48 --out plain.png" + camera).status, 0);
    EXPECT_EQ(read_png("spp1.png").rgb, read_png("plain.png").rgb);
    const Picture small = read_png("spp2.png"), large = read_png("large.png");
    ASSERT_EQ(small.width, 64);
    ASSERT_EQ(large.width, 128);
    int blended = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                bool flat = true;
                for (int k = 0; k < 4; ++k) {
                    sum += large.at(2 * x + k % 2, 2 * y + k / 2)[c];
                    flat = flat && large.at(2 * x + k % 2, 2 * y + k / 2)[c] == large.at(2 * x, 2 * y)[c];
                }
                ASSERT_EQ(small.at(x, y)[c], (sum + 2) / 4) << x << ", " << y;
                blended += !flat;
            }
    EXPECT_GT(blended, 20) << "the cube's edges blend";
}

TEST(KoruRender, CameraLooksAtItsTargetWithItsUpUpwards)
{
    write_file("look.obj", cube_obj(2.0f, 5.0f, 1.0f, -3.0f, false));
    ASSERT_EQ(render("look.obj --size 80x60 --out at.png --camera 0 0 10 5 1 -3 0 1 0").status, 0);
    ASSERT_EQ(render("look.obj --size 80x60 --out down.png --camera 0 0 10 5 1 -3 0 -1 0").status, 0);
    ASSERT_EQ(render("look.obj --size 80x60 --out away.png --camera 0 0 10 -5 -1 23 0 1 0").status, 0);
    const Picture at = read_png("at.png"), down = read_png("down.png"), away = read_png("away.png");
    ASSERT_EQ(away.width, 80);
    EXPECT_TRUE(std::all_of(away.rgb.begin(), away.rgb.end(), [](unsigned char c) { return c == 0; }));
    double cx = 0.0, cy = 0.0;
    const int lit = lit_pixels(at);
    ASSERT_GT(lit, 100);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x)
            if (at.lit(x, y))
                cx += x, cy += y;
    EXPECT_NEAR(cx / lit, 40.0, 2.0);
    EXPECT_NEAR(cy / lit, 30.0, 2.0);
    // Upside down the picture turns half round about the centre pixel's
    // corner: (x, y) from the bottom is (80 - x, 60 - y) in the other.
    int differ = 0;
    for (int y = 1; y < 60; ++y)
        for (int x = 1; x < 80; ++x)
            differ += down.lit(x, 59 - y) != at.lit(80 - x, 59 - (60 - y));
    EXPECT_LT(differ, 40);
}

// The engine's angles of a look-at camera turn -z onto the view and y into
// the plane of the view and UP, for views along the axes (where the turns
// about x and z fall together) and for random ones.
TEST(KoruRender, LookAtAnglesTurnTheCameraOntoTheView)
{
    using render_tool::V4;
    std::vector<std::array<float, 9>> cameras = {
        {0, 0, 0, 1, 0, 0, 0, 1, 0},  {0, 0, 0, -1, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, -1, 0, 1, 0},
        {0, 0, 0, 0, 0, 1, 0, 1, 0},  {0, 0, 0, 0, -1, 0, 0, 0, -1}, {0, 0, 0, 0, 1, 0, 1, 0, 0},
        {0, 0, 0, 1, 0, 0, 0, 0, 1},  {0, 0, 0, 1, 0, 0, 0, -1, 0}, {1, 2, 3, 1, 2, 2, -1, 0, 0}};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    for (int k = 0; k < 300; ++k) {
        std::array<float, 9> c;
        for (float& v : c)
            v = coordinate(rng);
        cameras.push_back(c);
    }
    for (const auto& c : cameras) {
        const V4 eye(c[0], c[1], c[2], 1.0f), at(c[3], c[4], c[5], 1.0f), up(c[6], c[7], c[8], 0.0f);
        V4 angles;
        ASSERT_TRUE(render_tool::look_at_angles(eye, at, up, angles));
        const render_tool::M4 turn = render_tool::rotation_matrix(angles);
        const V4 forward = turn * V4(0.0f, 0.0f, -1.0f, 0.0f), right = turn * V4(1.0f, 0.0f, 0.0f, 0.0f);
        const V4 camera_up = turn * V4(0.0f, 1.0f, 0.0f, 0.0f);
        const V4 view = TAU_MATH::Normalize(V4(at[0] - eye[0], at[1] - eye[1], at[2] - eye[2], 0.0f));
        const V4 up_unit = TAU_MATH::Normalize(up);
        for (int a = 0; a < 3; ++a)
            ASSERT_NEAR(forward[a], view[a], 1e-5) << c[0] << " " << c[1] << " " << c[2] << " -> " << c[3] << " "
                                                   << c[4] << " " << c[5];
        EXPECT_NEAR(TAU_MATH::Dot3(right, up_unit), 0.0f, 1e-5);
        EXPECT_GT(TAU_MATH::Dot3(camera_up, up_unit), 0.0f);
    }
    V4 angles;
    EXPECT_FALSE(render_tool::look_at_angles(V4(1, 2, 3, 1), V4(1, 2, 3, 1), V4(0, 1, 0, 0), angles));
    EXPECT_FALSE(render_tool::look_at_angles(V4(0, 0, 0, 1), V4(0, 0, -1, 1), V4(0, 0, 3, 0), angles));
    EXPECT_FALSE(render_tool::look_at_angles(V4(0, 0, 0, 1), V4(0, 0, -1, 1), V4(0, 0, 0, 0), angles));
}

} // namespace
