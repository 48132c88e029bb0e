// Plain meshes: positions and faces as tinyobjloader parses them, for the
// programs that only need the geometry (see obj.h).
#include "obj.h"

#include <tiny_obj_loader.h>

#include <climits>
#include <fstream>

#include "../engine/tau_error.h"
#include "obj_text.h"

namespace koru {
namespace io {

namespace {

using V4 = IGraphicsEngine::VECTOR4;
using Vertex = IGraphicsEngine::VERTEX;

// tinyobjloader's parse of the stream, its materials read through `materials`
// (null: mtllib lines are skipped).
Plain_Mesh read_plain_mesh(std::istream& in, const std::string& name, tinyobj::MaterialReader* materials,
                           Warning_Handler on_warning)
{
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> material_records;
    std::string warn, err;
    if (!tinyobj::LoadObj(&attrib, &shapes, &material_records, &warn, &err, &in, materials, false))
        throw Load_Error("cannot read OBJ file '" + name + "': " + (err.empty() ? "unknown error" : one_line(err)));
    if (!warn.empty()) {
        if (on_warning == nullptr)
            throw Load_Error("malformed OBJ file '" + name + "': " + one_line(warn));
        on_warning(name, one_line(warn));
    }

    Plain_Mesh mesh;
    const std::size_t n_positions = attrib.vertices.size() / 3;
    mesh.vertices.reserve(n_positions);
    for (std::size_t i = 0; i < n_positions; ++i)
        mesh.vertices.push_back(
            PlainVertex(attrib.vertices[3 * i], attrib.vertices[3 * i + 1], attrib.vertices[3 * i + 2]));

    for (const tinyobj::shape_t& shape : shapes) {
        std::size_t first = 0;
        for (std::size_t f = 0; f < shape.mesh.num_face_vertices.size(); ++f) {
            const std::size_t corners = shape.mesh.num_face_vertices[f];
            if (corners < 3)
                throw Load_Error("malformed OBJ file '" + name + "': a face of " + std::to_string(corners) +
                                 " corners in shape '" + shape.name + "'");
            if (first + corners > shape.mesh.indices.size())
                throw Load_Error("malformed OBJ file '" + name + "': a face has fewer corners than it says");
            for (std::size_t c = 0; c < corners; ++c) {
                const int v = shape.mesh.indices[first + c].vertex_index;
                if (v < 0 || static_cast<std::size_t>(v) >= n_positions)
                    throw Load_Error("malformed OBJ file '" + name + "': a face refers to a missing vertex");
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

} // namespace

IGraphicsEngine::VERTEX PlainVertex(float x, float y, float z)
{
    Vertex v;
    v.pos = V4(x, y, z, 1.0f);
    v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = 0;
    return v;
}

Plain_Mesh LoadPlainMesh(std::istream& in, const std::string& name, Warning_Handler on_warning)
{
    return read_plain_mesh(in, name, nullptr, on_warning);
}

Plain_Mesh LoadPlainMesh(const std::string& path, Warning_Handler on_warning)
{
    std::ifstream in(path);
    if (!in)
        throw Load_Error("cannot read OBJ file '" + path + "': Cannot open file [" + path + "]");
    tinyobj::MaterialFileReader materials("");
    return read_plain_mesh(in, path, &materials, on_warning);
}

void AddPlainMesh(IGraphicsEngine& engine, const Plain_Mesh& mesh)
{
    if (mesh.vertices.size() > static_cast<std::size_t>(INT_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many vertices");
    if (mesh.indices.size() > static_cast<std::size_t>(INT_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many indices");
    if (!mesh.indices.empty())
        engine.AddTriangles(mesh.vertices.data(), static_cast<int>(mesh.vertices.size()), mesh.indices.data(),
                            static_cast<int>(mesh.indices.size()));
}

} // namespace io
} // namespace koru
