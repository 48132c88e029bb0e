// OBJ files through the scene importer (koru_render, the demo's --obj):
// vertices, normals, materials and textures as the engine gets them, the
// messages for bad files, and the scene added to an engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engines.h"
#include "engine/scene_io.h"
#include "engine/png_file.h"

namespace {

using Mesh = koru::io::Scene;

Mesh LoadMesh(const std::string& path) { return koru::io::ReadScene(path); }
using V4 = IGraphicsEngine::VECTOR4;

std::string test_dir()
{
    static const std::string dir = [] {
        const std::string d = std::string(KORU_TEST_OUTPUT_DIR) + "/obj_scene";
        EXPECT_EQ(std::system(("mkdir -p '" + d + "'").c_str()), 0);
        return d;
    }();
    return dir;
}

std::string write_file(const std::string& name, const std::string& text)
{
    const std::string path = test_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A 24-bit BMP of w x h pixels given as RGB rows, the bottom row first.
void write_bmp(const std::string& name, int w, int h, const std::vector<unsigned char>& rgb)
{
    const int row = (3 * w + 3) / 4 * 4;
    std::vector<unsigned char> file(54 + static_cast<size_t>(row) * h, 0);
    const auto put32 = [&](int at, int value) {
        for (int i = 0; i < 4; ++i)
            file[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(10, 54);
    put32(14, 40);
    put32(18, w);
    put32(22, h);
    file[26] = 1;
    file[28] = 24;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                file[54 + y * row + 3 * x + c] = rgb[3 * (y * w + x) + 2 - c];
    std::ofstream(test_dir() + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

float length(const V4& v) { return std::sqrt(TAU_MATH::Dot3(v, v)); }

// The unit normal of triangle t as its corners wind.
V4 face_normal(const Mesh& mesh, size_t t)
{
    const V4& a = mesh.vertices[mesh.indices[3 * t]].pos;
    const V4 n = TAU_MATH::Cross3(mesh.vertices[mesh.indices[3 * t + 1]].pos - a,
                                  mesh.vertices[mesh.indices[3 * t + 2]].pos - a);
    return n * (1.0f / length(n));
}

const char* const cube_obj =
    "# a cube without normals, faces wound outwards\n"
    "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
    "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 4 8 7 3\nf 1 5 8 4\nf 2 3 7 6\n";

TEST(ObjMesh, HardEdgesKeepFlatNormals)
{
    const Mesh mesh = LoadMesh(write_file("cube.obj", cube_obj));
    ASSERT_EQ(mesh.indices.size(), 36u);
    // Each corner sits on three faces at right angles: three vertices each.
    EXPECT_EQ(mesh.vertices.size(), 24u);
    for (size_t t = 0; t < 12; ++t) {
        const V4 n = face_normal(mesh, t);
        for (int k = 0; k < 3; ++k) {
            const auto& v = mesh.vertices[mesh.indices[3 * t + k]];
            EXPECT_NEAR(TAU_MATH::Dot3(v.norm, n), 1.0f, 1e-6f) << "triangle " << t;
            EXPECT_EQ(v.norm[3], 0.0f);
            EXPECT_EQ(v.pos[3], 1.0f);
            // Outward: the normal points away from the cube's middle.
            EXPECT_GT(TAU_MATH::Dot3(v.norm, v.pos), 0.0f);
        }
    }
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(mesh.box_min[a], -1.0f);
        EXPECT_EQ(mesh.box_max[a], 1.0f);
    }
    ASSERT_EQ(mesh.materials.size(), 1u);
    EXPECT_EQ(mesh.materials[0].diffuse[0], koru::io::NeutralGrey().diffuse[0]);
    EXPECT_EQ(mesh.vertices[0].tex_id[0], TAU_GRAPHICS::kNoTexture);
}

TEST(ObjMesh, SmoothSurfacesShareVerticesWithAveragedNormals)
{
    // A 3 x 3 height field with a low bump in the middle: every face turns
    // far less than 60 degrees from its neighbours.
    std::string obj;
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i)
            obj += "v " + std::to_string(i) + " " + std::to_string(j) + " " + (i == 1 && j == 1 ? "0.2" : "0") + "\n";
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
            const int a = 1 + i + 3 * j;
            obj += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + 4) + " " +
                   std::to_string(a + 3) + "\n";
        }
    const Mesh mesh = LoadMesh(write_file("bump.obj", obj));
    EXPECT_EQ(mesh.vertices.size(), 9u);
    EXPECT_EQ(mesh.indices.size(), 24u);
    for (const auto& v : mesh.vertices) {
        EXPECT_NEAR(length(v.norm), 1.0f, 1e-6f);
        EXPECT_GT(v.norm[2], 0.9f);
        // The middle's normal averages the faces around it, which lean every
        // way (the quads' diagonals make the fan a little lopsided).
        if (v.pos[0] == 1.0f && v.pos[1] == 1.0f) {
            EXPECT_NEAR(v.norm[0], 0.0f, 0.1f);
            EXPECT_NEAR(v.norm[1], 0.0f, 0.1f);
            EXPECT_GT(v.norm[2], 0.99f);
        }
    }
}

TEST(ObjMesh, FileNormalsAndTextureCoordinatesAreKeptAndPolygonsTriangulated)
{
    const Mesh mesh = LoadMesh(write_file("pentagon.obj",
                                          "v 0 0 0\nv 2 0 0\nv 3 2 0\nv 1 3 0\nv -1 2 0\n"
                                          "vt 0.5 0\nvt 1 0.5\nvn 0 0 3\nvn 0 1 1\n"
                                          "f 1/1/1 2/2/1 3//2 4//1 -1//1\n"));
    ASSERT_EQ(mesh.vertices.size(), 5u);
    ASSERT_EQ(mesh.indices.size(), 9u);
    // Three triangles that cover the pentagon once: their areas add up to its area (8).
    float area = 0.0f;
    for (size_t t = 0; t < 3; ++t) {
        const V4& a = mesh.vertices[mesh.indices[3 * t]].pos;
        area += 0.5f * TAU_MATH::Cross3(mesh.vertices[mesh.indices[3 * t + 1]].pos - a,
                                        mesh.vertices[mesh.indices[3 * t + 2]].pos - a)[2];
    }
    EXPECT_NEAR(area, 8.0f, 1e-5f);
    for (const auto& v : mesh.vertices) {
        if (v.pos[0] == 0.0f && v.pos[1] == 0.0f) {
            EXPECT_EQ(v.norm[2], 1.0f); // normalised
        }
        if (v.pos[0] == 3.0f) {
            EXPECT_NEAR(v.norm[1], std::sqrt(0.5f), 1e-6f);
        }
        if (v.pos[0] == 2.0f) {
            EXPECT_EQ(v.tex_coord[0], 1.0f);
            EXPECT_EQ(v.tex_coord[1], 0.5f);
        }
    }
    EXPECT_EQ(mesh.box_min[0], -1.0f); // -1 is the last vertex so far
}

TEST(ObjMesh, MaterialsAndTexturesComeFromTheMtlFile)
{
    // A 2 x 2 PNG, bottom row red and green, top row blue and white.
    const unsigned char png_rgba[16] = {255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 255, 255, 0};
    std::string error;
    ASSERT_TRUE(koru::io::WritePng(test_dir() + "/checks.png", 2, 2, png_rgba, error)) << error;
    write_bmp("stripe.bmp", 3, 1, {10, 20, 30, 40, 50, 60, 70, 80, 90});
    write_file("things.mtl",
               "newmtl green\nKd 0 1 0\n"
               "newmtl painted\nmap_Kd checks.png\n"
               "newmtl painted_again\nKd 0.5 0.5 0.5\nmap_Kd checks.png\n"
               "newmtl striped\nKd 1 1 1\nmap_Kd stripe.bmp\n");
    const Mesh mesh = LoadMesh(write_file("things.obj",
                                          "mtllib things.mtl\n"
                                          "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 1\n"
                                          "f 1 2 3\n"
                                          "usemtl green\nf 1 2 3\n"
                                          "usemtl painted\nf 1/1 2/2 3/2\nf 1 3 4\n"
                                          "usemtl painted_again\nf 1/1 3/2 4/2\n"
                                          "usemtl striped\nf 2/1 3/2 4/1\n"));
    // The four MTL materials the faces use and the grey for the face before any usemtl.
    ASSERT_EQ(mesh.materials.size(), 5u);
    const auto material_of = [&](size_t t) { return mesh.materials[mesh.vertices[mesh.indices[3 * t]].material_id]; };
    const auto texture_of = [&](size_t t) { return mesh.vertices[mesh.indices[3 * t]].tex_id[0]; };
    ASSERT_EQ(mesh.indices.size(), 18u);
    // Triangle by triangle in file order: the diffuse red and green of its material.
    const float red[5] = {koru::io::NeutralGrey().diffuse[0], 0.0f, 0.8f, 0.5f, 1.0f};
    std::vector<int> seen(5, 0);
    for (size_t t = 0; t < 6; ++t) {
        const auto m = material_of(t);
        bool found = false;
        for (int k = 0; k < 5 && !found; ++k)
            if (m.diffuse[0] == red[k] && !(k == 1 && m.diffuse[1] != 1.0f)) {
                found = true;
                ++seen[k];
            }
        EXPECT_TRUE(found) << "triangle " << t << " diffuse " << m.diffuse[0];
        EXPECT_GT(m.ambient[0] + m.ambient[1], 0.0f);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 1, 2, 1, 1})); // a texture without Kd is not black (0.8)

    // checks.png once, for both materials that name it; the BMP besides.
    ASSERT_EQ(mesh.textures.size(), 2u);
    int checks_index = -1, stripe_index = -1;
    for (size_t t = 0; t < 6; ++t) {
        const auto m = material_of(t);
        if (m.diffuse[0] == 0.5f || m.diffuse[0] == 0.8f) {
            EXPECT_TRUE(checks_index < 0 || checks_index == texture_of(t));
            checks_index = texture_of(t);
        }
        if (m.diffuse[0] == 1.0f)
            stripe_index = texture_of(t);
        if (m.diffuse[0] == 0.0f || m.diffuse[0] == koru::io::NeutralGrey().diffuse[0]) {
            EXPECT_EQ(texture_of(t), TAU_GRAPHICS::kNoTexture);
        }
    }
    ASSERT_TRUE(checks_index >= 0 && checks_index < 2 && stripe_index >= 0 && stripe_index < 2);
    EXPECT_NE(checks_index, stripe_index);
    const koru::io::Texture& checks = mesh.textures[checks_index];
    ASSERT_EQ(checks.width, 2);
    ASSERT_EQ(checks.height, 2);
    for (int k = 0; k < 16; ++k) {
        if (k % 4 != 3) {
            EXPECT_EQ(checks.rgba[k], png_rgba[k]) << "byte " << k << ": bottom row first";
        }
    }
    const koru::io::Texture& stripe = mesh.textures[stripe_index];
    ASSERT_EQ(stripe.width, 3);
    EXPECT_EQ(stripe.rgba[0], 10);
    EXPECT_EQ(stripe.rgba[9], 80);
}

TEST(ObjMesh, BadFilesNameTheFileAndLine)
{
    write_file("ok.mtl", "newmtl a\nKd 1 1 1\n");
    write_file("bad_kd.mtl", "newmtl a\nKd 1 x 1\n");
    write_file("bad_map.mtl", "newmtl a\nmap_Kd\n");
    write_file("missing_png.mtl", "newmtl a\nKd 1 1 1\nmap_Kd nowhere.png\n");
    write_file("missing_bmp.mtl", "newmtl a\nmap_Kd nowhere.bmp\n");
    write_file("broken.png", "not a png");
    write_file("broken_png.mtl", "newmtl a\nmap_Kd broken.png\n");
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const std::string face_a = "vt 0 0\nusemtl a\nf 1/1 2/1 3/1\n";
    struct Case {
        std::string name, text, message;
    };
    const std::vector<Case> cases = {
        {"short_v.obj", "v 0 0 0\nv 1 2\n", "short_v.obj:2: a vertex needs three numbers (x y z)"},
        {"word_v.obj", "v 0 zero 0\n", "word_v.obj:1: a vertex needs three numbers (x y z), not 'zero'"},
        {"nan_vn.obj", tri + "vn 0 nan 1\n", "nan_vn.obj:4: a normal needs three numbers"},
        {"two_corners.obj", tri + "f 1 2\n", "two_corners.obj:4: a face needs at least three corners"},
        {"far.obj", tri + "\n# comment\nf 1 2 4\n", "far.obj:6: a face refers to vertex 4, but 3 are defined"},
        {"early.obj", "v 0 0 0\nf 1 2 3\nv 1 0 0\nv 0 1 0\n", "early.obj:2: a face refers to vertex 2"},
        {"zero.obj", tri + "f 0 1 2\n", "zero.obj:4: bad vertex index '0'"},
        {"back.obj", tri + "f -4 1 2\n", "back.obj:4: a face refers to vertex -4"},
        {"no_vt.obj", tri + "f 1/1 2/1 3/1\n", "no_vt.obj:4: a face refers to texture coordinate 1, but 0"},
        {"no_vn.obj", tri + "vt 0 0\nf 1/1/2 2/1 3/1\n", "no_vn.obj:5: a face refers to normal 2, but 0"},
        {"corner.obj", tri + "f 1/ 2 3\n", "corner.obj:4: bad texture coordinate index ''"},
        {"slashes.obj", tri + "f 1/1/1/1 2 3\n", "slashes.obj:4: bad face corner '1/1/1/1'"},
        {"unknown.obj", tri + "\x89PNG\n", "unknown.obj:4: unknown statement '\x89PNG'"},
        {"no_faces.obj", tri + "g nothing\n", "no_faces.obj: no faces to draw"},
        {"no_mtl.obj", "mtllib gone.mtl\n" + tri, "no_mtl.obj:1: MTL file: can not open '"},
        {"not_in_mtl.obj", "mtllib ok.mtl\n" + tri + "usemtl b\nf 1 2 3\n",
         "not_in_mtl.obj:5: material 'b' is not in the MTL file"},
        {"bad_kd.obj", "mtllib bad_kd.mtl\n" + tri + "f 1 2 3\n", "bad_kd.mtl:2: Kd needs three numbers (r g b)"},
        {"bad_map.obj", "mtllib bad_map.mtl\n" + tri + "f 1 2 3\n", "bad_map.mtl:2: map_Kd needs a file name"},
        {"missing_png.obj", "mtllib missing_png.mtl\n" + tri + face_a, "missing_png.mtl:3: texture: can not open '"},
        {"missing_bmp.obj", "mtllib missing_bmp.mtl\n" + tri + face_a, "missing_bmp.mtl:2: texture: can not open "},
        {"broken_png.obj", "mtllib broken_png.mtl\n" + tri + face_a,
         "broken_png.mtl:2: can not read the texture '"},
    };
    for (const Case& c : cases) {
        const std::string path = write_file(c.name, c.text);
        try {
            LoadMesh(path);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const koru::io::Load_Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": '" << e.what() << "'";
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << c.name;
        }
    }
    EXPECT_THROW(LoadMesh(test_dir() + "/absent.obj"), koru::io::Load_Error);
}

TEST(ObjMesh, AcceptsWhatWritersCommonlyProduce)
{
    // Line ends of another system, tabs, comments after numbers, groups,
    // smoothing groups, lines and usemtl without an MTL file.
    const Mesh mesh = LoadMesh(write_file("various.obj",
                                          "o thing\r\ng part\r\ns 1\r\nv\t0 0 0 # origin\r\nv 1 0 0 1\r\n"
                                          "v 0 1 0 0.5 0.5 0.5\r\nvt 0.25\r\nusemtl elsewhere\r\nl 1 2\r\n"
                                          "f 1/1 2/1 3/1\r\n"));
    EXPECT_EQ(mesh.vertices.size(), 3u);
    EXPECT_EQ(mesh.materials.size(), 1u);
    EXPECT_EQ(mesh.vertices[0].tex_coord[0], 0.25f);
}

// Exposes the stored materials of the scene store.
class Store : public CPU_Ray_Tracer {
public:
    const MATERIAL* material_array() const { return materials; }
};

TEST(ObjMesh, AddedMeshesRebaseMaterialsAndTexturesAndArePlaced)
{
    const unsigned char png_rgba[16] = {};
    std::string error;
    ASSERT_TRUE(koru::io::WritePng(test_dir() + "/black.png", 2, 2, png_rgba, error)) << error;
    write_file("one.mtl", "newmtl red\nKd 1 0 0\nmap_Kd black.png\n");
    const Mesh mesh = LoadMesh(write_file("placed.obj", "mtllib one.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n"
                                                        "usemtl red\nf 1/1 2/1 3/1\n"));
    Store* engine = new Store();
    engine->Init(4, 4);
    const unsigned char rgba[4] = {1, 2, 3, 4};
    engine->AddMaterial(koru::io::NeutralGrey());
    engine->AddMaterial(koru::io::NeutralGrey());
    engine->AddTexture(rgba, 1, 1, 0);
    const unsigned first[3] = {0, 0, 0};
    engine->AddTriangles(mesh.vertices.data(), 1, first, 3);

    // Scale by 2 about the origin, then move by (10, 20, 30).
    IGraphicsEngine::MATRIX4 placement;
    for (int a = 0; a < 3; ++a) {
        placement[a][a] = 2.0f;
        placement[a][3] = 10.0f * (a + 1);
    }
    const koru::io::Scene_Info info = koru::io::AddScene(*engine, mesh, placement);
    EXPECT_EQ(info.first_vertex, 1);
    EXPECT_EQ(info.first_index, 3);
    EXPECT_EQ(info.first_material, 2);
    EXPECT_EQ(info.first_texture, 1);
    EXPECT_EQ(info.vertices, 3);
    EXPECT_EQ(info.triangles, 1);
    EXPECT_EQ(info.box_min[0], 10.0f);
    EXPECT_EQ(info.box_max[1], 22.0f);
    ASSERT_EQ(engine->VertexCount(), 4);
    ASSERT_EQ(engine->IndexCount(), 6);
    const auto* v = engine->Vertices();
    EXPECT_EQ(v[2].pos[0], 12.0f);
    EXPECT_EQ(v[2].pos[1], 20.0f);
    EXPECT_EQ(v[3].pos[1], 22.0f);
    EXPECT_EQ(v[3].pos[2], 30.0f);
    EXPECT_NEAR(length(v[1].norm), 1.0f, 1e-6f);
    EXPECT_NEAR(v[1].norm[2], 1.0f, 1e-6f);
    EXPECT_EQ(v[1].material_id, 2);
    EXPECT_EQ(v[1].tex_id[0], 1);
    EXPECT_EQ(engine->Indices()[3], 1u);
    EXPECT_EQ(engine->material_array()[2].diffuse[0], 1.0f);
    engine->Release();
    delete engine;
}

TEST(ObjMesh, MeshesOverTheStoresLimitsAreRefusedNamingTheFileAndLimit)
{
    // 21846 separate triangles: 65538 vertices.
    std::string many_vertices;
    for (int t = 0; t < 21846; ++t) {
        const std::string x = std::to_string(2 * t);
        many_vertices += "v " + x + " 0 0\nv " + x + " 1 0\nv " + x + " 0 1\nf -3 -2 -1\n";
    }
    // 65536 triangles over a grid of 3 x 16385 vertices facing +z.
    std::string many_indices = "vn 0 0 1\n";
    for (int i = 0; i < 16385; ++i)
        for (int j = 0; j < 3; ++j)
            many_indices += "v " + std::to_string(i) + " " + std::to_string(j) + " 0\n";
    for (int i = 0; i < 16384; ++i)
        for (int j = 0; j < 2; ++j) {
            const std::string a = std::to_string(3 * i + j + 1), b = std::to_string(3 * i + j + 4),
                              c = std::to_string(3 * i + j + 5), d = std::to_string(3 * i + j + 2);
            many_indices += "f " + a + "//1 " + b + "//1 " + c + "//1\nf " + a + "//1 " + c + "//1 " + d + "//1\n";
        }
    const std::string over = test_dir() + "/over.obj";
    const std::pair<std::string, std::string> cases[2] = {
        {many_vertices, over + " has 65538 vertices; the engine holds 65535"},
        {many_indices, over + " has 65536 triangles; the engine holds 65535"}};
    for (const auto& c : cases) {
        const Mesh mesh = LoadMesh(write_file("over.obj", c.first));
        CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
        engine->Init(4, 4);
        testing::internal::CaptureStderr();
        try {
            koru::io::AddScene(*engine, mesh, IGraphicsEngine::MATRIX4());
            ADD_FAILURE() << c.second << " was not refused";
        } catch (const TAU_ERROR::Out_Of_Range& e) {
            EXPECT_EQ(e.message, c.second);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Out_Of_Range: " + c.second + "\n");
        EXPECT_EQ(engine->VertexCount(), 0);
        engine->Release();
        delete engine;
    }
}

} // namespace
