// The scene importer over arbitrary bytes: the first byte picks the format
// (obj, ply, stl, gltf, glb, dae, fbx), the rest is the file, read from
// memory so that nothing else is opened. The scene made from it is handed to
// the engine, built and drawn. Whatever is refused is refused with a
// one-line message, by the importer or by the store, and a refused scene
// leaves the store empty.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/scene_io.h"
#include "fuzz_support.h"

namespace {

const char* const formats[] = {"obj", "ply", "stl", "gltf", "glb", "dae", "fbx"};
const std::size_t n_formats = sizeof formats / sizeof formats[0];

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
    if (size == 0)
        return 0;
    const std::string format = formats[data[0] % n_formats];
    koru::io::Scene scene;
    try {
        scene = koru::io::ReadSceneFromMemory(data + 1, size - 1, format, "fuzz." + format);
    } catch (const koru::io::Load_Error& error) {
        check_message(error.what());
        return 0;
    }
    KORU_FUZZ_CHECK(!scene.indices.empty() && scene.indices.size() % 3 == 0, "a scene without whole triangles");
    KORU_FUZZ_CHECK(!scene.materials.empty(), "a scene without materials");
    for (unsigned index : scene.indices)
        KORU_FUZZ_CHECK(index < scene.vertices.size(), "the importer let a dangling index through");
    for (const auto& v : scene.vertices) {
        KORU_FUZZ_CHECK(v.material_id >= 0 && static_cast<std::size_t>(v.material_id) < scene.materials.size(),
                        "a vertex with a material the scene does not have");
        KORU_FUZZ_CHECK(v.tex_id[0] == TAU_GRAPHICS::kNoTexture || v.tex_id[0] < scene.textures.size(),
                        "a vertex with a texture the scene does not have");
    }

    static koru_fuzz::Engine* engine = [] {
        koru_fuzz::Engine* e = new koru_fuzz::Engine();
        e->Init(8, 8);
        return e;
    }();
    engine->clear_scene();
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = TAU_MATH::VECTOR<4, float>(1.0f, 2.0f, 20.0f, 1.0f);
    engine->AddPointLight(light);
    try {
        koru::io::AddScene(*engine, scene);
    } catch (const TAU_ERROR::Error& error) {
        check_message(error.message);
        KORU_FUZZ_CHECK(engine->VertexCount() == 0 && engine->IndexCount() == 0, "a refused scene was stored");
    }
    try {
        engine->BuildKdTree();
        koru_fuzz::check_tree(*koru::Engine_Access::kd_tree(*engine));
        engine->BeginDrawScene(1, true);
    } catch (const TAU_ERROR::Error& error) {
        check_message(error.message);
        KORU_FUZZ_CHECK(static_cast<std::size_t>(engine->IndexCount() / 3) > koru_fuzz::small_scene_primitives,
                        "a small scene could not be built: " + error.message);
    }
    return 0;
}
