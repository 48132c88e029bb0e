// A textured floor and a tetrahedron, lit by one point light, rendered with
// the CPU engine into memory and written as a PNG: no window, no X server.
// Given a scene file (OBJ, PLY, STL, glTF, Collada, FBX), it stands on the
// floor in the tetrahedron's place.
//   render_png [OUT.png [SCENE]]
#include <koru/engine/engines.h>
#include <koru/engine/png_file.h>
#include <koru/engine/scene_io.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using V4 = IGraphicsEngine::VECTOR4;

static IGraphicsEngine::VERTEX vertex(float x, float y, float z, float nx, float ny, float nz, float u, float v,
                                      unsigned char texture)
{
    IGraphicsEngine::VERTEX p;
    p.pos = V4(x, y, z, 1.0f);
    p.norm = V4(nx, ny, nz, 0.0f);
    p.tex_coord = TAU_MATH::VECTOR<2, float>(u, v);
    p.material_id = 0;
    p.tex_id[0] = texture; // TAU_GRAPHICS::kNoTexture: plain colour
    return p;
}

int main(int argc, char** argv)
{
    const char* out = argc > 1 ? argv[1] : "koru_example.png";
    const char* scene_file = argc > 2 ? argv[2] : nullptr;
    const int width = 320, height = 240;
    // Engines are 16-byte aligned objects made with new; Release comes before delete.
    CPU_Ray_Tracer* tracer = new CPU_Ray_Tracer();
    IGraphicsEngine* engine = tracer;
    int status = 0;
    try {
        // Read the scene first: a file that can not be read costs no engine.
        koru::io::Scene scene;
        if (scene_file != nullptr)
            scene = koru::io::ReadScene(scene_file);
        engine->Init(width, height);

        IGraphicsEngine::LIGHT light; // white
        light.pos = V4(2.0f, 4.0f, 4.0f, 1.0f);
        engine->AddPointLight(light);

        IGraphicsEngine::MATERIAL material{};
        material.ambient = TAU_MATH::VECTOR<3, float>(0.2f, 0.2f, 0.2f);
        material.diffuse = TAU_MATH::VECTOR<3, float>(0.8f, 0.8f, 0.8f);
        material.specular = TAU_MATH::VECTOR<3, float>(0.5f, 0.5f, 0.5f);
        material.spec_power = 30.0f;
        engine->AddMaterial(material); // the first material: index 0

        // A checkerboard: 4 bytes per pixel (R, G, B, unused), bottom row first.
        std::vector<unsigned char> checks(64 * 64 * 4);
        for (int i = 0; i < 64 * 64; ++i) {
            const bool dark = ((i % 64) / 8 + (i / 64) / 8) % 2 != 0;
            checks[4 * i + 0] = dark ? 40 : 230;
            checks[4 * i + 1] = dark ? 60 : 200;
            checks[4 * i + 2] = dark ? 160 : 120;
        }
        const unsigned texture = engine->AddTexture(checks.data(), 64, 64, 0);

        const unsigned char t = static_cast<unsigned char>(texture), none = TAU_GRAPHICS::kNoTexture;
        const IGraphicsEngine::VERTEX vertices[] = {
            vertex(-4, -1, -4, 0, 1, 0, 0, 0, t), vertex(-4, -1, 4, 0, 1, 0, 0, 2, t),
            vertex(4, -1, 4, 0, 1, 0, 2, 2, t), vertex(4, -1, -4, 0, 1, 0, 2, 0, t),
            // A tetrahedron with one normal per corner, pointing away from its middle.
            vertex(0, 1, 0, 0, 1, 0, 0, 0, none), vertex(-1, -1, 1, -0.6f, -0.4f, 0.6f, 0, 0, none),
            vertex(1, -1, 1, 0.6f, -0.4f, 0.6f, 0, 0, none), vertex(0, -1, -1, 0, -0.4f, -0.9f, 0, 0, none)};
        const unsigned indices[] = {0, 1, 2, 2, 3, 0, 4, 5, 6, 4, 6, 7, 4, 7, 5};
        if (scene_file == nullptr) {
            engine->AddTriangles(vertices, 8, indices, 15);
        } else {
            engine->AddTriangles(vertices, 4, indices, 6);
            // Scaled to 2 units along its longest side, standing on the floor at the middle.
            float size = 0.0f;
            for (int a = 0; a < 3; ++a)
                size = std::max(size, scene.box_max[a] - scene.box_min[a]);
            const float s = size > 0.0f ? 2.0f / size : 1.0f;
            IGraphicsEngine::MATRIX4 placement; // the identity
            for (int a = 0; a < 3; ++a)
                placement[a][a] = s;
            placement[0][3] = -s * 0.5f * (scene.box_min[0] + scene.box_max[0]);
            placement[1][3] = -1.0f - s * scene.box_min[1];
            placement[2][3] = -s * 0.5f * (scene.box_min[2] + scene.box_max[2]);
            const koru::io::Scene_Info added = koru::io::AddScene(*engine, scene, placement);
            std::printf("%s: %d vertices, %d triangles, %d materials, %d textures\n", scene_file, added.vertices,
                        added.triangles, added.materials, added.textures);
        }

        engine->SetCamPosition(V4(0.0f, 1.0f, 5.0f, 1.0f));
        engine->SetCamRotation(V4(12.0f, 0.0f, 0.0f, 0.0f)); // degrees; positive x looks down
        engine->BuildKdTree();  // once, after all geometry
        engine->BeginDrawScene(4, false); // traces the frame; EndDrawScene would present it

        // The frame: RGBA bytes, bottom row first, as WritePng takes them.
        const auto* frame = reinterpret_cast<const unsigned char*>(tracer->FrameBuffer());
        std::string error;
        if (koru::io::WritePng(out, width, height, frame, error)) {
            std::printf("wrote %s\n", out);
        } else {
            std::fprintf(stderr, "can not write %s: %s\n", out, error.c_str());
            status = 1;
        }
    } catch (const koru::io::Load_Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = 1;
    } catch (const TAU_ERROR::Error&) { // the engine's errors announce themselves on standard error
        status = 1;
    }
    engine->Release();
    delete engine;
    return status;
}
