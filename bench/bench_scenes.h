// The benchmark's scenes and measures: the demo's textures (or stand-ins),
// a bumpy sphere mesh, an OBJ file's mesh with smooth normals, and the
// process's peak memory.
#pragma once

#include <string>

#include "engine/engines.h"
#include "io/obj.h"

namespace koru {
namespace bench {

// The demo's textures from data/ when they are there, else stand-ins of the
// same kind (stripes, checks, rings) made here.
void load_textures(IMAGE images[3]);

// A sphere of radius 3 with smooth bumps, as a latitude-longitude grid of
// `rows` bands and `slices` segments (2 * rows * slices triangles), smooth
// vertex normals and a repeating texture.
void add_bumpy_sphere(IGraphicsEngine& engine, int rows, int slices);

// The neutral material of the meshes.
TAU_GRAPHICS::MATERIAL<3> mesh_material();

// The demo's light where the demo's first frame puts it.
TAU_GRAPHICS::Point_Light<4, float> first_frame_light();

struct Obj_Mesh {
    io::Plain_Mesh mesh;
    float lo[3] = {0.0f, 0.0f, 0.0f}; // bounding box of the faces' corners
    float hi[3] = {0.0f, 0.0f, 0.0f};
};

// The file's positions and faces, each vertex with the area-weighted mean of
// the normals of the faces around it. The reader's warnings go to standard
// error; a file without faces is refused.
Obj_Mesh load_obj_mesh(const std::string& path);

// The most memory the process has held resident so far, in MiB.
double peak_memory_mib();

} // namespace bench
} // namespace koru
