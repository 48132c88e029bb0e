// Wavefront OBJ meshes, read in one of two ways.
//
// Scenes (the demo's --obj, koru_render): every face becomes triangles,
// materials keep their MTL diffuse colour and diffuse texture (BMP or PNG),
// and the mesh is added through IGraphicsEngine so that any engine draws it.
//
// Plain meshes (koru_kdtree, koru_bench, the fuzz target): positions and
// faces only, as tinyobjloader parses them; normals, texture coordinates and
// materials are not read.
#pragma once

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../engine/graphics_engine.h"

namespace koru {
namespace io {

// A mesh file, MTL file or texture that can not be read or is malformed: a
// one-line text that names the file and, where the reader knows it, the line
// ("a.obj:12: ...").
class Load_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// RGBA texels, 4 bytes per pixel, the bottom row first (v = 0 at the bottom,
// as OBJ texture coordinates have it).
struct Texture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;
};

struct Mesh {
    // material_id indexes `materials`; tex_id[0] indexes `textures` or is
    // TAU_GRAPHICS::kNoTexture.
    std::vector<IGraphicsEngine::VERTEX> vertices;
    std::vector<unsigned> indices;
    std::vector<IGraphicsEngine::MATERIAL> materials; // never empty
    std::vector<Texture> textures;
    float box_min[3] = {0.0f, 0.0f, 0.0f}; // bounds of the vertices
    float box_max[3] = {0.0f, 0.0f, 0.0f};
};

// Faces in file order, polygons fanned from their first corner. Every line of
// the OBJ and MTL files is checked first, so that a malformed file is refused
// with its line. Normals come from the file; without them each corner
// averages the faces around its position that turn less than 60 degrees
// from its own face, so smooth surfaces share vertices and hard edges stay
// hard. Throws Load_Error.
Mesh LoadMesh(const std::string& path);

// The material of meshes without an MTL file, and of faces without a material.
IGraphicsEngine::MATERIAL NeutralGrey();

// Adds the mesh's materials, textures and triangles to the engine, positions
// placed by `placement` (rotation, uniform scale and translation). The
// store's limits throw TAU_ERROR::Out_Of_Range with the store's message.
void AddMesh(IGraphicsEngine& engine, const Mesh& mesh, const IGraphicsEngine::MATRIX4& placement);

// Every OBJ position becomes one PlainVertex.
struct Plain_Mesh {
    std::vector<IGraphicsEngine::VERTEX> vertices;
    std::vector<unsigned> indices;
};

// A vertex at (x, y, z) facing +z, material 0, untextured.
IGraphicsEngine::VERTEX PlainVertex(float x, float y, float z);

// Receives tinyobjloader's warnings, on one line, with the file's name.
using Warning_Handler = void (*)(const std::string& name, const std::string& warning);

// Faces in file order, polygons fanned from their first corner; a file
// without faces gives a mesh without indices. name is the file's name in
// messages. With a handler, warnings go to on_warning and the read goes on;
// without one, they refuse the file. Throws Load_Error for input
// tinyobjloader cannot read, or whose faces refer to missing vertices.
// From a stream, mtllib lines are skipped.
Plain_Mesh LoadPlainMesh(std::istream& in, const std::string& name, Warning_Handler on_warning = nullptr);

// The same from a file; mtllib files are looked for in the working folder.
Plain_Mesh LoadPlainMesh(const std::string& path, Warning_Handler on_warning = nullptr);

// Adds the whole mesh in one AddTriangles call (the store's limits are
// totals); a mesh without faces adds nothing. Whatever the store refuses
// comes back as its TAU_ERROR::Out_Of_Range.
void AddPlainMesh(IGraphicsEngine& engine, const Plain_Mesh& mesh);

} // namespace io
} // namespace koru
