// The benchmark's scenes and measures: the demo's textures (or stand-ins),
// a bumpy sphere mesh, a scene file's mesh (any format the library's
// importer reads), and the process's peak memory.
#pragma once

#include <string>

#include "engine/engines.h"
#include "engine/scene_io.h"

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
    io::Scene mesh; // every vertex in material 0, untextured
    float lo[3] = {0.0f, 0.0f, 0.0f}; // bounding box of the faces' corners
    float hi[3] = {0.0f, 0.0f, 0.0f};
};

// The scene file's triangles through the library's importer (its normals
// as the file has them, else smoothed as the importer does), untextured;
// its materials are left out. A file that can not be read throws
// io::Load_Error.
Obj_Mesh load_obj_mesh(const std::string& path);

// The most memory the process has held resident so far, in MiB.
double peak_memory_mib();

} // namespace bench
} // namespace koru
