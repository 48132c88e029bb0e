// Sequences of engine calls chosen by the fuzzer's bytes: Init and Release
// in any order, scene additions with odd counts, indices, material ids and
// values (NaN, infinite, huge, negative), lights, textures, the camera, then
// kd-tree builds and small CPU frames. After every call: a refused call left
// the scene and camera exactly as they were, and the store's invariants hold.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

using koru_fuzz::Bytes;
using koru_fuzz::Engine;
using Vec4 = IGraphicsEngine::VECTOR4;

namespace {

constexpr int max_calls = 48;

Vec4 vector_of(Bytes& in)
{
    const float x = in.value(), y = in.value(), z = in.value();
    return Vec4(x, y, z, in.below(4) == 0 ? in.value() : 1.0f);
}

// Frame sizes around the 2 x 2 packets: odd, even, one, none, negative.
int frame_size(Bytes& in)
{
    static const int sizes[] = {1, 2, 3, 4, 5, 8, 9, 16, 0, -1, -640};
    return sizes[in.below(sizeof sizes / sizeof sizes[0])];
}

// Counts mostly small, sometimes at or past the limits, sometimes negative.
int count_of(Bytes& in, int small, int limit)
{
    switch (in.below(16)) {
    case 0: return -static_cast<int>(in.below(3)) - 1;
    case 1: return limit;
    case 2: return limit + 1;
    case 3: return INT32_MAX - static_cast<int>(in.below(2));
    default: return static_cast<int>(in.below(static_cast<unsigned>(small) + 1));
    }
}

int material_id(Bytes& in)
{
    static const int odd[] = {-1, 32, 255, 256, INT32_MIN, INT32_MAX};
    const unsigned k = in.below(32);
    return k < 26 ? static_cast<int>(in.below(32)) : odd[k - 26];
}

void add_triangles(Engine& e, Bytes& in)
{
    // The arrays are as long as the counts say whenever the store could read
    // them; past the limits it must refuse before reading anything.
    const int nv = count_of(in, 12, Common_Graphics_Engine::kMaxVertices);
    const int ni = count_of(in, 24, Common_Graphics_Engine::kMaxIndices);
    const bool past_limits = nv < 0 || ni < 0 || nv > Common_Graphics_Engine::kMaxVertices ||
                             ni > Common_Graphics_Engine::kMaxIndices;
    const std::size_t n_vertices = past_limits ? 0 : static_cast<std::size_t>(nv);
    const std::size_t n_indices = past_limits ? 0 : static_cast<std::size_t>(ni);
    std::vector<IGraphicsEngine::VERTEX> v(std::max<std::size_t>(n_vertices, 1));
    std::vector<unsigned> idx(std::max<std::size_t>(n_indices, 1), 0u);
    const std::size_t n_described = std::min<std::size_t>(n_vertices, 16);
    for (std::size_t k = 0; k < n_described; ++k) {
        v[k].pos = vector_of(in);
        v[k].norm = Vec4(in.value(), in.value(), in.value(), 0.0f);
        v[k].tex_coord = TAU_MATH::VECTOR<2, float>(in.value(), in.value());
        v[k].material_id = material_id(in);
        v[k].tex_id[0] = in.below(3) == 0 ? in.byte() : static_cast<unsigned char>(in.below(9));
    }
    // Long arrays repeat their described part.
    for (std::size_t k = n_described; k < n_vertices; ++k)
        v[k] = v[k % n_described];
    const unsigned index_range = nv > 0 ? static_cast<unsigned>(nv) : 1u;
    for (std::size_t j = 0; j < n_indices; ++j)
        idx[j] = j >= 48 ? idx[j % 48] : in.below(8) == 0 ? in.u32() : in.below(index_range);
    const bool null_vertices = in.below(16) == 0;
    const bool null_indices = in.below(16) == 0;
    e.AddTriangles(null_vertices ? nullptr : v.data(), nv, null_indices ? nullptr : idx.data(), ni);
}

void add_spheres(Engine& e, Bytes& in)
{
    const int n = count_of(in, 4, Common_Graphics_Engine::kMaxSpheres);
    const std::size_t n_spheres = n < 0 || n > Common_Graphics_Engine::kMaxSpheres ? 0 : static_cast<std::size_t>(n);
    std::vector<IGraphicsEngine::SPHERE> s(std::max<std::size_t>(n_spheres, 1));
    for (std::size_t k = 0; k < n_spheres; ++k) {
        if (k < 8) {
            s[k].center = vector_of(in);
            s[k].radius = in.value();
            s[k].radius2 = in.below(2) == 0 ? s[k].radius * s[k].radius : in.value();
            s[k].material_id = material_id(in);
        } else {
            s[k] = s[k % 8];
        }
    }
    e.AddSpheres(in.below(16) == 0 ? nullptr : s.data(), n);
}

IGraphicsEngine::LIGHT light_of(Bytes& in)
{
    IGraphicsEngine::LIGHT light;
    light.pos = vector_of(in);
    if (in.below(2) == 0) {
        light.color = Vec4(in.value(), in.value(), in.value(), 1.0f);
        light.power = in.value();
        light.kc = in.value();
        light.kl = in.value();
        light.kq = in.value();
    }
    return light;
}

void add_texture(Engine& e, Bytes& in)
{
    static const unsigned sizes[] = {1, 2, 3, 7, 0, 1, 2, 0x80000000u, 0xFFFFFFFFu, 65536u};
    const unsigned w = sizes[in.below(sizeof sizes / sizeof sizes[0])];
    const unsigned h = sizes[in.below(sizeof sizes / sizeof sizes[0])];
    // The store reads only sizes it accepts; for those the buffer is whole.
    const uint64_t bytes = static_cast<uint64_t>(w) * h * 4u;
    if (bytes > 4096 && bytes <= UINT32_MAX)
        return; // acceptable, but too large to spend time on
    const std::size_t n_bytes = bytes <= 4096 ? static_cast<std::size_t>(bytes) : 0;
    std::vector<unsigned char> pixels(std::max<std::size_t>(n_bytes, 1), 0);
    for (std::size_t i = 0; i < n_bytes; ++i)
        pixels[i] = i < 64 ? in.byte() : pixels[i % 64];
    const bool null_pixels = in.below(16) == 0;
    e.AddTexture(null_pixels ? nullptr : pixels.data(), w, h, in.u32());
}

IGraphicsEngine::MATRIX4 matrix_of(Bytes& in)
{
    IGraphicsEngine::MATRIX4 m = TAU_MATH::RotationY(in.coordinate());
    const int n_cells = static_cast<int>(in.below(4));
    for (int k = 0; k < n_cells; ++k) {
        const unsigned cell = in.below(16);
        m[cell / 4][cell % 4] = in.value();
    }
    return m;
}

// Every pixel of a CPU frame has a fourth byte of 0: anything else is a
// write from somewhere other than the frame's own packing.
void check_frame(const Engine& e)
{
    const unsigned* frame = e.FrameBuffer();
    if (frame == nullptr)
        return;
    const std::size_t n = static_cast<std::size_t>(e.Width()) * static_cast<std::size_t>(e.Height());
    for (std::size_t i = 0; i < n; ++i)
        KORU_FUZZ_CHECK((frame[i] >> 24) == 0, "pixel " + std::to_string(i));
}

// One call; true when it was refused with an error of the family.
bool call(Engine& e, Bytes& in, bool& drew)
{
    drew = false;
    try {
        switch (in.below(20)) {
        case 0: e.Init(frame_size(in), frame_size(in)); break;
        case 1: e.Release(); break;
        case 2:
        case 3: add_triangles(e, in); break;
        case 4: add_spheres(e, in); break;
        case 5: {
            IGraphicsEngine::MATERIAL m;
            in.read(&m, sizeof m);
            if (in.below(2) == 0)
                m.spec_power = in.value();
            e.AddMaterial(m);
            break;
        }
        case 6: e.AddPointLight(light_of(in)); break;
        case 7: e.SetPointLight(light_of(in), static_cast<int>(in.below(11)) - 1); break;
        case 8: e.GetPointLight(static_cast<int>(in.below(11)) - 1); break;
        case 9: e.GetMaterial(static_cast<int>(in.below(34)) - 1); break;
        case 10: add_texture(e, in); break;
        case 11: e.SetCamPosition(vector_of(in)); break;
        case 12: e.SetCamRotation(Vec4(in.value(), in.value(), in.value(), in.value())); break;
        case 13: e.SetCamDirection(vector_of(in)); break;
        case 14: e.SetCamMatrix(matrix_of(in)); break;
        case 15: e.MoveCam(vector_of(in)); break;
        case 16:
        case 17: e.BuildKdTree(); break;
        case 18:
        case 19:
            e.BeginDrawScene(in.below(7), in.below(2) == 1);
            drew = true;
            KORU_FUZZ_CHECK(e.GetRTCore() == nullptr);
            e.GetCamMatrix();
            break;
        }
    } catch (const TAU_ERROR::Error& error) {
        KORU_FUZZ_CHECK(!error.message.empty(), "a refusal without a message");
        return true;
    }
    return false;
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
    Engine* engine = new Engine();
    for (int k = 0; k < max_calls && !in.empty(); ++k) {
        const std::vector<unsigned char> before = engine->state();
        bool drew = false;
        if (call(*engine, in, drew))
            KORU_FUZZ_CHECK(engine->state() == before, "a refused call changed the scene");
        engine->check_invariants();
        if (drew)
            check_frame(*engine);
    }
    engine->Release();
    delete engine;
    return 0;
}
