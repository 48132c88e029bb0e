// The demo's pieces that need no window: the cube builder, the scene it adds,
// where a mesh of the user's stands, where the textures are read from, the
// input handlers and the option parser.
#include <GL/freeglut.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo/demo.h"
#include "demo/options.h"
#include "demo/scene.h"

namespace {

using TAU_MATH::VECTOR;
using V4 = VECTOR<4, float>;
using M4 = TAU_MATH::MATRIX<4, 4, float>;

// Turn about y as the engine's RotationY defines it, written out by hand:
// (x, y, z) -> (c x - s z, y, s x + c z).
V4 turn_y(const V4& p, float a)
{
    const float c = std::cos(a), s = std::sin(a);
    return V4(c * p[0] - s * p[2], p[1], s * p[0] + c * p[2], p[3]);
}

TEST(DemoCube, CornersAndNormalsFollowThePlacement)
{
    const float angle = 45.0f; // radians, as the demo passes it
    const M4 placement = TAU_MATH::Translation(V4(-1.5f, -2.5f, 2.0f, 1.0f)) * TAU_MATH::RotationY(angle);
    const demo::Mesh cube = demo::MakeCube(3, placement, 1.0f, 1);
    ASSERT_EQ(cube.vertices.size(), 24u);
    ASSERT_EQ(cube.indices.size(), 36u);

    const float normals[6][3] = {{0, 0, -1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
    for (int f = 0; f < 6; ++f) {
        for (int c = 0; c < 4; ++c) {
            const auto& v = cube.vertices[4 * f + c];
            // Every corner of a face lies on the face's side of the cube.
            const V4 local_n(normals[f][0], normals[f][1], normals[f][2], 0.0f);
            const V4 n = turn_y(local_n, angle);
            EXPECT_NEAR(v.norm[0], n[0], 1e-6f);
            EXPECT_NEAR(v.norm[1], n[1], 1e-6f);
            EXPECT_NEAR(v.norm[2], n[2], 1e-6f);
            EXPECT_EQ(v.norm[3], 0.0f);
            const V4 centre(-1.5f, -2.5f, 2.0f, 1.0f);
            const float offset = TAU_MATH::Dot3(v.pos - centre, n);
            EXPECT_NEAR(offset, 0.5f, 1e-5f) << "face " << f << " corner " << c;
            EXPECT_EQ(v.pos[3], 1.0f);
            EXPECT_EQ(v.material_id, 3);
            EXPECT_EQ(v.tex_id[0], 1);
            EXPECT_EQ(v.tex_id[1], 255);
        }
        const unsigned b = 4u * f;
        const unsigned expected[6] = {b, b + 1, b + 2, b, b + 2, b + 3};
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(cube.indices[6 * f + k], expected[k]);
    }
    // Face 0's first corner (-h, -h, -h) turned and moved.
    const V4 expected = turn_y(V4(-0.5f, -0.5f, -0.5f, 1.0f), angle);
    EXPECT_NEAR(cube.vertices[0].pos[0], expected[0] - 1.5f, 1e-5f);
    EXPECT_NEAR(cube.vertices[0].pos[1], expected[1] - 2.5f, 1e-5f);
    EXPECT_NEAR(cube.vertices[0].pos[2], expected[2] + 2.0f, 1e-5f);
    // Texture coordinates run (0,0), (0,1), (1,1), (1,0) on every face.
    EXPECT_EQ(cube.vertices[5].tex_coord[0], 0.0f);
    EXPECT_EQ(cube.vertices[5].tex_coord[1], 1.0f);
    EXPECT_EQ(cube.vertices[6].tex_coord[0], 1.0f);
    EXPECT_EQ(cube.vertices[7].tex_coord[1], 0.0f);
}

TEST(DemoCube, TranslationAloneKeepsTheAxes)
{
    const demo::Mesh cube =
        demo::MakeCube(1, TAU_MATH::Translation(V4(0.0f, -0.499f, 2.0f, 1.0f)), 1.0f, 255);
    // Face 5 is the top: y = -0.499 + 0.5.
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(cube.vertices[20 + c].pos[1], -0.499f + 0.5f);
        EXPECT_EQ(cube.vertices[20 + c].norm[1], 1.0f);
    }
    EXPECT_EQ(cube.vertices[0].pos[0], -0.5f);
    EXPECT_EQ(cube.vertices[0].pos[2], 1.5f);
}

// Records what the demo adds, in order.
class RecordingEngine : public Common_Graphics_Engine {
public:
    void BeginDrawScene(unsigned, bool) override {}
    void EndDrawScene() override {}
    int light_count() const { return point_light_count; }
    int textures_added() const { return texture_count; }
    const SPHERE* sphere_array() const { return spheres; }
    const MATERIAL* material_array() const { return materials; }
    int materials_added() const { return material_count; }
};

TEST(DemoScene, AddsEverythingInOrder)
{
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t) {
        textures[t].SetSize(2, 2);
        std::memset(textures[t].data, 40 * t, textures[t].ByteCount());
    }
    RecordingEngine engine;
    engine.Init(8, 8);
    demo::AddDemoScene(engine, textures);
    EXPECT_EQ(engine.light_count(), 1);
    EXPECT_EQ(engine.materials_added(), 7);
    EXPECT_EQ(engine.textures_added(), 3);
    EXPECT_EQ(engine.VertexCount(), 4 + 7 * 24);
    EXPECT_EQ(engine.IndexCount(), 6 + 7 * 36);
    ASSERT_EQ(engine.SphereCount(), 3);
    EXPECT_EQ(engine.sphere_array()[2].radius2, 0.25f);
    EXPECT_EQ(engine.sphere_array()[2].material_id, 6);
    EXPECT_EQ(engine.sphere_array()[0].center[0], 1.5f);
    EXPECT_EQ(engine.material_array()[5].ambient[0], 0.2f);
    EXPECT_EQ(engine.material_array()[4].param[0].f, 0.35f);
    EXPECT_EQ(engine.material_array()[6].param[2].f, 0.0f);

    const auto& light = engine.GetPointLight(0);
    EXPECT_EQ(light.power, 1.5f);
    EXPECT_EQ(light.kq, 0.008f);
    EXPECT_EQ(light.pos[0], -2.0f);

    // The floor comes first and the second cube's indices are rebased.
    EXPECT_EQ(engine.Vertices()[0].pos[0], -50.0f);
    EXPECT_EQ(engine.Vertices()[2].tex_coord[0], 16.0f);
    EXPECT_EQ(engine.Indices()[6], 4u);
    EXPECT_EQ(engine.Indices()[6 + 36], 28u);
    engine.Release();
}

TEST(DemoScene, AMeshTakesTheCubesPlace)
{
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t) {
        textures[t].SetSize(2, 2);
        std::memset(textures[t].data, 0, textures[t].ByteCount());
    }
    koru::io::Scene mesh;
    mesh.vertices.resize(3);
    for (int k = 0; k < 3; ++k) {
        mesh.vertices[k].pos = V4(k == 1 ? 1.0f : 0.0f, k == 2 ? 1.0f : 0.0f, 0.0f, 1.0f);
        mesh.vertices[k].norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        mesh.vertices[k].material_id = 0;
    }
    mesh.indices = {0, 1, 2};
    mesh.materials = {koru::io::NeutralGrey()};
    mesh.box_max[0] = mesh.box_max[1] = 1.0f;

    RecordingEngine engine;
    engine.Init(8, 8);
    demo::AddDemoScene(engine, textures, &mesh);
    EXPECT_EQ(engine.materials_added(), 8);
    EXPECT_EQ(engine.textures_added(), 3);
    EXPECT_EQ(engine.VertexCount(), 4 + 3);
    EXPECT_EQ(engine.IndexCount(), 6 + 3);
    EXPECT_EQ(engine.SphereCount(), 3);
    // The mesh's material follows the demo's seven, and its triangle stands on the floor.
    EXPECT_EQ(engine.Vertices()[4].material_id, 7);
    EXPECT_EQ(engine.Vertices()[4].pos[1], -3.0f);
    EXPECT_EQ(engine.Indices()[6], 4u);
    engine.Release();
}

TEST(DemoScene, FloorPlacementStandsAnyMeshWhereTheCubesWere)
{
    // Boxes of every shape and place: flat, tall, deep, far off, tiny.
    const float boxes[][6] = {{0, 0, 0, 1, 1, 1},          {-10, 5, 3, 30, 6, 4},    {2, -100, 2, 3, 400, 3},
                              {1e3f, 1e3f, 1e3f, 1e3f + 2, 1e3f + 1, 1e3f + 8}, {0, 0, 0, 1e-3f, 2e-3f, 1e-3f}};
    for (const auto& b : boxes) {
        const float lo[3] = {b[0], b[1], b[2]}, hi[3] = {b[3], b[4], b[5]};
        const M4 m = demo::FloorPlacement(lo, hi);
        const V4 low = m * V4(lo[0], lo[1], lo[2], 1.0f);
        const V4 high = m * V4(hi[0], hi[1], hi[2], 1.0f);
        const float tolerance = 1e-3f;
        EXPECT_NEAR(low[1], -3.0f, tolerance) << "on the floor";
        EXPECT_NEAR(0.5f * (low[0] + high[0]), 0.0f, tolerance);
        EXPECT_NEAR(0.5f * (low[2] + high[2]), 2.0f, tolerance);
        const float sides[3] = {high[0] - low[0], high[1] - low[1], high[2] - low[2]};
        EXPECT_NEAR(*std::max_element(sides, sides + 3), 3.0f, tolerance);
        // One scale for all three axes: the mesh keeps its proportions.
        EXPECT_EQ(m[0][0], m[1][1]);
        EXPECT_EQ(m[1][1], m[2][2]);
        EXPECT_EQ(m[0][1], 0.0f);
        EXPECT_EQ(m[3][3], 1.0f);
    }
}

// Runs a test body in a fresh, empty working directory and comes back.
class InEmptyFolder {
public:
    explicit InEmptyFolder(const std::string& name) : dir(std::string(KORU_TEST_OUTPUT_DIR) + "/" + name)
    {
        char here[4096];
        back = getcwd(here, sizeof here) ? here : "";
        EXPECT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InEmptyFolder() { EXPECT_EQ(chdir(back.c_str()), 0); }
    const std::string dir;

private:
    std::string back;
};

TEST(DemoData, TheTexturesComeFromTheFirstFolderThatExists)
{
    InEmptyFolder here("demo_data_folder");
    const std::string program = here.dir + "/prefix/bin";
    ASSERT_EQ(std::system(("mkdir -p '" + program + "'").c_str()), 0);
    // Nothing anywhere: data/, which the loader then reports missing.
    EXPECT_EQ(demo::DataFolder("", program), "data");
    EXPECT_EQ(demo::DataFolder("", ""), "data");
    // An installed demo: share/koru/data of its prefix.
    ASSERT_EQ(std::system(("mkdir -p '" + here.dir + "/prefix/share/koru/data'").c_str()), 0);
    EXPECT_EQ(demo::DataFolder("", program), program + "/../share/koru/data");
    // A demo in its build folder: data/ beside it comes first.
    ASSERT_EQ(std::system(("mkdir -p '" + program + "/data'").c_str()), 0);
    EXPECT_EQ(demo::DataFolder("", program), program + "/data");
    // data/ in the working directory comes before the program's folders.
    ASSERT_EQ(std::system("mkdir data"), 0);
    EXPECT_EQ(demo::DataFolder("", program), "data");
    // --data comes before everything, whether it exists or not.
    EXPECT_EQ(demo::DataFolder("elsewhere", program), "elsewhere");
}

TEST(DemoData, TexturePathsNameTheFolderAsGiven)
{
    EXPECT_EQ(demo::TexturePath("data", 0), demo::kTexturePaths[0]);
    EXPECT_EQ(demo::TexturePath("data", 2), demo::kTexturePaths[2]);
    EXPECT_EQ(demo::TexturePath("my/tex/", 1), "my/tex/texture1.bmp");
    EXPECT_EQ(demo::TexturePath("/abs", 0), "/abs/parquet.bmp");
}

TEST(DemoInput, MoveKeysSetOneComponent)
{
    demo::DemoState state;
    demo::HandleKey(state, 'a');
    demo::HandleKey(state, 'd');
    EXPECT_EQ(state.cam_move[0], 0.1f) << "the later key wins";
    demo::HandleKey(state, 'W');
    demo::HandleKey(state, 'w');
    EXPECT_EQ(state.cam_move[2], -0.1f) << "keys set, they do not add";
    demo::HandleKey(state, 'r');
    EXPECT_EQ(state.cam_move[1], 0.1f);
    demo::HandleKey(state, 'F');
    EXPECT_EQ(state.cam_move[1], -0.1f);
    demo::HandleKey(state, 's');
    EXPECT_EQ(state.cam_move[2], 0.1f);
}

TEST(DemoInput, DepthShadowsRollAndQuit)
{
    demo::DemoState state;
    EXPECT_EQ(state.depth, 4);
    EXPECT_FALSE(state.shadows);
    for (char k = '1'; k <= '5'; ++k) {
        demo::HandleKey(state, static_cast<unsigned char>(k));
        EXPECT_EQ(state.depth, k - '0');
    }
    demo::HandleKey(state, 'z');
    EXPECT_TRUE(state.shadows);
    demo::HandleKey(state, 'Z');
    EXPECT_FALSE(state.shadows);
    demo::HandleKey(state, 'q');
    demo::HandleKey(state, 'q');
    demo::HandleKey(state, 'E');
    EXPECT_EQ(state.cam_rotation[2], -10.0f);
    EXPECT_FALSE(state.quit);
    demo::HandleKey(state, 27);
    EXPECT_TRUE(state.quit);
}

TEST(DemoInput, KeysWithoutBindingDoNothing)
{
    demo::DemoState state;
    const demo::DemoState before = state;
    for (int k : {0, 8, 13, 26, 32, 48, 54, 120, 123, 126, 127, 200, 255})
        demo::HandleKey(state, static_cast<unsigned char>(k));
    EXPECT_EQ(state.depth, before.depth);
    EXPECT_EQ(state.shadows, before.shadows);
    EXPECT_FALSE(state.quit);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(state.cam_move[i], before.cam_move[i]);
        EXPECT_EQ(state.cam_rotation[i], before.cam_rotation[i]);
    }
}

TEST(DemoInput, LeftDragTurnsRightDragOnlyTracks)
{
    demo::DemoState state;
    demo::HandleMouse(state, GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 100);
    EXPECT_TRUE(state.left_down);
    demo::HandleMotion(state, 100, 110); // 10 pixels down
    EXPECT_FLOAT_EQ(state.cam_rotation[0], 1.0f);
    EXPECT_EQ(state.cam_rotation[1], 0.0f);
    demo::HandleMotion(state, 80, 110); // 20 pixels left
    EXPECT_FLOAT_EQ(state.cam_rotation[1], -2.0f);
    demo::HandleMouse(state, GLUT_LEFT_BUTTON, GLUT_UP, 80, 110);
    EXPECT_FALSE(state.left_down);
    demo::HandleMotion(state, 0, 0);
    EXPECT_FLOAT_EQ(state.cam_rotation[0], 1.0f);

    demo::HandleMouse(state, GLUT_RIGHT_BUTTON, GLUT_DOWN, 5, 6);
    demo::HandleMotion(state, 50, 60);
    EXPECT_EQ(state.last_x, 50);
    EXPECT_EQ(state.last_y, 60);
    EXPECT_FLOAT_EQ(state.cam_rotation[0], 1.0f);
    EXPECT_FLOAT_EQ(state.cam_rotation[1], -2.0f);

    demo::HandleMouse(state, GLUT_MIDDLE_BUTTON, GLUT_DOWN, 1, 1);
    EXPECT_EQ(state.last_x, 50) << "the middle button is ignored";
}

bool parse(std::vector<const char*> args, demo::Options& options, std::string& error)
{
    args.insert(args.begin(), "koru_demo");
    return demo::ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(DemoOptions, NoOptionsMeansTheClassicDemo)
{
    demo::Options options;
    std::string error;
    ASSERT_TRUE(parse({}, options, error));
    EXPECT_EQ(options.engine, demo::EngineChoice::Default);
    EXPECT_EQ(options.frames, 0);
    EXPECT_TRUE(options.screenshot.empty());
}

TEST(DemoOptions, AcceptsEveryOption)
{
    demo::Options options;
    std::string error;
    ASSERT_TRUE(parse({"--engine", "cpu", "--frames", "12", "--screenshot", "a.png", "--log", "l.txt", "--obj",
                       "m.obj", "--data", "tex", "--threads", "3"},
                      options, error))
        << error;
    EXPECT_EQ(options.threads, 3);
    EXPECT_EQ(options.obj, "m.obj");
    EXPECT_EQ(options.data, "tex");
    EXPECT_EQ(options.engine, demo::EngineChoice::Cpu);
    EXPECT_EQ(options.frames, 12);
    EXPECT_EQ(options.screenshot, "a.png");
    EXPECT_EQ(options.log, "l.txt");
}

TEST(DemoOptions, RefusesBadInput)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--engine"},         {"--engine", "vulkan"}, {"--frames", "0"},    {"--frames", "-3"},
        {"--frames", "1x"},   {"--frames", ""},       {"--frames", "99999999999999999999"},
        {"--screenshot", "a.bmp"}, {"--verbose"},      {"frames"},
        {"--obj"},            {"--obj", ""},          {"--data"},           {"--data", ""},
        {"--threads"},        {"--threads", "0"},     {"--threads", "1025"}, {"--threads", "two"},
    };
    for (const auto& args : bad) {
        demo::Options options;
        std::string error;
        EXPECT_FALSE(parse(args, options, error)) << args[0];
        // The option and the value it was given are named.
        EXPECT_NE(error.find(args[0]), std::string::npos) << error;
        if (args.size() > 1 && *args[1] != '\0') {
            EXPECT_NE(error.find(std::string("'") + args[1] + "'"), std::string::npos) << error;
        }
    }
}

} // namespace
