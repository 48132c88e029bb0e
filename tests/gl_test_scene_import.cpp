// Scenes of every format the importer reads, drawn by the OpenGL engine:
// the same cubes and the same textured square as the ray tracers draw in
// test_scene_import.cpp.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engines.h"
#include "engine/scene_io.h"
#include "gl_window.h"
#include "scene_files_test_support.h"

namespace {

using V4 = IGraphicsEngine::VECTOR4;
constexpr int kSize = 96;

int channel(unsigned pixel, int c) { return static_cast<int>((pixel >> (8 * c)) & 0xFFu); }

// The scene drawn from `distance` in front of its box, lit from above and
// beside the camera; the back buffer, bottom row first.
std::vector<unsigned> draw(const koru::io::Scene& scene, float distance)
{
    OpenGL_Render* engine = new OpenGL_Render();
    engine->Init(kSize, kSize);
    const V4 centre(0.5f * (scene.box_min[0] + scene.box_max[0]), 0.5f * (scene.box_min[1] + scene.box_max[1]),
                    scene.box_max[2] + distance, 1.0f);
    IGraphicsEngine::LIGHT light;
    light.pos = centre + V4(0.5f * distance, 0.5f * distance, 0.0f, 0.0f);
    light.kl = light.kq = 0.0f;
    engine->AddPointLight(light);
    koru::io::AddScene(*engine, scene);
    engine->SetCamPosition(centre);
    engine->BeginDrawScene(4, false);
    std::vector<unsigned> pixels(static_cast<std::size_t>(kSize) * kSize);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kSize, kSize, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    engine->Release();
    delete engine;
    return pixels;
}

class SceneImportGl : public testing::Test {
protected:
    void SetUp() override { window = gl_test::open_window(kSize, kSize); }
    void TearDown() override { gl_test::close_window(window); }
    int window = 0;
};

// The rasterizer draws every triangle in white light on its material's
// specular colour, so the formats' cubes must cover the very same pixels.
TEST_F(SceneImportGl, EveryFormatGivesTheSameCube)
{
    const std::string dir = scene_files::folder("scene_import_gl");
    std::vector<bool> first_cover;
    for (const scene_files::Format_Case& c : scene_files::format_cases()) {
        SCOPED_TRACE(c.format);
        const std::vector<unsigned> frame = draw(koru::io::ReadScene(c.write(dir)), 6.0f);
        const unsigned background = frame[0] & 0xFFFFFFu;
        std::vector<bool> cover(frame.size());
        int covered = 0;
        for (std::size_t i = 0; i < frame.size(); ++i)
            covered += (cover[i] = (frame[i] & 0xFFFFFFu) != background) ? 1 : 0;
        // A cube of edge 2 seen from 6 in front of it, lit: about a tenth of the frame.
        EXPECT_GT(covered, kSize * kSize / 20);
        EXPECT_LT(covered, kSize * kSize / 4);
        EXPECT_TRUE(cover[kSize / 2 * kSize + kSize / 2]);
        EXPECT_GT(channel(frame[kSize / 2 * kSize + kSize / 2], 0), 40);
        if (first_cover.empty())
            first_cover = cover;
        int differ = 0;
        for (std::size_t i = 0; i < cover.size(); ++i)
            differ += cover[i] != first_cover[i] ? 1 : 0;
        EXPECT_EQ(differ, 0) << "pixels covered differently from the OBJ cube";
    }
}

TEST_F(SceneImportGl, GltfWithAnEmbeddedJpegIsTextured)
{
    const std::string dir = scene_files::folder("scene_import_gl");
    const std::vector<unsigned> frame = draw(koru::io::ReadScene(scene_files::write_textured_glb(dir)), 2.0f);
    // Quadrant middles (the frame's bottom row first): red, green, blue, white.
    const int at[4][2] = {{40, 40}, {56, 40}, {40, 56}, {56, 56}};
    const int expected[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    for (int q = 0; q < 4; ++q) {
        const unsigned pixel = frame[at[q][1] * kSize + at[q][0]];
        for (int c = 0; c < 3; ++c) {
            if (expected[q][c]) {
                EXPECT_GT(channel(pixel, c), 80) << "quadrant " << q << " channel " << c;
            } else {
                EXPECT_LT(channel(pixel, c), 40) << "quadrant " << q << " channel " << c;
            }
        }
    }
}

} // namespace
