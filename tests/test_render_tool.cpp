// koru_render run as a user runs it: the picture it writes, what it prints,
// and how it refuses bad meshes and options. No display is involved.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "io/bmp.h"

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
                             "--obj small.obj --threads two", "small.obj"}) {
        const Result run = render(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("usage: koru_render --obj FILE.obj"), std::string::npos) << args;
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

} // namespace
