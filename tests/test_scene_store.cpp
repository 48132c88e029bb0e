// Scene store: limits and their messages, index rebasing, camera matrices
// and the refusal of a camera that is not finite, and rebuilding the kd-tree.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "scene_store_test_support.h"
#include "engine/engines.h"
#include "store/engine_access.h"
#include "engine/graphics_engine.h"
#include "engine/tau_error.h"
#include "kdtree/kdtree.h"

namespace {

using namespace scene_store_test;

using Matrix = TAU_MATH::MATRIX<4, 4, float>;

// A seeded scene: meshes of a few triangles each, and spheres.
struct RandomScene {
    std::vector<std::vector<Vertex>> meshes;
    std::vector<std::vector<unsigned>> indices;
    std::vector<Sphere> spheres;

    RandomScene(uint32_t seed, int n_meshes, int n_spheres)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-10.0f, 10.0f), d(-0.8f, 0.8f);
        for (int m = 0; m < n_meshes; ++m) {
            std::vector<Vertex> v;
            std::vector<unsigned> idx;
            const float cx = u(rng), cy = u(rng), cz = u(rng);
            for (int k = 0; k < 6; ++k)
                v.push_back(vertex(cx + d(rng), cy + d(rng), cz + d(rng), m % 5));
            for (unsigned t = 0; t < 4; ++t) {
                idx.push_back(t);
                idx.push_back((t + 1 + rng() % 5) % 6);
                idx.push_back((t + 2 + rng() % 4) % 6);
            }
            meshes.push_back(v);
            indices.push_back(idx);
        }
        for (int i = 0; i < n_spheres; ++i)
            spheres.push_back(sphere(u(rng), u(rng), u(rng), 0.2f + 0.1f * d(rng), i % 3));
    }

    void add(IGraphicsEngine& engine, std::size_t first_mesh, std::size_t end_mesh) const
    {
        for (std::size_t m = first_mesh; m < end_mesh; ++m)
            engine.AddTriangles(meshes[m].data(), static_cast<int>(meshes[m].size()), indices[m].data(),
                                static_cast<int>(indices[m].size()));
    }
};

// What a build leaves behind: its printed statistics, nodes and records.
struct BuildResult {
    std::string statistics;
    std::vector<uint32_t> node_words;
    std::vector<unsigned char> records;

    static BuildResult of(Common_Graphics_Engine& engine)
    {
        BuildResult r;
        testing::internal::CaptureStderr();
        engine.BuildKdTree();
        r.statistics = testing::internal::GetCapturedStderr();
        const RAYTR::KdTree* tree = koru::Engine_Access::kd_tree(engine);
        const uint32_t* words = reinterpret_cast<const uint32_t*>(tree->nodes);
        r.node_words.assign(words, words + 2 * tree->node_count);
        r.records.assign(tree->obj_list_data, tree->obj_list_data + tree->obj_list_data_top);
        return r;
    }
};

void expect_same_build(const BuildResult& a, const BuildResult& b)
{
    EXPECT_EQ(a.statistics, b.statistics);
    EXPECT_EQ(a.node_words, b.node_words);
    EXPECT_EQ(a.records, b.records);
}

TEST(SceneStoreLimits, CapacitiesAndMessages)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    TAU_GRAPHICS::MATERIAL<3> material{};
    EXPECT_EQ(e.AddMaterial(material), 1u);
    for (unsigned i = 2; i <= 31; ++i)
        EXPECT_EQ(e.AddMaterial(material), i);
    EXPECT_EQ(refusal([&] { e.AddMaterial(material); }), "AddMaterial: no more materials can be added");

    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = Vec4(0.0f, 0.0f, 0.0f, 1.0f);
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(e.AddPointLight(light), i);
    EXPECT_EQ(refusal([&] { e.AddPointLight(light); }), "Too many point lights");
    EXPECT_EQ(refusal([&] { e.GetPointLight(-1); }), "No point light with this index");
    EXPECT_EQ(refusal([&] { e.GetPointLight(8); }), "No point light with this index");
    EXPECT_EQ(refusal([&] { e.SetPointLight(light, 8); }), "No point light with this index");
    EXPECT_EQ(refusal([&] { e.GetMaterial(31); }), "No material with this index");

    const unsigned char pixels[4 * 2 * 2] = {};
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(e.AddTexture(pixels, 2, 2, 0), i);
    EXPECT_EQ(refusal([&] { e.AddTexture(pixels, 2, 2, 0); }), "Too many point textures");

    std::vector<Sphere> spheres(2047, sphere(0, 0, 0, 1));
    EXPECT_EQ(e.AddSpheres(spheres.data(), 2047), 0u);
    EXPECT_EQ(e.AddSpheres(spheres.data(), 1), 2047u);
    EXPECT_EQ(refusal([&] { e.AddSpheres(spheres.data(), 1); }), "Too many spheres");
    EXPECT_EQ(s.engine.SphereCount(), 2048);
}

TEST(SceneStoreLimits, VerticesThenIndices)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    std::vector<Vertex> v(65536, vertex(0, 0, 0));
    std::vector<unsigned> idx(3 * 65536, 0);
    // Both limits exceeded: the vertex check comes first.
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 65536, idx.data(), 3 * 65536); }), "Too many vertices");
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 3, idx.data(), 3 * 65536); }), "Too many indices");
    EXPECT_EQ(s.engine.VertexCount(), 0);
    EXPECT_EQ(s.engine.IndexCount(), 0);

    const auto first = e.AddTriangles(v.data(), 65535, idx.data(), 3 * 65535);
    EXPECT_EQ(first[0], 0u);
    EXPECT_EQ(first[1], 0u);
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 1, idx.data(), 0); }), "Too many vertices");
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 0, idx.data(), 3); }), "Too many indices");
    EXPECT_EQ(s.engine.VertexCount(), 65535);

    // The defaults are the capacities until asked otherwise; room is asked
    // for only while the store holds no geometry, and never below them.
    EXPECT_EQ(s.engine.VertexCapacity(), Common_Graphics_Engine::kMaxVertices);
    EXPECT_EQ(s.engine.IndexCapacity(), Common_Graphics_Engine::kMaxIndices);
    EXPECT_EQ(s.engine.SphereCapacity(), Common_Graphics_Engine::kMaxSpheres);
    EXPECT_FALSE(s.engine.LargeCapacity());
    EXPECT_EQ(refusal([&] { s.engine.SetCapacity(1 << 17, 3 << 17, 4096); }),
              "SetCapacity: the store holds triangles or spheres already; Release must come first");
    s.engine.Release();
    EXPECT_EQ(refusal([&] { s.engine.SetCapacity(65534, 3 << 17, 4096); }),
              "SetCapacity: a capacity of 65534 vertices is below the default of 65535");
    EXPECT_EQ(refusal([&] { s.engine.SetCapacity(1 << 17, -1, 4096); }),
              "SetCapacity: a capacity of -1 indices is below the default of 196605");
    EXPECT_EQ(refusal([&] { s.engine.SetCapacity(1 << 17, 3 << 17, 2047); }),
              "SetCapacity: a capacity of 2047 spheres is below the default of 2048");
    EXPECT_FALSE(s.engine.LargeCapacity());

    // Asked for before Init, or after it while empty: the limits move, with
    // the same messages past them.
    s.engine.SetCapacity(65536, 3 * 65536, 2048);
    EXPECT_TRUE(s.engine.LargeCapacity());
    s.engine.Init(4, 4);
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 65536, idx.data(), 3 * 65536); }), "<accepted>");
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 1, idx.data(), 0); }), "Too many vertices");
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 0, idx.data(), 3); }), "Too many indices");
    std::vector<Sphere> spheres(2049, sphere(0, 0, 0, 1));
    EXPECT_EQ(refusal([&] { e.AddSpheres(spheres.data(), 2049); }), "Too many spheres");
    s.engine.Release();
    s.engine.Init(4, 4);
    s.engine.SetCapacity(65535, 3 * 65535, 4096);
    EXPECT_EQ(refusal([&] { e.AddTriangles(v.data(), 65536, idx.data(), 3); }), "Too many vertices");
    EXPECT_EQ(e.AddSpheres(spheres.data(), 2049), 0u);
    EXPECT_EQ(s.engine.SphereCount(), 2049);
}

// Past the defaults the tree's node array and object list start small and
// grow as the build needs them: the same tree as with the fixed arrays, and
// the statistics give the list's size as the bytes used.
TEST(SceneStoreLimits, LargeModeBuildsTheSameTree)
{
    const RandomScene scene(41, 700, 40);
    Store fixed, growing;
    growing.engine.Release();
    growing.engine.SetCapacity(1 << 17, 3 << 17, 4096);
    growing.engine.Init(4, 4);
    for (Store* s : {&fixed, &growing}) {
        scene.add(s->engine, 0, scene.meshes.size());
        s->engine.AddSpheres(scene.spheres.data(), static_cast<int>(scene.spheres.size()));
    }
    const BuildResult a = BuildResult::of(fixed.engine);
    const BuildResult b = BuildResult::of(growing.engine);
    const RAYTR::KdTree* tree = koru::Engine_Access::kd_tree(growing.engine);
    ASSERT_GT(tree->node_count, RAYTR::KdTree::grow_start_nodes) << "the node array never grew";
    ASSERT_GT(tree->obj_list_data_top, RAYTR::KdTree::grow_start_list_bytes) << "the object list never grew";
    EXPECT_EQ(tree->obj_list_data_size, tree->obj_list_data_top);
    EXPECT_EQ(a.node_words, b.node_words);
    EXPECT_EQ(a.records, b.records);
    const std::string size_line = "KdTree.obj_list_data_size: ";
    const std::size_t at_a = a.statistics.find(size_line), at_b = b.statistics.find(size_line);
    ASSERT_NE(at_a, std::string::npos);
    ASSERT_NE(at_b, std::string::npos);
    EXPECT_EQ(a.statistics.substr(0, at_a), b.statistics.substr(0, at_b));
    EXPECT_EQ(a.statistics.substr(at_a), size_line + "37748736\n");
    EXPECT_EQ(b.statistics.substr(at_b), size_line + std::to_string(tree->obj_list_data_top) + "\n");
}

// A build on several threads makes the tree one thread makes, to the bit, in
// the fixed arrays and in the growing ones.
TEST(SceneStoreLimits, SeveralBuildThreadsMakeTheSameTree)
{
    const RandomScene scene(43, 900, 60);
    for (const bool large : {false, true})
        for (const int threads : {2, 3}) {
            SCOPED_TRACE(std::string(large ? "large mode, " : "") + std::to_string(threads) + " threads");
            Store one, several;
            for (Store* s : {&one, &several}) {
                if (large) {
                    s->engine.Release();
                    s->engine.SetCapacity(1 << 17, 3 << 17, 4096);
                    s->engine.Init(4, 4);
                }
                scene.add(s->engine, 0, scene.meshes.size());
                s->engine.AddSpheres(scene.spheres.data(), static_cast<int>(scene.spheres.size()));
            }
            several.engine.SetBuildThreads(threads);
            EXPECT_EQ(several.engine.BuildThreads(), threads);
            expect_same_build(BuildResult::of(one.engine), BuildResult::of(several.engine));
        }
    // Lists long enough that the top levels share each node's search,
    // classification and partition among the threads.
    const RandomScene large_scene(44, 6000, 0);
    Store one, several;
    for (Store* s : {&one, &several}) {
        s->engine.Release();
        s->engine.SetCapacity(1 << 17, 3 << 17, 4096);
        s->engine.Init(4, 4);
        large_scene.add(s->engine, 0, large_scene.meshes.size());
    }
    several.engine.SetBuildThreads(3);
    expect_same_build(BuildResult::of(one.engine), BuildResult::of(several.engine));

    Store s;
    EXPECT_EQ(refusal([&] { s.engine.SetBuildThreads(0); }),
              "SetBuildThreads: a build needs at least one thread, not 0");
    EXPECT_EQ(s.engine.BuildThreads(), 1);
}

TEST(SceneStoreTriangles, IndicesAreRebased)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const Vertex quad[4] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(1, 1, 0, 3), vertex(0, 1, 0)};
    const unsigned idx[6] = {0, 1, 2, 0, 2, 3};
    const auto a = e.AddTriangles(quad, 4, idx, 6);
    const auto b = e.AddTriangles(quad, 4, idx, 6);
    EXPECT_EQ(a[0], 0u);
    EXPECT_EQ(a[1], 0u);
    EXPECT_EQ(b[0], 4u);
    EXPECT_EQ(b[1], 6u);
    const unsigned expected[12] = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7};
    ASSERT_EQ(s.engine.IndexCount(), 12);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(s.engine.Indices()[i], expected[i]) << i;
    EXPECT_EQ(s.engine.Vertices()[6].material_id, 3);
    EXPECT_EQ(s.engine.Vertices()[6].pos[0], 1.0f);
    EXPECT_EQ(s.engine.Vertices()[6].tex_id[0], TAU_GRAPHICS::kNoTexture);
}

// Input that would send the builder or a tracer outside the arrays is
// refused whole, before anything is stored.
TEST(SceneStoreTriangles, DanglingIndicesAndMaterialsAreRefused)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned ok[3] = {0, 1, 2};
    e.AddTriangles(tri, 3, ok, 3);

    // Index 3 would be a valid absolute vertex (the first call's) but is not
    // one of this call's three.
    const unsigned past_end[6] = {0, 1, 2, 2, 1, 3};
    EXPECT_NE(refusal([&] { e.AddTriangles(tri, 3, past_end, 6); }), "<accepted>");
    const unsigned huge[3] = {0, 1, 0xFFFFFFFFu};
    EXPECT_NE(refusal([&] { e.AddTriangles(tri, 3, huge, 3); }), "<accepted>");
    EXPECT_NE(refusal([&] { e.AddTriangles(tri, 3, ok, 2); }), "<accepted>") << "not whole triangles";

    for (int bad : {-1, 32}) {
        Vertex v[3] = {tri[0], tri[1], tri[2]};
        v[1].material_id = bad;
        EXPECT_NE(refusal([&] { e.AddTriangles(v, 3, ok, 3); }), "<accepted>") << bad;
        const Sphere sp = sphere(0, 0, 0, 1, bad);
        EXPECT_NE(refusal([&] { e.AddSpheres(&sp, 1); }), "<accepted>") << bad;
    }
    EXPECT_EQ(s.engine.VertexCount(), 3);
    EXPECT_EQ(s.engine.IndexCount(), 3);
    EXPECT_EQ(s.engine.SphereCount(), 0);

    Vertex last[3] = {tri[0], tri[1], tri[2]};
    last[2].material_id = 31;
    EXPECT_EQ(refusal([&] { e.AddTriangles(last, 3, ok, 3); }), "<accepted>");
}

TEST(SceneStoreCamera, MatricesAfterRebuild)
{
    Store s;
    store_engine& e = s.engine;
    const Matrix identity;
    const Matrix& cam = e.GetCamMatrix();
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(cam[r][c], identity[r][c]) << r << c;
    EXPECT_EQ(e.CamPosition(), Vec4(0.0f, 0.0f, 10.0f, 1.0f));

    e.SetCamRotation(Vec4(0.0f, 0.0f, 0.0f, 0.0f));
    e.BeginDrawScene(1, false);
    Matrix expected;
    expected[2][3] = 10.0f;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(cam[r][c], expected[r][c]) << r << c;

    // A quarter turn about y: moving along the camera's -z goes along +x.
    e.SetCamRotation(Vec4(0.0f, 90.0f, 0.0f, 0.0f));
    e.BeginDrawScene(1, false);
    e.MoveCam(Vec4(0.0f, 0.0f, -0.1f, 1.0f));
    EXPECT_NEAR(e.CamPosition()[0], 0.1f, 1e-6f);
    EXPECT_NEAR(e.CamPosition()[1], 0.0f, 1e-6f);
    EXPECT_NEAR(e.CamPosition()[2], 10.0f, 1e-6f);
    EXPECT_EQ(e.CamPosition()[3], 1.0f);
}

TEST(SceneStoreCamera, SetCamMatrixTakesPositionAndRotation)
{
    Store s;
    store_engine& e = s.engine;
    Matrix m = TAU_MATH::RotationZ(0.5f);
    m[0][3] = 3.0f;
    m[1][3] = -2.0f;
    m[2][3] = 7.0f;
    m[3][3] = 1.0f;
    e.SetCamMatrix(m);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(e.GetCamMatrix()[r][c], m[r][c]);
    EXPECT_EQ(e.CamPosition(), Vec4(3.0f, -2.0f, 7.0f, 1.0f));

    // MoveCam uses the rotation part without the translation.
    e.MoveCam(Vec4(1.0f, 0.0f, 0.0f, 1.0f));
    EXPECT_FLOAT_EQ(e.CamPosition()[0], 3.0f + std::cos(0.5f));
    EXPECT_FLOAT_EQ(e.CamPosition()[1], -2.0f - std::sin(0.5f));
    EXPECT_FLOAT_EQ(e.CamPosition()[2], 7.0f);

    // The next rebuild restores the rotation from the angles and keeps the position.
    e.BeginDrawScene(1, false);
    EXPECT_EQ(e.GetCamMatrix()[0][1], 0.0f);
    EXPECT_FLOAT_EQ(e.GetCamMatrix()[0][3], 3.0f + std::cos(0.5f));
}

// A camera that is not finite would make every later frame and move
// undefined; it is refused and the camera stays where it was.
TEST(SceneStoreCamera, NonFiniteValuesAreRefused)
{
    Store s;
    store_engine& e = s.engine;
    e.SetCamRotation(Vec4(0.0f, 30.0f, 0.0f, 0.0f));
    e.BeginDrawScene(1, false);
    const Matrix camera = e.GetCamMatrix();
    const Vec4 position = e.CamPosition();

    for (float bad : {nan_value, inf_value, -inf_value}) {
        for (int c = 0; c < 4; ++c) {
            Vec4 p(1, 2, 3, 1);
            p[c] = bad;
            EXPECT_EQ(refusal([&] { e.SetCamPosition(p); }), "SetCamPosition: the position is not finite");
            Vec4 move(0.1f, 0.0f, 0.0f, 1.0f);
            move[c] = bad;
            EXPECT_EQ(refusal([&] { e.MoveCam(move); }),
                      "MoveCam: the move or the position it leads to is not finite");
        }
        for (int c = 0; c < 3; ++c) {
            Vec4 r(0, 0, 0, 0);
            r[c] = bad;
            EXPECT_EQ(refusal([&] { e.SetCamRotation(r); }), "SetCamRotation: the angles are not finite");
        }
        for (int cell = 0; cell < 16; ++cell) {
            Matrix m;
            m[cell / 4][cell % 4] = bad;
            EXPECT_EQ(refusal([&] { e.SetCamMatrix(m); }), "SetCamMatrix: the matrix is not finite");
        }
    }
    // Finite input that overflows on the way: degrees to radians, a long move.
    const float huge = std::numeric_limits<float>::max();
    EXPECT_EQ(refusal([&] { e.SetCamRotation(Vec4(0, huge, 0, 0)); }), "SetCamRotation: the angles are not finite");
    e.SetCamPosition(Vec4(huge, 0, 0, 1));
    EXPECT_EQ(refusal([&] { e.MoveCam(Vec4(huge, 0, 0, 1)); }),
              "MoveCam: the move or the position it leads to is not finite");
    EXPECT_EQ(e.CamPosition(), Vec4(huge, 0, 0, 1));
    e.SetCamPosition(position);

    e.BeginDrawScene(1, false);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(e.GetCamMatrix()[r][c], camera[r][c]) << r << c;
    // The rotation's w is not read and not checked.
    EXPECT_EQ(refusal([&] { e.SetCamRotation(Vec4(0, 30, 0, nan_value)); }), "<accepted>");
}

// A second BuildKdTree covers all geometry added so far and equals the
// build of a fresh store with the same scene.
TEST(SceneStoreKdTree, RebuildEqualsFreshBuild)
{
    const RandomScene scene(17, 120, 30);
    Store twice;
    twice.engine.AddSpheres(scene.spheres.data(), 10);
    scene.add(twice.engine, 0, 60);
    const BuildResult first = BuildResult::of(twice.engine);
    EXPECT_EQ(BuildResult::of(twice.engine).statistics, first.statistics) << "rebuilding nothing new";

    twice.engine.AddSpheres(scene.spheres.data() + 10, 20);
    scene.add(twice.engine, 60, 120);
    const BuildResult second = BuildResult::of(twice.engine);

    Store fresh;
    fresh.engine.AddSpheres(scene.spheres.data(), 30);
    scene.add(fresh.engine, 0, 120);
    expect_same_build(second, BuildResult::of(fresh.engine));
    EXPECT_NE(second.statistics, first.statistics);
    EXPECT_EQ(koru::Engine_Access::kd_tree(twice.engine)->index_count, 120u * 12);
    EXPECT_EQ(koru::Engine_Access::kd_tree(twice.engine)->sphere_count, 30u);
}

TEST(SceneStoreKdTree, EmptySceneBuilds)
{
    Store s;
    const BuildResult r = BuildResult::of(s.engine);
    EXPECT_EQ(r.records.size(), 4u);
    EXPECT_NE(r.statistics.find("\nNodes:                     1\n"), std::string::npos);
}

// A mesh with a vertex at infinity is refused whole; the scene's tree
// comes out as if it had never been offered.
TEST(SceneStoreKdTree, RefusedNonFiniteMeshLeavesTheTreeAsWithout)
{
    const RandomScene scene(29, 40, 5);
    Store offered, clean;
    for (Store* s : {&offered, &clean}) {
        s->engine.AddSpheres(scene.spheres.data(), 5);
        scene.add(s->engine, 0, 20);
    }
    std::vector<Vertex> bad = scene.meshes[20];
    bad[4].pos[1] = inf_value;
    EXPECT_NE(refusal([&] {
                  offered.engine.AddTriangles(bad.data(), static_cast<int>(bad.size()), scene.indices[20].data(),
                                              static_cast<int>(scene.indices[20].size()));
              }),
              "<accepted>");
    for (Store* s : {&offered, &clean})
        scene.add(s->engine, 21, 40);
    const BuildResult a = BuildResult::of(offered.engine);
    expect_same_build(a, BuildResult::of(clean.engine));
    const RAYTR::KdTreeBox& box = koru::Engine_Access::kd_tree(offered.engine)->world_box;
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_TRUE(std::isfinite(box.min[axis]));
        EXPECT_TRUE(std::isfinite(box.max[axis]));
    }
}

// A build that runs out of room for the leaves' object lists fails part-way
// through; the frames keep walking the tree of the last complete build
// instead of a half-made one.
TEST(SceneStoreKdTree, FailedBuildKeepsTheLastTree)
{
    CPU_Ray_Tracer tracer;
    tracer.Init(16, 16);
    TAU_GRAPHICS::MATERIAL<3> m{};
    m.ambient = TAU_MATH::VECTOR<3, float>(0.3f, 0.6f, 0.9f);
    tracer.AddMaterial(m);
    tracer.AddPointLight(light_at(0, 0, 5));
    const Vertex tri[3] = {vertex(-2, -2, 1), vertex(2, -2, 1), vertex(0, 2, 1)};
    const unsigned idx[3] = {0, 1, 2};
    tracer.AddTriangles(tri, 3, idx, 3);
    const BuildResult good = BuildResult::of(tracer);
    tracer.BeginDrawScene(1, false);
    const std::vector<unsigned> frame(tracer.FrameBuffer(), tracer.FrameBuffer() + 16 * 16);

    // A thin slab: thousands of large triangles across all of it, which
    // every leaf must list, and many small ones that make the tree split.
    std::vector<Vertex> slab;
    std::vector<unsigned> slab_idx;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f), thin(-0.01f, 0.01f);
    const auto add = [&](float x0, float y0, float x1, float y1, float x2, float y2, float z) {
        for (const Vertex& v : {vertex(x0, y0, z), vertex(x1, y1, z), vertex(x2, y2, z)}) {
            slab_idx.push_back(static_cast<unsigned>(slab.size()));
            slab.push_back(v);
        }
    };
    for (int k = 0; k < 5000; ++k)
        add(-100, -100, 100, -100, 0, 100, thin(rng));
    for (int k = 0; k < 4000; ++k) {
        const float x = u(rng), y = u(rng);
        add(x, y, x + 0.01f, y, x, y + 0.01f, thin(rng));
    }
    tracer.AddTriangles(slab.data(), static_cast<int>(slab.size()), slab_idx.data(),
                        static_cast<int>(slab_idx.size()));
    Outcome failed;
    testing::internal::CaptureStderr();
    try {
        tracer.BuildKdTree();
        failed.error_class = "<accepted>";
    } catch (const TAU_ERROR::Out_Of_Range& e) {
        failed.message = e.message;
    }
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(failed.message, "KdTree::subdivide: out of memory in obj_list_data")
        << "the slab must overflow the object list for this test to mean anything";

    const RAYTR::KdTree* tree = koru::Engine_Access::kd_tree(tracer);
    const uint32_t* words = reinterpret_cast<const uint32_t*>(tree->nodes);
    EXPECT_EQ(std::vector<uint32_t>(words, words + 2 * tree->node_count), good.node_words);
    EXPECT_EQ(std::vector<unsigned char>(tree->obj_list_data, tree->obj_list_data + tree->obj_list_data_top),
              good.records);
    tracer.BeginDrawScene(1, false);
    EXPECT_EQ(std::vector<unsigned>(tracer.FrameBuffer(), tracer.FrameBuffer() + 16 * 16), frame);
    tracer.Release();
}

} // namespace
