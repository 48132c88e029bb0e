// Wavefront OBJ meshes for the tools and the fuzz targets: tinyobjloader's
// parse turned into the engine's vertices and indices, and handed to an
// engine through the scene store, whose limits and messages then apply.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include <tiny_obj_loader.h>

#include "engine/graphics_engine.h"

namespace koru_tools {

using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

struct Mesh {
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
};

// A vertex at (x, y, z) facing +z, material 0, untextured.
Vertex make_vertex(float x, float y, float z);

// Every OBJ position becomes one vertex; faces in file order, polygons fanned
// from their first corner. name is the file's name in messages; materials
// reads the files of mtllib lines (null: they are skipped). Throws
// std::runtime_error with a one-line message for input tinyobjloader cannot
// read, warns about, or whose faces refer to missing vertices.
Mesh load_obj(std::istream& in, const std::string& name, tinyobj::MaterialReader* materials);

// The same from a file; mtllib files are looked for in the working folder.
Mesh load_obj_file(const std::string& path);

// Adds the whole mesh in one AddTriangles call (the store's limits are
// totals); a mesh without faces adds nothing. Whatever the store refuses
// comes back as its TAU_ERROR::Out_Of_Range.
void add_mesh(IGraphicsEngine& engine, const Mesh& mesh);

} // namespace koru_tools
