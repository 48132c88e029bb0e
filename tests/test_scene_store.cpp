// Scene store: limits and their messages, index rebasing, refused input,
// misuse of the lifecycle, camera matrices, and rebuilding the kd-tree.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "engine/engines.h"
#include "store/engine_access.h"
#include "engine/graphics_engine.h"
#include "engine/tau_error.h"
#include "kdtree/kdtree.h"

namespace {

using Vec4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Sphere = TAU_MATH::SPHERE<4, float>;
using Matrix = TAU_MATH::MATRIX<4, 4, float>;

// The store alone; exposes the per-frame camera rebuild.
class store_engine : public Common_Graphics_Engine {
public:
    void BeginDrawScene(unsigned, bool) override { UpdateCamMatrices(); }
    void EndDrawScene() override {}
};

// An initialised store, released at the end of the test.
struct Store {
    store_engine engine;
    Store() { engine.Init(4, 4); }
    ~Store() { engine.Release(); }
};

Vertex vertex(float x, float y, float z, int material = 0)
{
    Vertex v;
    v.pos = Vec4(x, y, z, 1.0f);
    v.norm = Vec4(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = material;
    return v;
}

Sphere sphere(float x, float y, float z, float r, int material = 0)
{
    Sphere s{};
    s.center = Vec4(x, y, z, 1.0f);
    s.radius = r;
    s.radius2 = r * r;
    s.material_id = material;
    return s;
}

// The message of the Out_Of_Range the call throws, or a marker.
std::string refusal(const std::function<void()>& call)
{
    testing::internal::CaptureStderr(); // the error announces itself
    std::string text = "<accepted>";
    try {
        call();
    } catch (const TAU_ERROR::Out_Of_Range& e) {
        text = e.message;
    }
    testing::internal::GetCapturedStderr();
    return text;
}

// How a call was refused: the dynamic class of the error of the family it
// threw and its message, or "<accepted>".
struct Outcome {
    std::string error_class;
    std::string message;
};

Outcome outcome_of(const std::function<void()>& call)
{
    testing::internal::CaptureStderr();
    Outcome o{"<accepted>", ""};
    try {
        call();
    } catch (const TAU_ERROR::Error& e) {
        o.error_class = typeid(e) == typeid(TAU_ERROR::Out_Of_Range) ? "Out_Of_Range"
                        : typeid(e) == typeid(TAU_ERROR::Error)      ? "Error"
                                                                     : typeid(e).name();
        o.message = e.message;
    }
    testing::internal::GetCapturedStderr();
    return o;
}

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

} // namespace

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_value = std::numeric_limits<float>::infinity();

TAU_GRAPHICS::Point_Light<4, float> light_at(float x, float y, float z)
{
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = Vec4(x, y, z, 1.0f);
    return light;
}

// Everything a refused call must leave as it was.
struct StoreSnapshot {
    int vertices, indices, spheres;
    std::vector<unsigned char> vertex_bytes;
    std::vector<unsigned> index_words;

    explicit StoreSnapshot(const Common_Graphics_Engine& e)
        : vertices(e.VertexCount()), indices(e.IndexCount()), spheres(e.SphereCount()),
          vertex_bytes(reinterpret_cast<const unsigned char*>(e.Vertices()),
                       reinterpret_cast<const unsigned char*>(e.Vertices() + e.VertexCount())),
          index_words(e.Indices(), e.Indices() + e.IndexCount())
    {
    }
    bool operator==(const StoreSnapshot& o) const
    {
        return vertices == o.vertices && indices == o.indices && spheres == o.spheres &&
               vertex_bytes == o.vertex_bytes && index_words == o.index_words;
    }
};

// Every scene operation of the interface, as a client would call it.
std::vector<std::pair<std::string, std::function<void(IGraphicsEngine&)>>> scene_operations()
{
    static const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    static const unsigned idx[3] = {0, 1, 2};
    static const Sphere ball = sphere(0, 0, 0, 1);
    static const unsigned char pixels[4] = {1, 2, 3, 4};
    return {
        {"BuildKdTree", [](IGraphicsEngine& e) { e.BuildKdTree(); }},
        {"AddPointLight", [](IGraphicsEngine& e) { e.AddPointLight(light_at(0, 0, 0)); }},
        {"AddMaterial", [](IGraphicsEngine& e) { e.AddMaterial(TAU_GRAPHICS::MATERIAL<3>{}); }},
        {"AddTriangles", [](IGraphicsEngine& e) { e.AddTriangles(tri, 3, idx, 3); }},
        {"AddSpheres", [](IGraphicsEngine& e) { e.AddSpheres(&ball, 1); }},
        {"AddTexture", [](IGraphicsEngine& e) { e.AddTexture(pixels, 1, 1, 0); }},
        {"SetPointLight", [](IGraphicsEngine& e) { e.SetPointLight(light_at(0, 0, 0), 0); }},
        {"GetPointLight", [](IGraphicsEngine& e) { e.GetPointLight(0); }},
        {"GetMaterial", [](IGraphicsEngine& e) { e.GetMaterial(0); }},
    };
}

// Before Init and after Release the store holds no arrays: every scene
// operation is refused with an Error that names it, instead of writing
// through a null pointer.
TEST(SceneStoreLifecycle, SceneOperationsNeedInit)
{
    store_engine never_initialised;
    store_engine released;
    released.Init(4, 4);
    released.Release();
    for (store_engine* engine : {&never_initialised, &released})
        for (const auto& op : scene_operations()) {
            const Outcome o = outcome_of([&] { op.second(*engine); });
            EXPECT_EQ(o.error_class, "Error") << op.first;
            EXPECT_EQ(o.message, op.first + ": Init must come first");
        }
    // The camera needs no storage.
    EXPECT_EQ(outcome_of([&] { never_initialised.SetCamPosition(Vec4(1, 2, 3, 1)); }).error_class, "<accepted>");
}

// Release leaves an engine that holds nothing, may come twice or before
// Init, and a new Init starts an empty scene.
TEST(SceneStoreLifecycle, ReleaseTwiceAndInitAgain)
{
    store_engine never;
    never.Release();
    never.Release();

    store_engine e;
    e.Init(6, 4);
    const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned idx[3] = {0, 1, 2};
    e.AddTriangles(tri, 3, idx, 3);
    e.Release();
    EXPECT_EQ(e.FrameBuffer(), nullptr);
    EXPECT_EQ(e.Width(), 0) << "a frame after Release must not draw the old size from no buffer";
    EXPECT_EQ(e.Height(), 0);
    EXPECT_EQ(e.VertexCount(), 0);
    EXPECT_EQ(e.IndexCount(), 0);
    e.Release();

    e.Init(2, 2);
    EXPECT_EQ(e.Width(), 2);
    EXPECT_EQ(e.VertexCount(), 0);
    const auto first = e.AddTriangles(tri, 3, idx, 3);
    EXPECT_EQ(first[0], 0u);
    e.Release();
}

// A second Init would drop the scene and leak the first arrays; it is
// refused and the scene, frame and tree stay.
TEST(SceneStoreLifecycle, SecondInitIsRefused)
{
    Store s;
    const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned idx[3] = {0, 1, 2};
    s.engine.AddTriangles(tri, 3, idx, 3);
    const unsigned* frame = s.engine.FrameBuffer();
    const StoreSnapshot before(s.engine);
    for (int size : {4, 8}) {
        const Outcome o = outcome_of([&] { s.engine.Init(size, size); });
        EXPECT_EQ(o.error_class, "Error");
        EXPECT_EQ(o.message, "Init: the engine is already initialised; Release must come first");
    }
    EXPECT_TRUE(StoreSnapshot(s.engine) == before);
    EXPECT_EQ(s.engine.FrameBuffer(), frame);
    EXPECT_EQ(s.engine.Width(), 4);

    CPU_Ray_Tracer tracer;
    tracer.Init(4, 4);
    EXPECT_EQ(outcome_of([&] { tracer.Init(16, 16); }).error_class, "Error");
    EXPECT_EQ(tracer.Width(), 4);
    tracer.BeginDrawScene(1, false); // still the 4 x 4 frame it has rays for
    tracer.Release();
}

// A null array with a positive count is refused, nothing stored; with a
// count of 0 there is nothing to read and the call is accepted.
TEST(SceneStoreRefusals, NullArrays)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned idx[3] = {0, 1, 2};
    const struct {
        std::function<void()> call;
        const char* message;
    } cases[] = {
        {[&] { e.AddTriangles(nullptr, 3, idx, 3); }, "AddTriangles: the vertex array is null"},
        {[&] { e.AddTriangles(tri, 3, nullptr, 3); }, "AddTriangles: the index array is null"},
        {[&] { e.AddSpheres(nullptr, 2); }, "AddSpheres: the sphere array is null"},
        {[&] { e.AddTexture(nullptr, 2, 2, 0); }, "AddTexture: the pixel array is null"},
    };
    for (const auto& c : cases) {
        const Outcome o = outcome_of(c.call);
        EXPECT_EQ(o.error_class, "Out_Of_Range") << c.message;
        EXPECT_EQ(o.message, c.message);
    }
    EXPECT_EQ(s.engine.VertexCount(), 0);
    EXPECT_EQ(s.engine.SphereCount(), 0);

    EXPECT_EQ(outcome_of([&] { e.AddTriangles(nullptr, 0, nullptr, 0); }).error_class, "<accepted>");
    EXPECT_EQ(outcome_of([&] { e.AddSpheres(nullptr, 0); }).error_class, "<accepted>");
    const unsigned char pixel[4] = {};
    EXPECT_EQ(e.AddTexture(pixel, 1, 1, 0), 0u) << "the refused texture took no slot";
}

// Counts near INT_MAX must not wrap the limit checks around.
TEST(SceneStoreRefusals, HugeCountsDoNotOverflowTheLimits)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const Vertex tri[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned idx[3] = {0, 1, 2};
    e.AddTriangles(tri, 3, idx, 3);
    const Sphere ball = sphere(0, 0, 0, 1);
    e.AddSpheres(&ball, 1);
    EXPECT_EQ(refusal([&] { e.AddTriangles(tri, INT_MAX, idx, 3); }), "Too many vertices");
    EXPECT_EQ(refusal([&] { e.AddTriangles(tri, 3, idx, INT_MAX); }), "Too many indices");
    EXPECT_EQ(refusal([&] { e.AddSpheres(&ball, INT_MAX); }), "Too many spheres");
    EXPECT_EQ(refusal([&] { e.AddTriangles(tri, INT_MIN, idx, 3); }), "Too many vertices");
    EXPECT_EQ(s.engine.VertexCount(), 3);
    EXPECT_EQ(s.engine.SphereCount(), 1);
}

// A texture without pixels used to be stored, and the first frame that
// sampled it divided by its size. Empty textures and those whose byte
// count does not fit in 32 bits are refused; the slot stays free.
TEST(SceneStoreTextures, EmptyAndOversizedAreRefused)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const unsigned char pixels[16] = {};
    const struct {
        unsigned w, h;
        const char* message;
    } cases[] = {
        {0, 0, "AddTexture: a texture needs at least one pixel, not 0 x 0"},
        {0, 4, "AddTexture: a texture needs at least one pixel, not 0 x 4"},
        {4, 0, "AddTexture: a texture needs at least one pixel, not 4 x 0"},
        {65536, 16384, "AddTexture: a texture of 65536 x 16384 pixels is larger than 4 GiB"},
        {0x80000000u, 1, "AddTexture: a texture of 2147483648 x 1 pixels is larger than 4 GiB"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, "AddTexture: a texture of 4294967295 x 4294967295 pixels is larger than 4 GiB"},
    };
    for (const auto& c : cases) {
        const Outcome o = outcome_of([&] { e.AddTexture(pixels, c.w, c.h, 0); });
        EXPECT_EQ(o.error_class, "Out_Of_Range") << c.w << " x " << c.h;
        EXPECT_EQ(o.message, c.message);
    }
    EXPECT_EQ(e.AddTexture(pixels, 2, 2, 0), 0u);
}

// The fault as a user met it: a textured triangle over a texture slot whose
// texture was refused renders untextured instead of ending the process.
TEST(SceneStoreTextures, FrameAfterARefusedEmptyTexture)
{
    CPU_Ray_Tracer tracer;
    tracer.Init(8, 8);
    TAU_GRAPHICS::MATERIAL<3> m{};
    m.ambient = TAU_MATH::VECTOR<3, float>(0.5f, 0.5f, 0.5f);
    tracer.AddMaterial(m);
    tracer.AddPointLight(light_at(0, 0, 5));
    const unsigned char none[4] = {};
    EXPECT_EQ(outcome_of([&] { tracer.AddTexture(none, 0, 0, 0); }).error_class, "Out_Of_Range");
    Vertex tri[3] = {vertex(-5, -5, 0), vertex(5, -5, 0), vertex(0, 5, 0)};
    for (Vertex& v : tri)
        v.tex_id[0] = 0;
    const unsigned idx[3] = {0, 1, 2};
    tracer.AddTriangles(tri, 3, idx, 3);
    testing::internal::CaptureStderr();
    tracer.BuildKdTree();
    testing::internal::GetCapturedStderr();
    tracer.BeginDrawScene(1, false);
    EXPECT_EQ(tracer.FrameBuffer()[4 * 8 + 4] & 0xFFFFFFu, 0x7F7F7Fu) << "ambient 0.5, untextured";
    tracer.Release();
}

// Coordinates that are not finite would spoil the world box and the tree
// for the whole scene; they are refused, whichever part of the vertex or
// sphere holds them, and nothing of the call is stored.
TEST(SceneStoreRefusals, NonFiniteGeometry)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    const Vertex good[3] = {vertex(0, 0, 0), vertex(1, 0, 0), vertex(0, 1, 0)};
    const unsigned idx[3] = {0, 1, 2};
    e.AddTriangles(good, 3, idx, 3);
    const Sphere ball = sphere(0, 0, 0, 1);
    e.AddSpheres(&ball, 1);
    const StoreSnapshot before(s.engine);

    for (float bad : {nan_value, inf_value, -inf_value}) {
        for (int part = 0; part < 8; ++part) {
            Vertex tri[3] = {good[0], good[1], good[2]};
            Vertex& v = tri[2];
            const char* field = part < 3 ? "position" : part < 6 ? "normal" : "texture coordinate";
            if (part < 3)
                v.pos[part] = bad;
            else if (part < 6)
                v.norm[part - 3] = bad;
            else
                v.tex_coord[part - 6] = bad;
            EXPECT_EQ(refusal([&] { e.AddTriangles(tri, 3, idx, 3); }),
                      std::string("AddTriangles: vertex 2 has a ") + field + " that is not finite")
                << bad << " in part " << part;
        }
        for (int part = 0; part < 5; ++part) {
            Sphere two[2] = {ball, ball};
            if (part < 3)
                two[1].center[part] = bad;
            else if (part == 3)
                two[1].radius = bad;
            else
                two[1].radius2 = bad;
            EXPECT_EQ(refusal([&] { e.AddSpheres(two, 2); }),
                      "AddSpheres: sphere 1 has a centre or radius that is not finite")
                << bad << " in part " << part;
        }
    }
    EXPECT_TRUE(StoreSnapshot(s.engine) == before);

    // The homogeneous w is not read by anything and not checked.
    Vertex w_nan[3] = {good[0], good[1], good[2]};
    w_nan[0].pos[3] = nan_value;
    EXPECT_EQ(refusal([&] { e.AddTriangles(w_nan, 3, idx, 3); }), "<accepted>");
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

TEST(SceneStoreRefusals, NonFiniteLights)
{
    Store s;
    IGraphicsEngine& e = s.engine;
    e.AddPointLight(light_at(1, 2, 3));
    using Light = TAU_GRAPHICS::Point_Light<4, float>;
    const std::vector<std::function<void(Light&)>> spoil = {
        [](Light& l) { l.pos[0] = nan_value; },   [](Light& l) { l.pos[2] = inf_value; },
        [](Light& l) { l.color[1] = nan_value; }, [](Light& l) { l.power = inf_value; },
        [](Light& l) { l.kc = nan_value; },       [](Light& l) { l.kl = -inf_value; },
        [](Light& l) { l.kq = nan_value; },
    };
    for (std::size_t k = 0; k < spoil.size(); ++k) {
        Light l = light_at(4, 5, 6);
        spoil[k](l);
        EXPECT_EQ(refusal([&] { e.AddPointLight(l); }), "AddPointLight: the light has a value that is not finite")
            << k;
        EXPECT_EQ(refusal([&] { e.SetPointLight(l, 0); }), "SetPointLight: the light has a value that is not finite")
            << k;
    }
    EXPECT_EQ(e.GetPointLight(0).pos, Vec4(1, 2, 3, 1));
    EXPECT_EQ(refusal([&] { e.GetPointLight(1); }), "No point light with this index");
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

// Triangles without area never produce hits, at any scale: coincident
// corners, corners on a line, and a line through the camera's view.
TEST(SceneStoreDegenerate, TrianglesWithoutAreaAreNeverHit)
{
    for (float scale : {1e-3f, 1.0f, 1e3f, 1e6f}) {
        CPU_Ray_Tracer tracer;
        tracer.Init(32, 32);
        TAU_GRAPHICS::MATERIAL<3> m{};
        m.ambient = TAU_MATH::VECTOR<3, float>(1.0f, 1.0f, 1.0f);
        tracer.AddMaterial(m);
        tracer.AddPointLight(light_at(0, 0, 5));
        tracer.SetCamPosition(Vec4(0.0f, 0.0f, 3.0f * scale, 1.0f));
        std::vector<Vertex> v;
        std::vector<unsigned> idx;
        const auto add = [&](Vec4 a, Vec4 b, Vec4 c) {
            for (const Vec4& p : {a, b, c}) {
                idx.push_back(static_cast<unsigned>(v.size()));
                v.push_back(vertex(p[0] * scale, p[1] * scale, p[2] * scale));
            }
        };
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (int k = 0; k < 50; ++k) {
            const Vec4 a(u(rng), u(rng), u(rng), 1.0f), b(u(rng), u(rng), u(rng), 1.0f);
            const float t = u(rng);
            add(a, a, a);                                         // a point
            add(a, b, a);                                         // two corners in one
            add(a, b, Vec4(a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2]), 1.0f));
        }
        // Lines straight across the middle of the view.
        add(Vec4(-1, 0, 0, 1), Vec4(1, 0, 0, 1), Vec4(0, 0, 0, 1));
        add(Vec4(0, -1, 0, 1), Vec4(0, 1, 0, 1), Vec4(0, 0.5f, 0, 1));
        tracer.AddTriangles(v.data(), static_cast<int>(v.size()), idx.data(), static_cast<int>(idx.size()));
        testing::internal::CaptureStderr();
        tracer.BuildKdTree();
        testing::internal::GetCapturedStderr();
        tracer.BeginDrawScene(1, false);
        int lit = 0;
        for (int i = 0; i < 32 * 32; ++i)
            lit += (tracer.FrameBuffer()[i] & 0xFFFFFFu) != 0;
        EXPECT_EQ(lit, 0) << "scale " << scale;
        tracer.Release();
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
