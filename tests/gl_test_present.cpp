// What the ray tracers show in a real OpenGL window (run under a virtual X
// display): EndDrawScene must put the frame buffer into the window unchanged.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cpu_test_support.h"
#include "gl_window.h"

namespace {

class GlWindow : public testing::Test {
protected:
    static void SetUpTestSuite() { window = gl_test::open_window(kWidth, kHeight); }

    static void TearDownTestSuite() { gl_test::close_window(window); }

    static constexpr int kWidth = 96;
    static constexpr int kHeight = 64;
    static int window;
};

int GlWindow::window = 0;

TEST_F(GlWindow, CpuFrameReachesTheWindowUnchanged)
{
    std::mt19937 rng(7);
    IMAGE textures[2];
    cpu_test::fill_random_image(textures[0], 8, 8, rng);
    cpu_test::fill_random_image(textures[1], 5, 3, rng);

    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->Init(kWidth, kHeight);
    cpu_test::add_random_scene(*engine, rng, 60, 2, textures, 2);
    testing::internal::CaptureStderr();
    engine->BuildKdTree();
    testing::internal::GetCapturedStderr();

    engine->DrawScene(4, false);
    std::vector<unsigned> shown(static_cast<std::size_t>(kWidth) * kHeight);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, shown.data());
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    // The window has no alpha channel to keep, so compare red, green and blue.
    const unsigned* frame = engine->FrameBuffer();
    std::size_t differing = 0, lit = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if ((shown[i] & 0xFFFFFFu) != (frame[i] & 0xFFFFFFu))
            ++differing;
        if ((frame[i] & 0xFFFFFFu) != 0)
            ++lit;
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(lit, shown.size() / 10) << "the scene should fill part of the frame";
    engine->Release();
    delete engine;
}

// Before Init and after Release the engine holds no frame buffer; a frame
// then draws nothing instead of reading the old size through a null pointer.
TEST_F(GlWindow, FramesWithoutStorageDrawNothing)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->DrawScene(1, false);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    engine->Init(kWidth, kHeight);
    engine->Release();
    engine->DrawScene(1, false);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    engine->Release();
    delete engine;
}

} // namespace
