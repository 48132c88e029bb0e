#include "scene.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

namespace demo {

using TAU_MATH::MATRIX;
using TAU_MATH::VECTOR;
using V4 = VECTOR<4, float>;
using M4 = MATRIX<4, 4, float>;

const char* const kTexturePaths[3] = {"data/parquet.bmp", "data/texture1.bmp", "data/texture4.bmp"};
const char* const kTextureNames[3] = {"parquet.bmp", "texture1.bmp", "texture4.bmp"};

namespace {

// Where the cubes stand: the floor's height, the middle of their row, and
// the size a mesh in their place is scaled to.
constexpr float floor_y = -3.0f;
constexpr float cubes_x = 0.0f;
constexpr float cubes_z = 2.0f;
constexpr float mesh_size = 3.0f;

// Where an installed demo's textures are, from the program's folder.
#ifdef KORU_INSTALLED_DATA
const char* const installed_data = KORU_INSTALLED_DATA;
#else
const char* const installed_data = "../share/koru/data";
#endif

bool is_folder(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string DataFolder(const std::string& option, const std::string& program_folder)
{
    if (!option.empty())
        return option;
    if (is_folder("data") || program_folder.empty())
        return "data";
    const std::string beside = program_folder + "/data";
    if (is_folder(beside))
        return beside;
    const std::string installed = program_folder + "/" + installed_data;
    if (is_folder(installed))
        return installed;
    return "data";
}

std::string TexturePath(const std::string& folder, int texture)
{
    const bool slash = !folder.empty() && folder.back() == '/';
    return folder + (slash ? "" : "/") + kTextureNames[texture];
}

M4 FloorPlacement(const float box_min[3], const float box_max[3])
{
    const float longest = std::max({box_max[0] - box_min[0], box_max[1] - box_min[1], box_max[2] - box_min[2]});
    const float scale = longest > 0.0f ? mesh_size / longest : 1.0f;
    M4 placement;
    for (int a = 0; a < 3; ++a)
        placement[a][a] = scale;
    placement[0][3] = cubes_x - scale * 0.5f * (box_min[0] + box_max[0]);
    placement[1][3] = floor_y - scale * box_min[1];
    placement[2][3] = cubes_z - scale * 0.5f * (box_min[2] + box_max[2]);
    return placement;
}

Mesh MakeCube(int material_id, const M4& placement, float edge, unsigned char texture)
{
    const float h = edge / 2.0f;
    // Six faces of four corners, each with its outward normal.
    const float corners[6][4][3] = {
        {{-h, -h, -h}, {-h, h, -h}, {h, h, -h}, {h, -h, -h}},
        {{-h, -h, h}, {-h, h, h}, {h, h, h}, {h, -h, h}},
        {{-h, -h, -h}, {-h, -h, h}, {-h, h, h}, {-h, h, -h}},
        {{h, -h, -h}, {h, -h, h}, {h, h, h}, {h, h, -h}},
        {{-h, -h, -h}, {-h, -h, h}, {h, -h, h}, {h, -h, -h}},
        {{-h, h, -h}, {-h, h, h}, {h, h, h}, {h, h, -h}},
    };
    const float normals[6][3] = {{0, 0, -1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
    const float tex[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};

    Mesh mesh;
    mesh.vertices.resize(24);
    for (int f = 0; f < 6; ++f) {
        for (int c = 0; c < 4; ++c) {
            Vertex& v = mesh.vertices[4 * f + c];
            v.material_id = material_id;
            v.tex_id[0] = texture;
            v.tex_coord = VECTOR<2, float>(tex[c][0], tex[c][1]);
            v.pos = placement * V4(corners[f][c][0], corners[f][c][1], corners[f][c][2], 1.0f);
            v.norm = TAU_MATH::Normalize(placement * V4(normals[f][0], normals[f][1], normals[f][2], 0.0f));
        }
        const unsigned b = 4u * static_cast<unsigned>(f);
        const unsigned face[6] = {b, b + 1, b + 2, b, b + 2, b + 3};
        mesh.indices.insert(mesh.indices.end(), face, face + 6);
    }
    return mesh;
}

TAU_GRAPHICS::Point_Light<4, float> DemoLight()
{
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.color = V4(1.0f, 1.0f, 1.0f, 1.0f);
    light.power = 1.5f;
    light.kc = 0.1f;
    light.kl = 0.1f;
    light.kq = 0.008f;
    light.pos = V4(-2.0f, 2.0f, 2.0f, 1.0f);
    return light;
}

V4 LightPosition(float angle, float w)
{
    return V4(4.0f * std::sin(angle), 2.0f, 4.0f * std::cos(angle), w);
}

namespace {

TAU_GRAPHICS::MATERIAL<3> make_material(float ar, float ag, float ab, float dr, float dg, float db, float sr,
                                        float sg, float sb, float p0, float p2)
{
    TAU_GRAPHICS::MATERIAL<3> m;
    m.ambient = VECTOR<3, float>(ar, ag, ab);
    m.diffuse = VECTOR<3, float>(dr, dg, db);
    m.specular = VECTOR<3, float>(sr, sg, sb);
    m.spec_power = 60.0f;
    m.param[0].f = p0;
    m.param[1].f = 0.0f;
    m.param[2].f = p2;
    m.param[3].i = 0;
    return m;
}

TAU_MATH::SPHERE<4, float> make_sphere(float x, float y, float z, float radius, float radius2, int material)
{
    TAU_MATH::SPHERE<4, float> s;
    s.center = V4(x, y, z, 1.0f);
    s.radius = radius;
    s.radius2 = radius2;
    s.material_id = material;
    s.reserved = 0;
    return s;
}

} // namespace

void AddDemoScene(IGraphicsEngine& engine, const IMAGE* textures, const koru::io::Scene* mesh)
{
    // A second light is described as well but never added.
    TAU_GRAPHICS::Point_Light<4, float> unused_light;
    unused_light.color = V4(1.0f, 0.0f, 0.0f, 0.0f);
    unused_light.power = 1.0f;
    unused_light.kc = 0.1f;
    unused_light.kl = 0.1f;
    unused_light.kq = 0.008f;
    unused_light.pos = V4(-2.0f, 4.0f, 2.0f, 1.0f);
    (void)unused_light;

    const TAU_GRAPHICS::MATERIAL<3> materials[7] = {
        make_material(0.15f, 0.15f, 0.15f, 0.3f, 0.3f, 0.3f, 0.55f, 0.55f, 0.55f, 0.5f, -1.0f),
        make_material(0.0f, 0.0f, 0.15f, 0.0f, 0.0f, 0.3f, 0.0f, 0.0f, 0.55f, 0.5f, -1.0f),
        make_material(0.15f, 0.0f, 0.0f, 0.3f, 0.0f, 0.0f, 0.55f, 0.0f, 0.0f, 0.5f, -1.0f),
        make_material(0.15f, 0.15f, 0.15f, 0.3f, 0.3f, 0.3f, 0.55f, 0.55f, 0.55f, 0.0f, -1.0f),
        make_material(0.0f, 0.15f, 0.15f, 0.0f, 0.3f, 0.3f, 0.0f, 0.55f, 0.55f, 0.35f, -1.0f),
        make_material(0.2f, 0.2f, 0.2f, 0.35f, 0.35f, 0.35f, 0.55f, 0.55f, 0.55f, 0.35f, 0.0f),
        make_material(0.15f, 0.15f, 0.0f, 0.3f, 0.3f, 0.0f, 0.55f, 0.55f, 0.0f, 0.5f, 0.0f),
    };

    Vertex floor_vertices[4];
    const float floor_pos[4][2] = {{-50, -50}, {-50, 50}, {50, 50}, {50, -50}};
    const float floor_tex[4][2] = {{0, 0}, {0, 16}, {16, 16}, {16, 0}};
    for (int k = 0; k < 4; ++k) {
        floor_vertices[k].pos = V4(floor_pos[k][0], floor_y, floor_pos[k][1], 1.0f);
        floor_vertices[k].norm = V4(0.0f, 1.0f, 0.0f, 1.0f);
        floor_vertices[k].tex_coord = VECTOR<2, float>(floor_tex[k][0], floor_tex[k][1]);
        floor_vertices[k].material_id = 5;
        floor_vertices[k].tex_id[0] = 0;
    }
    const unsigned floor_indices[6] = {0, 1, 2, 2, 3, 0};

    alignas(16) const TAU_MATH::SPHERE<4, float> spheres[3] = {
        make_sphere(1.5f, -2.0f, -3.0f, 1.0f, 1.0f, 1),
        make_sphere(-1.0f, -2.0f, -3.0f, 1.0f, 1.0f, 0),
        make_sphere(0.0f, 0.51f, 2.0f, 0.5f, 0.25f, 6),
    };

    // Cubes: translation, turn about y in radians (none: translation alone),
    // material and texture byte.
    struct CubePlacement {
        float x, y, z;
        bool turned;
        float angle;
        int material;
        unsigned char texture;
    };
    const CubePlacement cubes[7] = {
        {0.0f, -2.5f, 2.0f, false, 0.0f, 5, 0},   {-1.5f, -2.5f, 2.0f, true, 45.0f, 3, 1},
        {4.0f, -2.5f, 0.0f, true, -45.0f, 5, 2},  {-0.8f, -1.5f, 2.0f, true, 30.0f, 3, 1},
        {1.5f, -2.5f, 2.0f, true, 20.0f, 3, 1},   {0.6f, -1.51f, 2.0f, true, 0.0f, 4, 255},
        {0.0f, -0.499f, 2.0f, false, 0.0f, 1, 255},
    };

    engine.AddPointLight(DemoLight());
    for (const auto& m : materials)
        engine.AddMaterial(m);
    for (int t = 0; t < 3; ++t)
        engine.AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                          static_cast<unsigned>(textures[t].height), 0);
    engine.AddTriangles(floor_vertices, 4, floor_indices, 6);
    engine.AddSpheres(spheres, 2);
    if (mesh != nullptr) {
        koru::io::AddScene(engine, *mesh, FloorPlacement(mesh->box_min, mesh->box_max));
    } else {
        for (const CubePlacement& c : cubes) {
            M4 placement = TAU_MATH::Translation(V4(c.x, c.y, c.z, 1.0f));
            if (c.turned)
                placement = placement * TAU_MATH::RotationY(c.angle);
            const Mesh cube = MakeCube(c.material, placement, 1.0f, c.texture);
            engine.AddTriangles(cube.vertices.data(), 24, cube.indices.data(), 36);
        }
    }
    engine.AddSpheres(spheres + 2, 1);
}

} // namespace demo
