// A Wavefront OBJ file as one plain mesh for the benchmark.
#pragma once

#include <string>
#include <vector>

#include "engine/tau_graphics.h"

namespace koru {
namespace bench {

struct Obj_Mesh {
    std::vector<TAU_GRAPHICS::VERTEX<4, float>> vertices;
    std::vector<unsigned> indices;
    float lo[3] = {0.0f, 0.0f, 0.0f}; // bounding box of the faces' corners
    float hi[3] = {0.0f, 0.0f, 0.0f};
};

// Every OBJ position becomes a vertex; faces in file order, polygons fanned
// from their first corner. The file's normals, texture coordinates and
// materials are not read: each vertex gets the area-weighted mean of the
// normals of the faces around it, material 0 and no texture. Throws
// std::runtime_error when the file cannot be read or is malformed, or has no
// face; the loader's warnings go to standard error.
Obj_Mesh load_obj_mesh(const std::string& path);

} // namespace bench
} // namespace koru
