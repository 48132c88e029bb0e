// The OpenGL renderer past the default capacities: a run of triangles too
// long for one display list is cut into lists of at most 65,535 indices, and
// the picture shows every one of them.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/engines.h"
#include "gl_window.h"
#include "engine/png_file.h"

namespace {

using V4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

class Counting_Render : public OpenGL_Render {
public:
    unsigned list_count() const { return gl_list.next_list - 1; }
};

// A flat grid of n x n quads at z = 0 over x in [-4, 4], y in [-3, 3], in
// one material: one run, filled row by row.
void add_grid(Common_Graphics_Engine& engine, int n)
{
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
            Vertex v;
            v.pos = V4(-4.0f + 8.0f * j / n, -3.0f + 6.0f * i / n, 0.0f, 1.0f);
            v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
            v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
            v.material_id = 0;
            vertices.push_back(v);
        }
    const auto at = [n](int i, int j) { return static_cast<unsigned>(i * (n + 1) + j); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (unsigned k : {at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i + 1, j)})
                indices.push_back(k);
    TAU_GRAPHICS::MATERIAL<3> material{};
    material.ambient = TAU_MATH::VECTOR<3, float>(1.0f, 1.0f, 1.0f);
    engine.AddMaterial(material);
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

TEST(OpenGLLargeScene, LongRunsAreCutIntoListsAndAllOfThemAreDrawn)
{
    constexpr int width = 160, height = 120;
    const int window = gl_test::open_window(width, height);
    constexpr int n = 182; // 66,248 triangles, 198,744 indices: four lists
    Counting_Render engine;
    engine.SetCapacity(Common_Graphics_Engine::kMaxVertices, 6 * n * n, Common_Graphics_Engine::kMaxSpheres);
    engine.Init(width, height);
    add_grid(engine, n);
    engine.BeginDrawScene(4, false);
    EXPECT_EQ(engine.list_count(), static_cast<unsigned>((6 * n * n + 65534) / 65535));

    std::vector<unsigned> pixels(static_cast<std::size_t>(width) * height);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    engine.Release();
    gl_test::close_window(window);

    // Seen from (0, 0, 10) with 45 degrees up the frame, the grid spans 0.72
    // of both the width and the height about the centre: within it no pixel
    // keeps the clear colour (a list not drawn leaves a band of rows), and
    // the corners outside it keep it.
    const unsigned clear = 0x00400000u; // (0, 0, 0.25)
    int holes = 0;
    for (int y = height * 16 / 100 + 2; y < height * 84 / 100 - 2; ++y)
        for (int x = width * 16 / 100 + 2; x < width * 84 / 100 - 2; ++x)
            holes += (pixels[static_cast<std::size_t>(y) * width + x] & 0xFFFFFFu) == clear;
    EXPECT_EQ(holes, 0);
    for (int corner : {0, width - 1, (height - 1) * width, height * width - 1})
        EXPECT_EQ(pixels[static_cast<std::size_t>(corner)] & 0xFFFFFFu, clear) << "corner " << corner;
    if (holes != 0) {
        std::filesystem::create_directories(KORU_TEST_OUTPUT_DIR);
        std::string error;
        koru::io::WritePng(std::string(KORU_TEST_OUTPUT_DIR) + "/opengl_large_grid.png", width, height,
                           reinterpret_cast<const unsigned char*>(pixels.data()), error);
    }
}

} // namespace
