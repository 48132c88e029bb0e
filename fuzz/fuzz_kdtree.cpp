// The kd-tree builder on adversarial geometry: coordinates that are not
// finite, huge and tiny scales, triangles that coincide, lie in one plane
// or on axis-aligned sheets, thousands of copies of one triangle, with and
// without spheres. Finite scenes go through the engine as a client would
// (store, build, a small CPU frame); scenes the store refuses go to the
// builder directly, which must still finish with a well-formed tree.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

using koru_fuzz::Bytes;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Sphere = TAU_MATH::SPHERE<4, float>;
using Vec4 = TAU_MATH::VECTOR<4, float>;

namespace {

constexpr unsigned max_triangles = 3000;
constexpr unsigned max_copies = 6000;

struct Scene {
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    std::vector<Sphere> spheres;

    void add_vertex(float x, float y, float z)
    {
        Vertex v;
        v.pos = Vec4(x, y, z, 1.0f);
        v.norm = Vec4(0.0f, 0.0f, 1.0f, 0.0f);
        v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
        v.material_id = 0;
        vertices.push_back(v);
    }
    void add_triangle(const float c[9])
    {
        for (int k = 0; k < 3; ++k) {
            indices.push_back(static_cast<unsigned>(vertices.size()));
            add_vertex(c[3 * k], c[3 * k + 1], c[3 * k + 2]);
        }
    }
    bool finite() const
    {
        for (const Vertex& v : vertices)
            for (int a = 0; a < 3; ++a)
                if (!std::isfinite(v.pos[a]))
                    return false;
        for (const Sphere& s : spheres)
            for (int a = 0; a < 3; ++a)
                if (!std::isfinite(s.center[a]) || !std::isfinite(s.radius) || !std::isfinite(s.radius2))
                    return false;
        return true;
    }
    // Whether the builder's sums of the scene's coordinates (centres, box
    // bounds and extents) can leave the float range: only when the largest
    // coordinate times the number of primitives reaches it.
    bool sums_may_overflow() const
    {
        double largest = 0.0;
        for (unsigned i : indices)
            for (int a = 0; a < 3; ++a)
                largest = std::max(largest, std::fabs(static_cast<double>(vertices[i].pos[a])));
        for (const Sphere& s : spheres)
            for (int a = 0; a < 3; ++a)
                largest = std::max(largest, std::fabs(static_cast<double>(s.center[a])) +
                                                std::fabs(static_cast<double>(s.radius)));
        const double n = std::max(2.0, static_cast<double>(indices.size() / 3 + spheres.size()));
        return largest * n * 1.001 >= static_cast<double>(FLT_MAX);
    }
};

float scale_of(Bytes& in)
{
    static const float scales[] = {1.0f, 1e-30f, 1e-10f, 1e-3f, 1e3f, 1e10f, 1e30f, 3e38f, 1e-38f};
    return scales[in.below(sizeof scales / sizeof scales[0])];
}

void make_scene(Bytes& in, Scene& scene)
{
    const unsigned mode = in.below(6);
    const float scale = scale_of(in);
    const unsigned n = 1 + (in.u32() % max_triangles);
    float c[9];
    switch (mode) {
    case 0: // any values at all
        for (unsigned t = 0; t < n && !in.empty(); ++t) {
            for (float& x : c)
                x = in.value() * scale;
            scene.add_triangle(c);
        }
        break;
    case 1: // all corners in one point, or all triangles the same
        for (float& x : c)
            x = in.coordinate() * scale;
        if (in.below(2) == 0)
            c[3] = c[6] = c[0], c[4] = c[7] = c[1], c[5] = c[8] = c[2];
        for (unsigned t = 0; t < n; ++t)
            scene.add_triangle(c);
        break;
    case 2: // all in one plane through the origin, tilted or not
    {
        const float nx = in.coordinate(), ny = in.coordinate(), nz = in.below(2) == 0 ? 0.0f : 1.0f;
        for (unsigned t = 0; t < n && !in.empty(); ++t) {
            for (int k = 0; k < 3; ++k) {
                const float u = in.coordinate(), v = in.coordinate();
                c[3 * k] = u * scale;
                c[3 * k + 1] = v * scale;
                c[3 * k + 2] = (nx * u + ny * v) * nz * scale;
            }
            scene.add_triangle(c);
        }
        break;
    }
    case 3: // axis-aligned sheets at a few positions
    {
        const float planes[4] = {in.coordinate() * scale, in.coordinate() * scale, 0.0f, in.value()};
        for (unsigned t = 0; t < n && !in.empty(); ++t) {
            const int axis = static_cast<int>(in.below(3));
            const float at = planes[in.below(4)];
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    c[3 * k + a] = a == axis ? at : in.coordinate() * scale;
            scene.add_triangle(c);
        }
        break;
    }
    case 4: // thousands of copies of one triangle, shared or separate vertices
    {
        for (float& x : c)
            x = in.value() * scale;
        const unsigned copies = 1000 + in.u32() % max_copies;
        const bool shared = in.below(2) == 0;
        scene.add_triangle(c);
        for (unsigned t = 1; t < copies; ++t) {
            if (shared) {
                for (unsigned k = 0; k < 3; ++k)
                    scene.indices.push_back(k);
            } else {
                scene.add_triangle(c);
            }
        }
        break;
    }
    case 5: // ordinary triangles at one scale, some corners replaced
        for (unsigned t = 0; t < n && !in.empty(); ++t) {
            for (float& x : c)
                x = in.coordinate() * scale;
            if (in.below(8) == 0)
                c[in.below(9)] = in.value();
            scene.add_triangle(c);
        }
        break;
    }
    const unsigned n_spheres = in.below(4) == 0 ? in.below(64) : 0;
    for (unsigned k = 0; k < n_spheres; ++k) {
        Sphere s{};
        s.center = Vec4(in.coordinate() * scale, in.coordinate() * scale, in.coordinate() * scale, 1.0f);
        s.radius = in.below(4) == 0 ? in.value() : std::fabs(in.coordinate()) * scale;
        s.radius2 = s.radius * s.radius;
        s.material_id = 0;
        scene.spheres.push_back(s);
    }
}

// Through the engine: the store accepts finite scenes within its limits.
void through_engine(const Scene& scene, Bytes& in)
{
    static koru_fuzz::Engine* engine = [] {
        koru_fuzz::Engine* e = new koru_fuzz::Engine();
        e->Init(8, 8);
        return e;
    }();
    engine->clear_scene();
    TAU_GRAPHICS::MATERIAL<3> material{};
    material.ambient = TAU_MATH::VECTOR<3, float>(0.2f, 0.2f, 0.2f);
    material.diffuse = TAU_MATH::VECTOR<3, float>(0.8f, 0.8f, 0.8f);
    engine->AddMaterial(material);
    TAU_GRAPHICS::Point_Light<4, float> light;
    const auto small = [&in] { return static_cast<float>(static_cast<int8_t>(in.byte())) * 0.25f; };
    light.pos = Vec4(small(), small(), small(), 1.0f);
    engine->AddPointLight(light);
    const RAYTR::KdTree* previous_tree = koru::Engine_Access::kd_tree(*engine);
    try {
        if (!scene.spheres.empty())
            engine->AddSpheres(scene.spheres.data(), static_cast<int>(scene.spheres.size()));
        engine->AddTriangles(scene.vertices.data(), static_cast<int>(scene.vertices.size()), scene.indices.data(),
                             static_cast<int>(scene.indices.size()));
        engine->BuildKdTree();
        koru_fuzz::check_tree(*koru::Engine_Access::kd_tree(*engine));
        // Look at the scene from outside its box, and from its middle.
        const RAYTR::KdTreeBox& box = koru::Engine_Access::kd_tree(*engine)->world_box;
        Vec4 eye(0.0f, 0.0f, 0.0f, 1.0f);
        for (int a = 0; a < 3; ++a)
            eye[a] = box.min[a] * 0.5f + box.max[a] * 0.5f;
        if (in.below(2) == 0)
            eye[2] = box.max[2] + (box.max[2] - box.min[2]) + 1.0f;
        if (std::isfinite(eye[0]) && std::isfinite(eye[1]) && std::isfinite(eye[2])) {
            engine->SetCamPosition(eye);
            engine->SetCamRotation(Vec4(small() * 4.0f, small() * 4.0f, 0.0f, 0.0f));
        }
        engine->BeginDrawScene(1, true);
    } catch (const TAU_ERROR::Error& error) {
        // The builder's own limits may refuse a large scene; the store then
        // keeps the tree it had.
        KORU_FUZZ_CHECK(!error.message.empty());
        // A scene whose coordinates are too large to add up is refused by
        // name; any other small scene must build.
        if (error.message.find("overflow a float") != std::string::npos)
            KORU_FUZZ_CHECK(scene.sums_may_overflow(), "a scene of modest coordinates was refused: " + error.message);
        else
            KORU_FUZZ_CHECK(scene.indices.size() / 3 + scene.spheres.size() > koru_fuzz::small_scene_primitives,
                            "a small scene was refused: " + error.message);
        KORU_FUZZ_CHECK(koru::Engine_Access::kd_tree(*engine) == previous_tree, "a failed build replaced the tree");
    }
}

// Straight to the builder, values the store would refuse included.
void through_builder(const Scene& scene)
{
    static RAYTR::KdTree* tree = new RAYTR::KdTree();
    tree->SetVertices(scene.vertices.data(), static_cast<uint32_t>(scene.vertices.size()));
    tree->SetIndices(scene.indices.data(), static_cast<uint32_t>(scene.indices.size()));
    tree->SetSpheres(scene.spheres.data(), static_cast<uint32_t>(scene.spheres.size()));
    try {
        tree->Build();
    } catch (const TAU_ERROR::Error& error) {
        KORU_FUZZ_CHECK(!error.message.empty());
        return;
    }
    koru_fuzz::check_tree(*tree);
}

// With KORU_FUZZ_VERBOSE set, what an input made, for reading a finding.
void describe(const Scene& scene)
{
    if (std::getenv("KORU_FUZZ_VERBOSE") == nullptr)
        return;
    std::printf("%zu triangles, %zu spheres\n", scene.indices.size() / 3, scene.spheres.size());
    for (std::size_t t = 0; t < scene.indices.size() / 3 && t < 12; ++t) {
        std::printf("triangle %zu:", t);
        for (int k = 0; k < 3; ++k) {
            const Vec4& p = scene.vertices[scene.indices[3 * t + k]].pos;
            std::printf(" (%g, %g, %g)", p[0], p[1], p[2]);
        }
        std::printf("\n");
    }
    for (std::size_t k = 0; k < scene.spheres.size() && k < 12; ++k)
        std::printf("sphere %zu: (%g, %g, %g) r %g\n", k, scene.spheres[k].center[0], scene.spheres[k].center[1],
                    scene.spheres[k].center[2], scene.spheres[k].radius);
    std::fflush(stdout);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    koru_fuzz::quiet_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    Scene scene;
    make_scene(in, scene);
    describe(scene);
    if (scene.finite() && scene.vertices.size() <= static_cast<std::size_t>(Common_Graphics_Engine::kMaxVertices) &&
        scene.spheres.size() <= static_cast<std::size_t>(Common_Graphics_Engine::kMaxSpheres))
        through_engine(scene, in);
    else
        through_builder(scene);
    return 0;
}
