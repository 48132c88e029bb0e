// The plain OBJ read of the tools: tinyobjloader's parse of arbitrary text,
// the mesh made from it, and the mesh handed to the engine, built and drawn.
// Whatever is refused is refused with a one-line message, by the loader or
// by the store, and a refused mesh leaves the store empty.
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fuzz_support.h"
#include "io/obj.h"

namespace {

void check_message(const std::string& message)
{
    KORU_FUZZ_CHECK(!message.empty(), "a refusal without a message");
    KORU_FUZZ_CHECK(message.find('\n') == std::string::npos, "a message of more than one line");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    koru_fuzz::quiet_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    koru::io::Plain_Mesh mesh;
    try {
        // mtllib lines name files; none are read here.
        mesh = koru::io::LoadPlainMesh(text, "fuzz.obj");
    } catch (const std::runtime_error& error) {
        check_message(error.what());
        return 0;
    }
    for (unsigned index : mesh.indices)
        KORU_FUZZ_CHECK(index < mesh.vertices.size(), "the loader let a dangling index through");

    static koru_fuzz::Engine* engine = [] {
        koru_fuzz::Engine* e = new koru_fuzz::Engine();
        e->Init(8, 8);
        return e;
    }();
    engine->clear_scene();
    TAU_GRAPHICS::MATERIAL<3> material{};
    material.ambient = TAU_MATH::VECTOR<3, float>(0.5f, 0.5f, 0.5f);
    engine->AddMaterial(material);
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = TAU_MATH::VECTOR<4, float>(1.0f, 2.0f, 20.0f, 1.0f);
    engine->AddPointLight(light);
    try {
        koru::io::AddPlainMesh(*engine, mesh);
    } catch (const TAU_ERROR::Error& error) {
        check_message(error.message);
        KORU_FUZZ_CHECK(engine->VertexCount() == 0 && engine->IndexCount() == 0, "a refused mesh was stored");
    }
    try {
        engine->BuildKdTree();
        koru_fuzz::check_tree(*koru::Engine_Access::kd_tree(*engine));
        engine->BeginDrawScene(1, true);
    } catch (const TAU_ERROR::Error& error) {
        check_message(error.message);
        KORU_FUZZ_CHECK(static_cast<std::size_t>(engine->IndexCount() / 3) > koru_fuzz::small_scene_primitives,
                        "a small mesh could not be built: " + error.message);
    }
    return 0;
}
