// Scene store: misuse of the lifecycle, refused input (null arrays, huge
// counts, values that are not finite, empty textures), and triangles
// without area.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <functional>
#include <random>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "scene_store_test_support.h"
#include "engine/engines.h"
#include "engine/graphics_engine.h"
#include "engine/tau_error.h"

namespace {

using namespace scene_store_test;

// Runs the call and says how it was refused.

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

// A frame too large to hold fails Init with std::bad_alloc and leaves the
// engine as it was, so that a smaller Init and its frames can follow.
TEST(SceneStoreLifecycle, FrameTooLargeLeavesTheEngineAsItWas)
{
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    if (options == nullptr || std::strstr(options, "allocator_may_return_null=1") == nullptr)
        GTEST_SKIP() << "AddressSanitizer ends the process on an impossible allocation; "
                        "run with ASAN_OPTIONS=allocator_may_return_null=1 to check it";
#endif
    CPU_Ray_Tracer tracer;
    const IGraphicsEngine::VECTOR4 position = tracer.CamPosition();
    EXPECT_THROW(tracer.Init(INT_MAX, INT_MAX), std::bad_alloc);
    EXPECT_EQ(tracer.FrameBuffer(), nullptr);
    EXPECT_EQ(tracer.Width(), 0);
    EXPECT_EQ(tracer.Height(), 0);
    EXPECT_EQ(tracer.CamPosition(), position);
    tracer.BeginDrawScene(1, true); // no frame: nothing to draw, nothing touched

    tracer.Init(5, 3);
    const Vertex tri[3] = {vertex(-20, -20, 0), vertex(20, -20, 0), vertex(0, 20, 0)};
    const unsigned idx[3] = {0, 1, 2};
    tracer.AddTriangles(tri, 3, idx, 3);
    tracer.BuildKdTree();
    tracer.BeginDrawScene(1, true);
    EXPECT_EQ(tracer.LastFrameStats().primary_rays, 3u * 2u * 4u);
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

} // namespace
