// A textured floor and a tetrahedron, lit by one point light, rendered with
// the CPU engine into memory and written as a PNG: no window, no X server.
#include <koru/engine/engines.h>
#include <png.h>

#include <cstdio>
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
    const int width = 320, height = 240;
    // Engines are 16-byte aligned objects made with new; Release comes before delete.
    CPU_Ray_Tracer* tracer = new CPU_Ray_Tracer();
    IGraphicsEngine* engine = tracer;
    int status = 0;
    try {
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
        engine->AddTriangles(vertices, 8, indices, 15);

        engine->SetCamPosition(V4(0.0f, 1.0f, 5.0f, 1.0f));
        engine->SetCamRotation(V4(12.0f, 0.0f, 0.0f, 0.0f)); // degrees; positive x looks down
        engine->BuildKdTree();  // once, after all geometry
        engine->BeginDrawScene(4, false); // traces the frame; EndDrawScene would present it

        // The frame: RGBA words, bottom row first; the PNG wants RGB rows top down.
        const auto* frame = reinterpret_cast<const unsigned char*>(tracer->FrameBuffer());
        std::vector<unsigned char> rgb;
        for (int y = height - 1; y >= 0; --y)
            for (int x = 0; x < width; ++x)
                rgb.insert(rgb.end(), frame + 4 * (y * width + x), frame + 4 * (y * width + x) + 3);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_RGB;
        if (png_image_write_to_file(&image, out, 0, rgb.data(), 0, nullptr)) {
            std::printf("wrote %s\n", out);
        } else {
            std::fprintf(stderr, "can not write %s: %s\n", out, image.message);
            status = 1;
        }
    } catch (const TAU_ERROR::Error&) { // the engine's errors announce themselves on standard error
        status = 1;
    }
    engine->Release();
    delete engine;
    return status;
}
