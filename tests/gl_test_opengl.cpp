// The OpenGL renderer in a real window under a virtual X display: the display
// lists it compiles and the state they carry, its limits, its lights, a
// read-back frame of the demo scene, and the geometry it shares with the CPU
// ray tracer. Every test gets a window, and so OpenGL state, of its own.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "gl_window.h"
#include "io/bmp.h"
#include "engine/png_file.h"
#include "opengl/gl_texture.h"

namespace {

using V4 = TAU_MATH::VECTOR<4, float>;
using V3 = TAU_MATH::VECTOR<3, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Material = TAU_GRAPHICS::MATERIAL<3>;
using Light = TAU_GRAPHICS::Point_Light<4, float>;

// The renderer with its protected parts opened.
class Test_Render : public OpenGL_Render {
public:
    unsigned list_count() const { return gl_list.next_list - 1; }
    bool lists_waiting() const { return lists_pending; }
    IMAGE& texture(int i) { return textures[i]; }
    // Counts the interface can not reach: the store holds at most 8 lights
    // and only whole triangles.
    void set_light_count(int n) { point_light_count = n; }
    void set_index_count(int n) { index_count = n; }
};

struct Release_Engine {
    void operator()(IGraphicsEngine* engine) const
    {
        engine->Release();
        delete engine;
    }
};

template <class Engine>
std::unique_ptr<Engine, Release_Engine> make_engine(int width, int height)
{
    std::unique_ptr<Engine, Release_Engine> engine(new Engine());
    engine->Init(width, height);
    return engine;
}

Material make_material(float specular_red)
{
    Material m;
    m.ambient = V3(0.2f, 0.2f, 0.2f);
    m.diffuse = V3(0.5f, 0.5f, 0.5f);
    m.specular = V3(specular_red, 0.25f, 0.125f);
    m.spec_power = 10.0f;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

Light make_light(const V4& position, const V4& color)
{
    Light light;
    light.color = color;
    light.pos = position;
    return light;
}

// A triangle by the material and tex_id its vertices carry.
struct Tri {
    int material;
    unsigned char tex_id[4];
};

const Tri kPlain = {0, {255, 255, 255, 255}}; // material 0, untextured

// Adds the triangles in one call, each with three vertices of its own.
void add_triangles(IGraphicsEngine& engine, const std::vector<Tri>& triangles, int repeat = 1)
{
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    const float corners[3][2] = {{-1.0f, -1.0f}, {1.0f, -1.0f}, {0.0f, 1.0f}};
    for (const Tri& t : triangles)
        for (int k = 0; k < 3; ++k) {
            Vertex v;
            v.pos = V4(corners[k][0], corners[k][1], 0.0f, 1.0f);
            v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
            v.tex_coord = TAU_MATH::VECTOR<2, float>(corners[k][0], corners[k][1]);
            v.material_id = t.material;
            std::memcpy(v.tex_id, t.tex_id, 4);
            vertices.push_back(v);
        }
    for (int r = 0; r < repeat; ++r)
        for (unsigned i = 0; i < vertices.size(); ++i)
            indices.push_back(i);
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

// What one display list draws and the state it leaves behind.
struct Drawn {
    int indices = 0; // vertices of the triangles it draws
    bool textured = false;
    GLint texture = 0;
    GLfloat specular[4] = {};
};

// Calls each of the engine's lists on its own in feedback mode, under an
// orthographic view that holds all test geometry (the demo floor included),
// and notes what it draws.
std::vector<Drawn> what_lists_draw(const Test_Render& engine)
{
    std::vector<GLfloat> buffer(1 << 20);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(-100.0, 100.0, -100.0, 100.0, -100.0, 100.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    // Turned about a skew axis, so that no flat face is seen edge on.
    glRotatef(37.0f, 1.0f, 0.6f, 0.3f);
    std::vector<Drawn> drawn;
    for (unsigned name = 1; name <= engine.list_count(); ++name) {
        glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D, buffer.data());
        glRenderMode(GL_FEEDBACK);
        glCallList(name);
        const GLint n = glRenderMode(GL_RENDER);
        Drawn d;
        EXPECT_GE(n, 0) << "feedback buffer overflow";
        for (GLint i = 0; i < n;) {
            if (buffer[i] != GL_POLYGON_TOKEN) {
                ADD_FAILURE() << "list " << name << " draws something other than polygons";
                break;
            }
            const int count = static_cast<int>(buffer[i + 1]);
            d.indices += count;
            i += 2 + 3 * count;
        }
        d.textured = glIsEnabled(GL_TEXTURE_2D) == GL_TRUE;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &d.texture);
        glGetMaterialfv(GL_FRONT, GL_SPECULAR, d.specular);
        drawn.push_back(d);
    }
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    return drawn;
}

// The message of the error the next frame throws, or "(no error)".
template <class Error>
std::string refusal(IGraphicsEngine& engine)
{
    std::string message = "(no error)";
    testing::internal::CaptureStderr(); // the error's notice
    try {
        engine.BeginDrawScene(4, false);
    } catch (const Error& error) {
        message = error.message;
    }
    testing::internal::GetCapturedStderr();
    return message;
}

// RGBA pixels of the back buffer, bottom row first.
std::vector<unsigned> back_buffer(int width, int height)
{
    std::vector<unsigned> pixels(static_cast<std::size_t>(width) * height);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    return pixels;
}

int channel(unsigned pixel, int c) { return static_cast<int>((pixel >> (8 * c)) & 0xFFu); }

bool near_color(unsigned pixel, int r, int g, int b, int tolerance)
{
    return std::abs(channel(pixel, 0) - r) <= tolerance && std::abs(channel(pixel, 1) - g) <= tolerance &&
           std::abs(channel(pixel, 2) - b) <= tolerance;
}

class OpenGLRender : public testing::Test {
protected:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

    void SetUp() override { window = gl_test::open_window(kWidth, kHeight); }
    void TearDown() override { gl_test::close_window(window); }

    int window = 0;
};

TEST_F(OpenGLRender, TrianglesAreGroupedIntoOneListPerRunOfMaterialAndTexId)
{
    const int A = 0, B = 1;
    const float specular_of[2] = {0.1f, 0.7f};
    struct Case {
        const char* name;
        std::vector<Tri> triangles;
        std::vector<int> list_indices;
        std::vector<int> list_materials;
    };
    auto plain = [](int material) { return Tri{material, {255, 255, 255, 255}}; };
    const std::vector<Case> cases = {
        {"one triangle", {plain(A)}, {3}, {A}},
        {"A A B", {plain(A), plain(A), plain(B)}, {6, 3}, {A, B}},
        {"A B A", {plain(A), plain(B), plain(A)}, {3, 3, 3}, {A, B, A}},
        {"second tex_id byte", {{A, {255, 0, 255, 255}}, {A, {255, 1, 255, 255}}}, {3, 3}, {A, A}},
        {"fourth tex_id byte", {plain(A), {A, {255, 255, 255, 7}}, {A, {255, 255, 255, 7}}}, {3, 6}, {A, A}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(specular_of[A]));
        engine->AddMaterial(make_material(specular_of[B]));
        add_triangles(*engine, c.triangles);
        engine->BeginDrawScene(4, false);
        EXPECT_FALSE(engine->lists_waiting());
        ASSERT_EQ(engine->list_count(), c.list_indices.size());
        const std::vector<Drawn> drawn = what_lists_draw(*engine);
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            EXPECT_EQ(drawn[i].indices, c.list_indices[i]) << "list " << i + 1;
            EXPECT_EQ(drawn[i].specular[0], specular_of[c.list_materials[i]]) << "list " << i + 1;
        }
    }
}

TEST_F(OpenGLRender, ARunIsTexturedOnlyByAStoredTexture)
{
    auto engine = make_engine<Test_Render>(kWidth, kHeight);
    engine->AddMaterial(make_material(0.5f));
    const unsigned char pixels[2 * 2 * 4] = {255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 255, 255, 0};
    engine->AddTexture(pixels, 2, 2, 0);
    add_triangles(*engine, {{0, {0, 255, 255, 255}}, {0, {1, 255, 255, 255}}, kPlain});
    engine->BeginDrawScene(4, false);

    const std::vector<Drawn> drawn = what_lists_draw(*engine);
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_TRUE(drawn[0].textured);
    EXPECT_EQ(drawn[0].texture, static_cast<GLint>(engine->texture(0).id));
    EXPECT_FALSE(drawn[1].textured) << "texture index 1 with one texture stored";
    EXPECT_FALSE(drawn[2].textured) << "texture index 255";
}

TEST_F(OpenGLRender, TexturesAreMipmappedAndASecondBindUploadsThePixelsAnew)
{
    auto engine = make_engine<Test_Render>(kWidth, kHeight);
    std::mt19937 rng(11);
    std::vector<unsigned char> pixels(4 * 2 * 4);
    for (unsigned char& p : pixels)
        p = static_cast<unsigned char>(rng());
    const unsigned index = engine->AddTexture(pixels.data(), 4, 2, 0);
    ASSERT_EQ(index, 0u);
    IMAGE& texture = engine->texture(0);
    EXPECT_FALSE(texture.first_bind);
    const GLuint name = texture.id;
    ASSERT_TRUE(glIsTexture(name));

    auto level0 = [&] {
        std::vector<unsigned char> read(pixels.size());
        glBindTexture(GL_TEXTURE_2D, name);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, read.data());
        return read;
    };
    EXPECT_EQ(level0(), pixels);
    // 4 x 2, 2 x 1, 1 x 1.
    GLint w = 0, h = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 2, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 2, GL_TEXTURE_HEIGHT, &h);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);

    // The stored pixels change; binding again keeps the name and uploads them.
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<unsigned char>(255 - pixels[i]);
        texture.data[i] = pixels[i];
    }
    koru::gl::bind_texture(texture);
    EXPECT_EQ(texture.id, name);
    EXPECT_EQ(level0(), pixels);
}

TEST_F(OpenGLRender, IndexCountsOutsideTheListLimitsAreRefusedOnEveryFrame)
{
    {
        SCOPED_TRACE("65535 indices");
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain}, 65535 / 3);
        engine->BeginDrawScene(4, false);
        const std::vector<Drawn> drawn = what_lists_draw(*engine);
        ASSERT_EQ(drawn.size(), 1u);
        EXPECT_EQ(drawn[0].indices, 65535);
    }
    {
        SCOPED_TRACE("65538 indices through the interface");
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain}, 65538 / 3);
        EXPECT_EQ(refusal<TAU_ERROR::Out_Of_Range>(*engine), "OpenGL_Render::GL_List::Init: Too many vertices: 65538");
    }
    {
        SCOPED_TRACE("65536 indices");
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain}, 65535 / 3);
        engine->set_index_count(65536);
        for (int frame = 0; frame < 2; ++frame) {
            EXPECT_EQ(refusal<TAU_ERROR::Out_Of_Range>(*engine),
                      "OpenGL_Render::GL_List::Init: Too many vertices: 65536");
            EXPECT_TRUE(engine->lists_waiting());
            EXPECT_EQ(engine->list_count(), 0u);
        }
    }
    {
        SCOPED_TRACE("spheres only");
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        engine->AddPointLight(make_light(V4(0.0f, 5.0f, 0.0f, 1.0f), V4(1.0f, 1.0f, 1.0f, 1.0f)));
        TAU_MATH::SPHERE<4, float> sphere;
        sphere.center = V4(0.0f, 0.0f, 0.0f, 1.0f);
        sphere.radius = 1.0f;
        sphere.radius2 = 1.0f;
        sphere.material_id = 0;
        engine->AddSpheres(&sphere, 1);
        for (int frame = 0; frame < 2; ++frame) {
            EXPECT_EQ(refusal<TAU_ERROR::Out_Of_Range>(*engine),
                      "OpenGL_Render::GL_List::Init: Less than one triangle: 0");
            EXPECT_TRUE(engine->lists_waiting());
        }
    }
}

TEST_F(OpenGLRender, EveryPointLightIsAnOpenGLLightPlacedInTheWorldUpToEight)
{
    auto lights_on = [] {
        std::vector<bool> on;
        for (int i = 0; i < 8; ++i)
            on.push_back(glIsEnabled(GL_LIGHT0 + i) == GL_TRUE);
        return on;
    };
    // Lights stay enabled once a frame enabled them, so the scene without
    // lights comes first in this window.
    {
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain});
        engine->BeginDrawScene(4, false);
        EXPECT_EQ(lights_on(), std::vector<bool>(8, false));
    }
    {
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain});
        engine->AddPointLight(make_light(V4(1.0f, 2.0f, 3.0f, 1.0f), V4(1.0f, 1.0f, 1.0f, 1.0f)));
        engine->AddPointLight(make_light(V4(-4.0f, 0.0f, 1.0f, 1.0f), V4(1.0f, 0.0f, 0.0f, 1.0f)));
        engine->BeginDrawScene(4, false);
        EXPECT_EQ(lights_on(), (std::vector<bool>{true, true, false, false, false, false, false, false}));
        // OpenGL keeps light positions in eye space: seen from the camera at
        // (0, 0, 10), looking down -z.
        GLfloat eye[4];
        glGetLightfv(GL_LIGHT0, GL_POSITION, eye);
        EXPECT_FLOAT_EQ(eye[0], 1.0f);
        EXPECT_FLOAT_EQ(eye[1], 2.0f);
        EXPECT_FLOAT_EQ(eye[2], -7.0f);
        EXPECT_FLOAT_EQ(eye[3], 1.0f);
    }
    {
        auto engine = make_engine<Test_Render>(kWidth, kHeight);
        engine->AddMaterial(make_material(0.5f));
        add_triangles(*engine, {kPlain});
        for (int i = 0; i < 8; ++i)
            engine->AddPointLight(make_light(V4(static_cast<float>(i), 3.0f, 0.0f, 1.0f), V4(1.0f, 1.0f, 1.0f, 1.0f)));
        engine->set_light_count(9);
        EXPECT_EQ(refusal<TAU_ERROR::OpenGL_Error>(*engine), "Can not use more than 8 lights, num: 8");
        EXPECT_EQ(lights_on(), std::vector<bool>(8, true));
    }
}

TEST_F(OpenGLRender, DemoSceneFrame)
{
    IMAGE textures[3];
    for (int t = 0; t < 3; ++t)
        koru::io::LoadBMP(std::string(KORU_BUILD_DIR) + "/" + demo::kTexturePaths[t], textures[t]);
    auto engine = make_engine<Test_Render>(kWidth, kHeight);
    demo::AddDemoScene(*engine, textures);
    // A light colour of its own, so the marker can be told from the rest.
    Light light = engine->GetPointLight(0);
    light.color = V4(1.0f, 0.5f, 0.25f, 1.0f);
    light.pos = demo::LightPosition(1.0f, light.pos[3]);
    engine->SetPointLight(light, 0);

    engine->BeginDrawScene(4, false);
    const std::vector<unsigned> frame = back_buffer(kWidth, kHeight);
    engine->EndDrawScene();

    // Floor and first cube share material and texture; cubes 4 and 5 follow
    // each other with the same ones.
    const std::vector<Drawn> drawn = what_lists_draw(*engine);
    ASSERT_EQ(drawn.size(), 6u);
    const int indices[6] = {6 + 36, 36, 36, 72, 36, 36};
    const bool textured[6] = {true, true, true, true, false, false};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(drawn[i].indices, indices[i]) << "list " << i + 1;
        EXPECT_EQ(drawn[i].textured, textured[i]) << "list " << i + 1;
    }

    auto at = [&](const std::vector<unsigned>& pixels, int x, int y) {
        return pixels[static_cast<std::size_t>(y) * kWidth + x];
    };
    // The sky above the scene is the clear colour (0, 0, 0.25).
    const unsigned sky = at(frame, kWidth / 2, kHeight - 3);
    EXPECT_TRUE(near_color(sky, 0, 0, 64, 1)) << std::hex << sky;

    // The camera matrix holds the view the frame was drawn with.
    GLdouble model[16], projection[16], wx, wy, wz;
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(model[i], (&engine->GetCamMatrix()[0][0])[i]) << i;
    // The marker's centre, projected as OpenGL does, shows the light colour.
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    ASSERT_EQ(gluProject(light.pos[0], light.pos[1], light.pos[2], model, projection, viewport, &wx, &wy, &wz),
              GL_TRUE);
    const unsigned marker = at(frame, static_cast<int>(wx), static_cast<int>(wy));
    EXPECT_TRUE(near_color(marker, 255, 128, 64, 1)) << std::hex << marker;

    // The floor in the lower quarter is textured: many colours.
    std::set<unsigned> floor_colors;
    for (int y = 5; y < kHeight / 4; ++y)
        for (int x = 10; x < kWidth / 4; ++x)
            floor_colors.insert(at(frame, x, y) & 0xFFFFFFu);
    EXPECT_GT(floor_colors.size(), 50u);

    // Any depth and shadow switch draws the same picture, frame after frame.
    const std::pair<unsigned, bool> switches[] = {{4, false}, {1, false}, {1, true}, {5, true}, {0, false}, {99, true}};
    for (const auto& s : switches) {
        engine->DrawScene(s.first, s.second);
        EXPECT_TRUE(back_buffer(kWidth, kHeight) == frame) << "depth " << s.first << " shadows " << s.second;
    }

    // The floor is lit: moving the light changes it, but not the sky.
    light.pos = V4(-30.0f, 0.5f, -30.0f, 1.0f);
    engine->SetPointLight(light, 0);
    engine->BeginDrawScene(4, false);
    const std::vector<unsigned> moved = back_buffer(kWidth, kHeight);
    EXPECT_EQ(at(moved, kWidth / 2, kHeight - 3), sky);
    int floor_changed = 0;
    for (int y = 5; y < kHeight / 4; ++y)
        for (int x = 10; x < kWidth / 4; ++x)
            floor_changed += at(moved, x, y) != at(frame, x, y);
    EXPECT_GT(floor_changed, (kHeight / 4 - 5) * (kWidth / 4 - 10) / 2);
}

// Coverage of a frame: which pixels show geometry.
using Coverage = std::vector<unsigned char>;

void write_coverage(const std::string& name, const Coverage& coverage, int width, int height)
{
    std::filesystem::create_directories(KORU_TEST_OUTPUT_DIR);
    std::vector<unsigned> rgba(coverage.size());
    for (std::size_t i = 0; i < coverage.size(); ++i)
        rgba[i] = coverage[i] ? 0xFFFFFFFFu : 0xFF000000u;
    std::string error;
    koru::io::WritePng(std::string(KORU_TEST_OUTPUT_DIR) + "/" + name + ".png", width, height,
                   reinterpret_cast<const unsigned char*>(rgba.data()), error);
}

// Whether the 3 x 3 block around (x, y) is all covered or all empty.
bool uniform_around(const Coverage& coverage, int width, int x, int y)
{
    const unsigned char c = coverage[static_cast<std::size_t>(y) * width + x];
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (coverage[static_cast<std::size_t>(y + dy) * width + x + dx] != c)
                return false;
    return true;
}

// The rasterizer's 45 degrees are the vertical field of view, the tracers'
// the horizontal one: the rasterized picture is the traced one scaled by
// height / width about the centre. Away from edges the two agree on which
// pixels show the scene.
TEST_F(OpenGLRender, CoverageMatchesTheCpuTracerScaledByHeightOverWidth)
{
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int scene = 0; scene < 6; ++scene) {
        SCOPED_TRACE("scene " + std::to_string(scene));
        auto gl = make_engine<OpenGL_Render>(kWidth, kHeight);
        auto cpu = make_engine<CPU_Ray_Tracer>(kWidth, kHeight);
        const std::vector<IGraphicsEngine*> both = {gl.get(), cpu.get()};

        // Flat quads of random size and turn in front of the camera, lit
        // from behind it so that the tracer shows every hit (ambient 0.5).
        std::vector<Vertex> vertices;
        std::vector<unsigned> indices;
        for (int q = 0; q < 4; ++q) {
            const V4 center(3.0f * unit(rng), 2.0f * unit(rng), -1.0f + 3.0f * unit(rng), 1.0f);
            const TAU_MATH::MATRIX<4, 4, float> turn = (TAU_MATH::RotationY(1.2f * unit(rng)) *
                                                        TAU_MATH::RotationX(1.2f * unit(rng))) *
                                                       TAU_MATH::RotationZ(3.0f * unit(rng));
            const float half_w = 1.5f + 0.7f * unit(rng), half_h = 1.5f + 0.7f * unit(rng);
            const float corners[4][2] = {{-half_w, -half_h}, {half_w, -half_h}, {half_w, half_h}, {-half_w, half_h}};
            const unsigned base = static_cast<unsigned>(vertices.size());
            for (const auto& c : corners) {
                Vertex v;
                const V4 offset = turn * V4(c[0], c[1], 0.0f, 0.0f);
                v.pos = V4(center[0] + offset[0], center[1] + offset[1], center[2] + offset[2], 1.0f);
                v.norm = turn * V4(0.0f, 0.0f, 1.0f, 0.0f);
                v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
                v.material_id = 0;
                vertices.push_back(v);
            }
            for (unsigned k : {0u, 1u, 2u, 0u, 2u, 3u})
                indices.push_back(base + k);
        }
        const V4 position(unit(rng), unit(rng), 10.0f + unit(rng), 1.0f);
        const V4 rotation(8.0f * unit(rng), 8.0f * unit(rng), 20.0f * unit(rng), 0.0f);
        Material material = make_material(0.0f);
        material.ambient = V3(0.5f, 0.5f, 0.5f);
        for (IGraphicsEngine* engine : both) {
            engine->AddMaterial(material);
            engine->AddPointLight(make_light(V4(0.0f, 0.0f, 40.0f, 1.0f), V4(1.0f, 1.0f, 1.0f, 1.0f)));
            engine->AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                                 static_cast<int>(indices.size()));
            engine->SetCamPosition(position);
            engine->SetCamRotation(rotation);
        }
        testing::internal::CaptureStderr();
        cpu->BuildKdTree();
        testing::internal::GetCapturedStderr();
        cpu->BeginDrawScene(4, false);
        gl->BeginDrawScene(4, false);
        const std::vector<unsigned> shown = back_buffer(kWidth, kHeight);

        Coverage traced(shown.size()), rasterized(shown.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            traced[i] = (cpu->FrameBuffer()[i] & 0xFFFFFFu) != 0;
            rasterized[i] = !near_color(shown[i], 0, 0, 64, 1);
        }

        // Rasterized pixel centre (X + 0.5, Y + 0.5) sits where the tracer's
        // integer pixel coordinate is W/2 + (X + 0.5 - W/2) W/H.
        const float scale = static_cast<float>(kWidth) / static_cast<float>(kHeight);
        int compared = 0, covered = 0, differing = 0;
        for (int Y = 1; Y < kHeight - 1; ++Y)
            for (int X = 1; X < kWidth - 1; ++X) {
                const int x = static_cast<int>(std::lround(kWidth / 2 + (X + 0.5f - kWidth / 2) * scale));
                const int y = static_cast<int>(std::lround(kHeight / 2 + (Y + 0.5f - kHeight / 2) * scale));
                if (x < 1 || x >= kWidth - 1 || y < 1 || y >= kHeight - 1)
                    continue;
                if (!uniform_around(rasterized, kWidth, X, Y) || !uniform_around(traced, kWidth, x, y))
                    continue;
                ++compared;
                covered += rasterized[static_cast<std::size_t>(Y) * kWidth + X];
                differing += rasterized[static_cast<std::size_t>(Y) * kWidth + X] !=
                             traced[static_cast<std::size_t>(y) * kWidth + x];
            }
        // The comparison must see both geometry and background.
        EXPECT_GT(covered, compared / 20);
        EXPECT_LT(covered, compared - compared / 20);
        EXPECT_EQ(differing, 0) << "of " << compared << " pixels compared";
        if (differing != 0) {
            write_coverage("opengl_coverage_" + std::to_string(scene) + "_rasterized", rasterized, kWidth, kHeight);
            write_coverage("opengl_coverage_" + std::to_string(scene) + "_traced", traced, kWidth, kHeight);
        }
    }
}

} // namespace
