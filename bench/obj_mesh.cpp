#include "obj_mesh.h"

#include <tiny_obj_loader.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace koru {
namespace bench {
namespace {

using V4 = TAU_MATH::VECTOR<4, float>;

// The loader's multi-line texts on one line.
std::string one_line(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace

Obj_Mesh load_obj_mesh(const std::string& path)
{
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, path.c_str(), nullptr, false))
        throw std::runtime_error("cannot read OBJ file '" + path + "': " +
                                 (err.empty() ? "unknown error" : one_line(err)));
    if (!warn.empty())
        std::fprintf(stderr, "koru_bench: %s: %s\n", path.c_str(), one_line(warn).c_str());

    Obj_Mesh mesh;
    const std::size_t n_positions = attrib.vertices.size() / 3;
    mesh.vertices.resize(n_positions);
    for (std::size_t i = 0; i < n_positions; ++i) {
        TAU_GRAPHICS::VERTEX<4, float>& v = mesh.vertices[i];
        v.pos = V4(attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2], 1.0f);
        v.norm = V4(0.0f, 0.0f, 0.0f, 0.0f);
        v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
        v.material_id = 0;
    }

    for (const tinyobj::shape_t& shape : shapes) {
        std::size_t first = 0;
        for (const unsigned char corners : shape.mesh.num_face_vertices) {
            if (corners < 3)
                throw std::runtime_error("malformed OBJ file '" + path + "': a face of " + std::to_string(corners) +
                                         " corners in shape '" + shape.name + "'");
            for (std::size_t c = 0; c < corners; ++c) {
                const int v = shape.mesh.indices[first + c].vertex_index;
                if (v < 0 || static_cast<std::size_t>(v) >= n_positions)
                    throw std::runtime_error("malformed OBJ file '" + path + "': a face refers to a missing vertex");
            }
            for (std::size_t c = 1; c + 1 < corners; ++c) {
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first].vertex_index));
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first + c].vertex_index));
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first + c + 1].vertex_index));
            }
            first += corners;
        }
    }
    if (mesh.indices.empty())
        throw std::runtime_error("OBJ file '" + path + "' has no faces");

    // Smooth normals: each face adds its cross product, whose length is twice its area.
    for (std::size_t t = 0; t < mesh.indices.size(); t += 3) {
        TAU_GRAPHICS::VERTEX<4, float>* corner[3] = {&mesh.vertices[mesh.indices[t]],
                                                     &mesh.vertices[mesh.indices[t + 1]],
                                                     &mesh.vertices[mesh.indices[t + 2]]};
        const V4 n = TAU_MATH::Cross3(corner[1]->pos - corner[0]->pos, corner[2]->pos - corner[0]->pos);
        for (auto* v : corner)
            v->norm = v->norm + n;
    }
    for (TAU_GRAPHICS::VERTEX<4, float>& v : mesh.vertices) {
        if (TAU_MATH::Dot3(v.norm, v.norm) > 0.0f)
            v.norm = TAU_MATH::Normalize(v.norm);
        else
            v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        v.norm[3] = 0.0f;
    }

    for (int a = 0; a < 3; ++a)
        mesh.lo[a] = mesh.hi[a] = mesh.vertices[mesh.indices[0]].pos[a];
    for (const unsigned i : mesh.indices)
        for (int a = 0; a < 3; ++a) {
            mesh.lo[a] = std::min(mesh.lo[a], mesh.vertices[i].pos[a]);
            mesh.hi[a] = std::max(mesh.hi[a], mesh.vertices[i].pos[a]);
        }
    return mesh;
}

} // namespace bench
} // namespace koru
