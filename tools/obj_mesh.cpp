#include "obj_mesh.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>

#include "engine/tau_error.h"

namespace koru_tools {

namespace {

// The loader's multi-line texts on one line.
std::string trimmed(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

Vertex make_vertex(float x, float y, float z)
{
    Vertex v;
    v.pos = TAU_MATH::VECTOR<4, float>(x, y, z, 1.0f);
    v.norm = TAU_MATH::VECTOR<4, float>(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = 0;
    return v;
}

Mesh load_obj(std::istream& in, const std::string& name, tinyobj::MaterialReader* materials)
{
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> material_records;
    std::string warn, err;
    if (!tinyobj::LoadObj(&attrib, &shapes, &material_records, &warn, &err, &in, materials, false))
        throw std::runtime_error("cannot read OBJ file '" + name + "': " +
                                 (err.empty() ? "unknown error" : trimmed(err)));
    if (!warn.empty())
        throw std::runtime_error("malformed OBJ file '" + name + "': " + trimmed(warn));

    Mesh mesh;
    const std::size_t n_positions = attrib.vertices.size() / 3;
    mesh.vertices.reserve(n_positions);
    for (std::size_t i = 0; i < n_positions; ++i)
        mesh.vertices.push_back(
            make_vertex(attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2]));

    for (const tinyobj::shape_t& shape : shapes) {
        std::size_t first = 0;
        for (std::size_t f = 0; f < shape.mesh.num_face_vertices.size(); ++f) {
            const std::size_t corners = shape.mesh.num_face_vertices[f];
            if (corners < 3)
                throw std::runtime_error("malformed OBJ file '" + name + "': a face of " + std::to_string(corners) +
                                         " corners in shape '" + shape.name + "'");
            if (first + corners > shape.mesh.indices.size())
                throw std::runtime_error("malformed OBJ file '" + name + "': a face has fewer corners than it says");
            for (std::size_t c = 0; c < corners; ++c) {
                const int v = shape.mesh.indices[first + c].vertex_index;
                if (v < 0 || static_cast<std::size_t>(v) >= n_positions)
                    throw std::runtime_error("malformed OBJ file '" + name + "': a face refers to a missing vertex");
            }
            for (std::size_t c = 1; c + 1 < corners; ++c) {
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first].vertex_index));
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first + c].vertex_index));
                mesh.indices.push_back(static_cast<unsigned>(shape.mesh.indices[first + c + 1].vertex_index));
            }
            first += corners;
        }
    }
    return mesh;
}

Mesh load_obj_file(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read OBJ file '" + path + "': Cannot open file [" + path + "]");
    tinyobj::MaterialFileReader materials("");
    return load_obj(in, path, &materials);
}

void add_mesh(IGraphicsEngine& engine, const Mesh& mesh)
{
    if (mesh.vertices.size() > static_cast<std::size_t>(INT32_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many vertices");
    if (mesh.indices.size() > static_cast<std::size_t>(INT32_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many indices");
    if (!mesh.indices.empty())
        engine.AddTriangles(mesh.vertices.data(), static_cast<int>(mesh.vertices.size()), mesh.indices.data(),
                            static_cast<int>(mesh.indices.size()));
}

} // namespace koru_tools
