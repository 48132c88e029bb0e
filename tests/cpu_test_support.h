// Shared by the CPU tracer tests: the walks over an engine's tree, trees
// made from arrays, in-memory textures and random scenes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cpu/frame.h"
#include "cpu/ray_packet.h"
#include "cpu/traversal.h"
#include "engine/engines.h"
#include "store/engine_access.h"
#include "rt/shading.h"
#include "rt/scene_walk.h"
#include "kdtree/kdtree.h"

namespace cpu_test {

using V4 = TAU_MATH::VECTOR<4, float>;
using Ray4 = TAU_MATH::RAY<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Material = TAU_GRAPHICS::MATERIAL<3>;
using Light = TAU_GRAPHICS::Point_Light<4, float>;
using koru::cpu::Ray_Packet;
using koru::cpu::Ray_Packet_Of;

using Test_Tracer = CPU_Ray_Tracer;

// The single-ray walk over the engine's tree.
inline unsigned kd_tree_traverse(const CPU_Ray_Tracer& engine, const Ray4& ray, RAYTR::Hit* hit)
{
    return koru::rt::traverse_ray(koru::cpu::tree_view(engine), ray, hit);
}

inline koru::cpu::Packet_Tree tree_view(const CPU_Ray_Tracer& engine) { return koru::cpu::packet_tree(engine); }

// The block's primary packet under the camera matrix of the last frame.
inline void make_primary_packet(CPU_Ray_Tracer& engine, int x, int y, Ray_Packet& packet)
{
    koru::cpu::Frame_Scene scene{};
    scene.cam_matrix = engine.GetCamMatrix();
    scene.eye = koru::rt::eye_view(engine.Width(), engine.Height(), koru::rt::half_view_angle_of(engine.FieldOfView()));
    scene.width = engine.Width();
    scene.height = engine.Height();
    koru::cpu::make_primary_packet(scene, x, y, packet);
}

// A kd-tree made by hand from arrays: nodes, leaf records and the vertices
// they refer to.
struct Array_Tree {
    std::vector<RAYTR::KdTreeNode> nodes;
    std::vector<uint32_t> records;
    std::vector<Vertex> vertices;
    RAYTR::KdTreeBox box;

    koru::cpu::Packet_Tree tree() const
    {
        koru::cpu::Packet_Tree t;
        t.view.nodes = nodes.data();
        t.view.node_count = static_cast<uint32_t>(nodes.size());
        t.view.world_box = box;
        t.view.obj_list = reinterpret_cast<const unsigned char*>(records.data());
        t.view.vertices = vertices.data();
        t.view.scale = koru::rt::box_scale(box);
        t.blocks = nullptr;
        return t;
    }
};

inline RAYTR::KdTreeNode inner_node(int axis, float position, uint32_t left_child)
{
    RAYTR::KdTreeNode n;
    std::memcpy(&n.word0, &position, sizeof position);
    n.word1 = (static_cast<uint32_t>(axis) << 29) | left_child;
    return n;
}

inline RAYTR::KdTreeNode leaf_node(int32_t record_offset)
{
    RAYTR::KdTreeNode n;
    n.word0 = static_cast<uint32_t>(record_offset);
    n.word1 = 0xFFFFFFFFu;
    return n;
}

inline RAYTR::KdTreeBox make_box(float x0, float y0, float z0, float x1, float y1, float z1)
{
    RAYTR::KdTreeBox b;
    b.min = V4(x0, y0, z0, 0.0f);
    b.max = V4(x1, y1, z1, 0.0f);
    return b;
}

inline Ray4 make_ray(float ox, float oy, float oz, float dx, float dy, float dz)
{
    Ray4 r;
    r.pos = V4(ox, oy, oz, 1.0f);
    r.dir = TAU_MATH::Normalize(V4(dx, dy, dz, 0.0f));
    return r;
}

inline Vertex make_vertex(float x, float y, float z, int material = 0, unsigned char texture = 255)
{
    Vertex v;
    v.pos = V4(x, y, z, 1.0f);
    v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = material;
    v.tex_id[0] = texture;
    return v;
}

// A triangle with corners (x, y0 - s, z0 - s), (x, y0 + s, z0 - s), (x, y0, z0 + s):
// a wall facing the x axis.
inline void add_wall(std::vector<Vertex>& vertices, std::vector<unsigned>& indices, float x, float y0, float z0,
                     float s, int material = 0)
{
    const unsigned base = static_cast<unsigned>(vertices.size());
    vertices.push_back(make_vertex(x, y0 - s, z0 - s, material));
    vertices.push_back(make_vertex(x, y0 + s, z0 - s, material));
    vertices.push_back(make_vertex(x, y0, z0 + s, material));
    for (unsigned k = 0; k < 3; ++k) {
        vertices[base + k].norm = V4(-1.0f, 0.0f, 0.0f, 0.0f);
        indices.push_back(base + k);
    }
}

inline Material make_material(float ambient, float diffuse, float specular, float power)
{
    Material m;
    m.ambient = TAU_MATH::VECTOR<3, float>(ambient, ambient, ambient);
    m.diffuse = TAU_MATH::VECTOR<3, float>(diffuse, diffuse, diffuse);
    m.specular = TAU_MATH::VECTOR<3, float>(specular, specular, specular);
    m.spec_power = power;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

// Random RGBA texels.
inline void fill_random_image(IMAGE& image, int w, int h, std::mt19937& rng)
{
    image.SetSize(w, h);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < image.ByteCount(); ++i)
        image.data[i] = static_cast<unsigned char>(byte(rng));
}

// A random scene in front of the default camera: triangles of assorted
// sizes and orientations, random normals, materials, textures and lights.
inline void add_random_scene(IGraphicsEngine& engine, std::mt19937& rng, int n_triangles, int n_lights,
                             const IMAGE* textures, int n_textures)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto range = [&](float lo, float hi) { return lo + (hi - lo) * unit(rng); };

    const int n_materials = 4;
    for (int m = 0; m < n_materials; ++m) {
        Material mat = make_material(0.0f, 0.0f, 0.0f, range(1.0f, 80.0f));
        for (int c = 0; c < 3; ++c) {
            mat.ambient[c] = range(0.0f, 0.2f);
            mat.diffuse[c] = range(0.0f, 0.7f);
            mat.specular[c] = range(0.0f, 0.7f);
        }
        engine.AddMaterial(mat);
    }
    for (int t = 0; t < n_textures; ++t)
        engine.AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                          static_cast<unsigned>(textures[t].height), 0);
    for (int l = 0; l < n_lights; ++l) {
        Light light;
        light.power = range(0.5f, 2.0f);
        light.kc = range(0.05f, 0.5f);
        light.kl = range(0.0f, 0.1f);
        light.kq = range(0.0f, 0.02f);
        light.pos = V4(range(-5.0f, 5.0f), range(1.0f, 6.0f), range(-2.0f, 7.0f), 1.0f);
        engine.AddPointLight(light);
    }

    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    const unsigned char texture_choices[4] = {0, 1, 255, 7};
    for (int t = 0; t < n_triangles; ++t) {
        const float cx = range(-3.5f, 3.5f), cy = range(-2.5f, 2.5f), cz = range(-4.0f, 3.0f);
        const float size = range(0.2f, 2.0f);
        const int material = static_cast<int>(unit(rng) * n_materials) % n_materials;
        const unsigned char texture = texture_choices[static_cast<int>(unit(rng) * 4) % 4];
        for (int k = 0; k < 3; ++k) {
            Vertex v = make_vertex(cx + size * range(-1.0f, 1.0f), cy + size * range(-1.0f, 1.0f),
                                   cz + size * range(-1.0f, 1.0f), material, texture);
            v.norm = TAU_MATH::Normalize(V4(range(-1.0f, 1.0f), range(-1.0f, 1.0f), range(-0.2f, 1.0f), 0.0f));
            v.tex_coord = TAU_MATH::VECTOR<2, float>(range(-0.5f, 2.5f), range(-0.5f, 2.5f));
            indices.push_back(static_cast<unsigned>(vertices.size()));
            vertices.push_back(v);
        }
    }
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

// A rolling seeded surface of n x n vertices and 2 (n - 1)^2 triangles
// facing the default camera, one material, one light: past the default
// capacities for n > 256, so the engine is first asked for room (after Init,
// while it is empty).
inline void add_height_field(Common_Graphics_Engine& engine, int n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> bump(-0.02f, 0.02f);
    const auto at = [n](int i, int j) { return static_cast<unsigned>(i * n + j); };
    const auto height = [](float x, float y) { return -2.0f + 0.6f * std::sin(1.3f * x) * std::cos(0.9f * y); };
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const float x = -4.0f + 8.0f * static_cast<float>(j) / static_cast<float>(n - 1);
            const float y = -3.0f + 6.0f * static_cast<float>(i) / static_cast<float>(n - 1);
            Vertex v = make_vertex(x, y, height(x, y) + bump(rng));
            const float dx = 0.78f * std::cos(1.3f * x) * std::cos(0.9f * y);
            const float dy = -0.54f * std::sin(1.3f * x) * std::sin(0.9f * y);
            v.norm = TAU_MATH::Normalize(V4(-dx, -dy, 1.0f, 0.0f));
            vertices.push_back(v);
        }
    for (int i = 0; i + 1 < n; ++i)
        for (int j = 0; j + 1 < n; ++j) {
            const unsigned quad[6] = {at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i + 1, j)};
            indices.insert(indices.end(), quad, quad + 6);
        }
    engine.SetCapacity(std::max(n * n, Common_Graphics_Engine::kMaxVertices),
                       std::max(static_cast<int>(indices.size()), Common_Graphics_Engine::kMaxIndices),
                       Common_Graphics_Engine::kMaxSpheres);
    engine.AddMaterial(make_material(0.1f, 0.6f, 0.3f, 30.0f));
    Light light;
    light.power = 1.0f;
    light.kc = 0.3f;
    light.kl = 0.02f;
    light.kq = 0.005f;
    light.pos = V4(-2.0f, 3.0f, 4.0f, 1.0f);
    engine.AddPointLight(light);
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

} // namespace cpu_test
