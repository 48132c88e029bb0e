// The scene importer over every format it reads, and the faults a
// hostile-input campaign found in scene readers: each file is one the test
// writes itself (scene_files_test_support.h).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/scene_io.h"
#include "gpu_test_support.h"
#include "scene_files_test_support.h"

namespace {

using koru::io::Load_Error;
using koru::io::LoadScene;
using koru::io::Scene_Info;
using koru::io::ReadScene;
using koru::io::Scene;
using V4 = IGraphicsEngine::VECTOR4;

int channel(unsigned pixel, int c) { return static_cast<int>((pixel >> (8 * c)) & 0xFFu); }

// The scene with a light above and beside the camera, which looks down -z
// at the middle of the scene's box from `distance` away.
void set_up(gpu_test::Test_Tracer& engine, const Scene& scene, int size, float distance)
{
    engine.Init(size, size);
    const V4 centre(0.5f * (scene.box_min[0] + scene.box_max[0]), 0.5f * (scene.box_min[1] + scene.box_max[1]),
                    scene.box_max[2] + distance, 1.0f);
    IGraphicsEngine::LIGHT light;
    light.pos = centre + V4(0.5f * distance, 0.5f * distance, 0.0f, 0.0f);
    light.kl = light.kq = 0.0f;
    engine.AddPointLight(light);
    koru::io::AddScene(engine, scene);
    engine.SetCamPosition(centre);
    engine.BuildKdTree();
}

// Red where the cube is red, an even grey where it is not: the colour of
// the face the middle pixel shows.
void expect_cube_colour(unsigned pixel, bool red, const std::string& what)
{
    const int r = channel(pixel, 0), g = channel(pixel, 1), b = channel(pixel, 2);
    if (red) {
        EXPECT_GT(r, 60) << what;
        EXPECT_GT(r - g, 60) << what;
        EXPECT_GT(r - b, 60) << what;
    } else {
        EXPECT_GT(r, 40) << what;
        EXPECT_NEAR(r, g, 4) << what;
        EXPECT_NEAR(g, b, 4) << what;
    }
}

TEST(SceneImport, EveryFormatGivesTheSameCubeInTheCpuAndEmulatedGpuEngines)
{
    const std::string dir = scene_files::folder("scene_import");
    for (const scene_files::Format_Case& c : scene_files::format_cases()) {
        SCOPED_TRACE(c.format);
        Scene scene;
        try {
            scene = ReadScene(c.write(dir));
        } catch (const Load_Error& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        EXPECT_EQ(scene.vertices.size(), 24u); // flat faces: three normals per corner
        EXPECT_EQ(scene.indices.size(), 36u);
        ASSERT_EQ(scene.materials.size(), 1u); // OBJ's unused material is left out
        EXPECT_TRUE(scene.textures.empty());
        for (int a = 0; a < 3; ++a) {
            EXPECT_NEAR(scene.box_min[a], static_cast<float>(a), 1e-6f) << a;
            EXPECT_NEAR(scene.box_max[a], static_cast<float>(a + 2), 1e-6f) << a;
        }
        // Normals point out of the cube, along an axis.
        for (const auto& v : scene.vertices) {
            const V4 out = v.pos - V4(1.0f, 2.0f, 3.0f, 1.0f);
            EXPECT_NEAR(TAU_MATH::Dot3(v.norm, v.norm), 1.0f, 1e-5f);
            EXPECT_NEAR(TAU_MATH::Dot3(v.norm, out), 1.0f, 1e-5f);
        }

        gpu_test::Test_Tracer engine;
        set_up(engine, scene, 48, 6.0f);
        const std::vector<unsigned> cpu = gpu_test::cpu_frame(engine);
        expect_cube_colour(cpu[24 * 48 + 24], c.red, "cpu");
        const std::vector<unsigned> gpu = gpu_test::emulate(engine, 1, true);
        expect_cube_colour(gpu[24 * 48 + 24], c.red, "gpu emulation");
        gpu_test::expect_close_frames(cpu, gpu, 48, 48, std::string("import_") + c.format);
        engine.Release();
    }
}

TEST(SceneImport, GltfWithAnEmbeddedJpegRendersTextured)
{
    const std::string dir = scene_files::folder("scene_import");
    const Scene scene = ReadScene(scene_files::write_textured_glb(dir));
    ASSERT_EQ(scene.textures.size(), 1u);
    EXPECT_EQ(scene.textures[0].width, 16);
    for (const auto& v : scene.vertices)
        EXPECT_EQ(v.tex_id[0], 0);

    gpu_test::Test_Tracer engine;
    set_up(engine, scene, 64, 2.0f);
    const std::vector<unsigned> cpu = gpu_test::cpu_frame(engine);
    // Quadrant middles (the frame's bottom row first): red, green, blue, white.
    const int at[4][2] = {{26, 26}, {38, 26}, {26, 38}, {38, 38}};
    const int expected[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    for (int q = 0; q < 4; ++q) {
        const unsigned pixel = cpu[at[q][1] * 64 + at[q][0]];
        for (int c = 0; c < 3; ++c) {
            if (expected[q][c]) {
                EXPECT_GT(channel(pixel, c), 80) << "quadrant " << q << " channel " << c;
            } else {
                EXPECT_LT(channel(pixel, c), 40) << "quadrant " << q << " channel " << c;
            }
        }
    }
    gpu_test::expect_close_frames(cpu, gpu_test::emulate(engine, 1, true), 64, 64, "import_textured_glb");
    engine.Release();
}

std::string refusal(const std::string& path)
{
    try {
        ReadScene(path);
    } catch (const Load_Error& e) {
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        return e.what();
    }
    return "(accepted)";
}

TEST(SceneImportFaults, PolygonsOfManyCornersBecomeTrianglesThatCoverThemOnce)
{
    const std::string dir = scene_files::folder("scene_faults");
    for (const int n : {255, 256, 300, 1000}) {
        std::string obj, ply = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(n) +
                               "\nproperty float x\nproperty float y\nproperty float z\n"
                               "element face 1\nproperty list int int vertex_indices\nend_header\n";
        std::string face = "f", ply_face = std::to_string(n);
        for (int i = 0; i < n; ++i) {
            const double angle = 2.0 * M_PI * i / n;
            const std::string xy = std::to_string(std::cos(angle)) + " " + std::to_string(std::sin(angle));
            obj += "v " + xy + " 0\n";
            ply += xy + " 0\n";
            face += " " + std::to_string(i + 1);
            ply_face += " " + std::to_string(i);
        }
        const double area = 0.5 * n * std::sin(2.0 * M_PI / n);
        for (const std::string& path : {scene_files::write(dir + "/polygon.obj", obj + face + "\n"),
                                         scene_files::write(dir + "/polygon.ply", ply + ply_face + "\n")}) {
            SCOPED_TRACE(path + " of " + std::to_string(n) + " corners");
            const Scene scene = ReadScene(path);
            ASSERT_EQ(scene.indices.size(), 3u * (n - 2));
            double sum = 0.0;
            for (std::size_t t = 0; t < scene.indices.size(); t += 3) {
                const V4& a = scene.vertices[scene.indices[t]].pos;
                const double z = 0.5 * TAU_MATH::Cross3(scene.vertices[scene.indices[t + 1]].pos - a,
                                                        scene.vertices[scene.indices[t + 2]].pos - a)[2];
                EXPECT_GE(z, 0.0) << "triangle " << t / 3 << " turns the other way";
                sum += z;
            }
            EXPECT_NEAR(sum, area, 1e-4);
        }
    }
}

TEST(SceneImportFaults, ObjNumbersAndMarksAreReadOrRefusedWithTheLine)
{
    const std::string dir = scene_files::folder("scene_faults");
    // A byte-order mark before the first statement.
    const Scene marked =
        ReadScene(scene_files::write(dir + "/bom.obj", "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"));
    EXPECT_EQ(marked.indices.size(), 3u);
    // Hexadecimal floats, which would be read as 0: refused with the line.
    const std::string hex = refusal(scene_files::write(dir + "/hex.obj", "v 0 0 0\nv 0x1p0 0 0\nv 0 1 0\nf 1 2 3\n"));
    EXPECT_NE(hex.find("hex.obj:2:"), std::string::npos) << hex;
    EXPECT_NE(hex.find("0x1p0"), std::string::npos) << hex;
    // The same in ASCII PLY and STL.
    const std::string ply_hex = refusal(scene_files::write(
        dir + "/hex.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                          "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                          "0 0 0\n0x1p0 0 0\n0 1 0\n3 0 1 2\n"));
    EXPECT_NE(ply_hex.find("hex.ply:11: '0x1p0' is not a decimal number"), std::string::npos) << ply_hex;
    const std::string stl_hex = refusal(scene_files::write(
        dir + "/hex.stl", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 0x1p0 0 0\n"
                          "vertex 0 1 0\nendloop\nendfacet\nendsolid t\n"));
    EXPECT_NE(stl_hex.find("hex.stl:5: '0x1p0' is not a decimal number"), std::string::npos) << stl_hex;
    // Numbers too small for a float are valid numbers.
    const Scene tiny = ReadScene(scene_files::write(dir + "/tiny.obj", "v 1e-50 0 0\nv 1 0 0\nv 0 1 1e-50\nf 1 2 3\n"));
    EXPECT_EQ(tiny.indices.size(), 3u);
    EXPECT_EQ(tiny.box_max[0], 1.0f);
}

TEST(SceneImportFaults, FoldersAndFifosAreRefusedAtOnce)
{
    const std::string dir = scene_files::folder("scene_faults");
    const std::string folder_message = refusal(dir);
    EXPECT_NE(folder_message.find("is a folder"), std::string::npos) << folder_message;
    const std::string fifo = dir + "/pipe.obj";
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening a FIFO without a writer would wait for ever.
    const std::string fifo_message = refusal(fifo);
    EXPECT_NE(fifo_message.find("not a regular file"), std::string::npos) << fifo_message;
    std::remove(fifo.c_str());
}

TEST(SceneImportFaults, TexturePathsAbsoluteOrWithWindowsSeparatorsAreFound)
{
    const std::string dir = scene_files::folder("scene_faults");
    const std::string elsewhere = scene_files::folder("scene_faults_elsewhere");
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "/textures'").c_str()), 0);
    const std::string jpeg = scene_files::quadrant_jpeg();
    scene_files::write(dir + "/tex.jpg", jpeg);
    scene_files::write(dir + "/textures/crate.jpg", jpeg);
    scene_files::write(elsewhere + "/far.jpg", jpeg);
    scene_files::write(dir + "/paths.mtl", "newmtl dot\nmap_Kd .\\tex.jpg\nnewmtl sub\nmap_Kd textures\\crate.jpg\n"
                                           "newmtl absolute\nmap_Kd " + elsewhere + "/far.jpg\n");
    const Scene scene = ReadScene(scene_files::write(dir + "/paths.obj",
                                                     "mtllib paths.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n"
                                                     "usemtl dot\nf 1/1 2/1 3/1\nusemtl sub\nf 1/1 3/1 2/1\n"
                                                     "usemtl absolute\nf 2/1 1/1 3/1\n"));
    ASSERT_EQ(scene.textures.size(), 3u);
    for (const auto& t : scene.textures)
        EXPECT_EQ(t.width, 16);
}

TEST(SceneImportFaults, OnlyMaterialsAndTexturesFacesUseAreLoadedAndTheLimitsAreNamed)
{
    const std::string dir = scene_files::folder("scene_faults");
    scene_files::write(dir + "/one.jpg", scene_files::quadrant_jpeg());
    // 40 materials, each naming a texture that is not there; one is used.
    std::string mtl, used = "mtllib many.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n";
    for (int m = 0; m < 40; ++m)
        mtl += "newmtl m" + std::to_string(m) + "\nKd 1 1 1\nmap_Kd missing" + std::to_string(m) + ".png\n";
    mtl += "newmtl textured\nmap_Kd one.jpg\n";
    scene_files::write(dir + "/many.mtl", mtl);
    const Scene one = ReadScene(scene_files::write(dir + "/one_used.obj", used + "usemtl textured\nf 1/1 2/1 3/1\n"));
    EXPECT_EQ(one.materials.size(), 1u);
    EXPECT_EQ(one.textures.size(), 1u);

    // Used, they do not fit: 32 materials of the 31 the engine holds.
    std::string all = used;
    for (int m = 0; m < 32; ++m)
        all += "usemtl m" + std::to_string(m) + "\nf 1 2 3\n";
    const std::string message = refusal(scene_files::write(dir + "/all_used.obj", all));
    EXPECT_NE(message.find("all_used.obj: its faces use 32 materials; the engine holds 31"), std::string::npos)
        << message;

    // Nine textures used, one more than the engine holds: refused at the ninth's MTL line.
    std::string textured_mtl, textured = "mtllib textured.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n";
    for (int t = 0; t < 9; ++t) {
        const std::string name = "t" + std::to_string(t);
        scene_files::write(dir + "/" + name + ".jpg", scene_files::quadrant_jpeg());
        textured_mtl += "newmtl " + name + "\nmap_Kd " + name + ".jpg\n";
        textured += "usemtl " + name + "\nf 1/1 2/1 3/1\n";
    }
    scene_files::write(dir + "/textured.mtl", textured_mtl);
    const std::string nine = refusal(scene_files::write(dir + "/nine.obj", textured));
    EXPECT_NE(nine.find("textured.mtl:"), std::string::npos) << nine;
    EXPECT_NE(nine.find("more than 8 textures; the engine holds 8"), std::string::npos) << nine;
}

// LoadScene gives an engine without geometry the room a large scene needs;
// beside geometry already held the scene is refused, naming file and limit.
// Vertices are shared when they are identical bit for bit: written twice
// with the same numbers they become one, in the order they first appear;
// one a hair away (1e-6 on a coordinate of 1) stays a vertex of its own, and
// every corner keeps its place.
TEST(SceneImport, IdenticalVerticesAreSharedAndNearOnesKept)
{
    const std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\n"     // first triangle
                            "v 1 0 0\nv 0 1 0\nv 1 1 0\n"     // second: its edge written again
                            "v 0 1 0\nv 1.000001 0 0\nv 1 1 1\n" // third: one corner a hair away
                            "vn 0 0 1\n"
                            "f 1//1 2//1 3//1\nf 4//1 6//1 5//1\nf 7//1 8//1 9//1\n";
    const Scene scene = ReadScene(scene_files::write(scene_files::folder("scene_join") + "/join.obj", obj));
    ASSERT_EQ(scene.indices.size(), 9u);
    EXPECT_EQ(scene.vertices.size(), 6u);
    const float expected[9][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0},
                                  {0, 1, 0}, {0, 1, 0}, {1.000001f, 0, 0}, {1, 1, 1}};
    for (int c = 0; c < 9; ++c)
        for (int a = 0; a < 3; ++a)
            EXPECT_EQ(scene.vertices[scene.indices[static_cast<std::size_t>(c)]].pos[a], expected[c][a])
                << "corner " << c;
    EXPECT_EQ(scene.indices[1], scene.indices[3]); // shared, in order of first appearance
    EXPECT_EQ(scene.indices[4], 3u);
    EXPECT_NE(scene.indices[7], scene.indices[1]);
}

TEST(SceneImport, LoadSceneMakesRoomForALargeSceneInAnEmptyEngine)
{
    const int side = 257; // 66,049 vertices, past the default 65,535
    std::string bytes = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(side * side) +
                        "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                        std::to_string((side - 1) * (side - 1)) +
                        "\nproperty list uchar int vertex_indices\nend_header\n";
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            scene_files::append<float>(bytes, static_cast<float>(i));
            scene_files::append<float>(bytes, static_cast<float>(j));
            scene_files::append<float>(bytes, 0.0f);
        }
    for (int j = 0; j + 1 < side; ++j)
        for (int i = 0; i + 1 < side; ++i) {
            scene_files::append<uint8_t>(bytes, 4);
            for (const int k : {j * side + i, j * side + i + 1, (j + 1) * side + i + 1, (j + 1) * side + i})
                scene_files::append<int32_t>(bytes, k);
        }
    const std::string path = scene_files::write(scene_files::folder("scene_large") + "/grid.ply", bytes);

    CPU_Ray_Tracer empty;
    empty.Init(8, 8);
    const Scene_Info info = LoadScene(path, empty);
    EXPECT_EQ(info.vertices, side * side);
    EXPECT_EQ(info.triangles, 2 * (side - 1) * (side - 1));
    EXPECT_GE(empty.VertexCapacity(), side * side);
    empty.Release();

    CPU_Ray_Tracer holding;
    holding.Init(8, 8);
    IGraphicsEngine::VERTEX corners[3];
    for (IGraphicsEngine::VERTEX& v : corners) {
        v.pos = V4(0.0f, 0.0f, 0.0f, 1.0f);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        v.material_id = 0;
    }
    const unsigned triangle[3] = {0, 1, 2};
    holding.AddTriangles(corners, 3, triangle, 3);
    std::string message = "(accepted)";
    try {
        LoadScene(path, holding);
    } catch (const std::out_of_range& e) { // Out_Of_Range's own text; Error's what() is generic
        message = e.what();
    }
    EXPECT_NE(message.find("grid.ply has 66049 vertices; the engine holds 65535, 3 of them in use"),
              std::string::npos)
        << message;
    EXPECT_EQ(holding.VertexCount(), 3);
    holding.Release();
}

} // namespace
