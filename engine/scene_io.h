// Scene files read into memory and added to any engine: Wavefront OBJ with
// its MTL files, PLY (ASCII and binary), STL, glTF 2.0 (.gltf with its
// files, .glb), Collada and FBX, with PNG, JPEG, BMP and TGA textures and
// glTF's embedded images.
//
//   koru::io::Scene scene = koru::io::ReadScene("model.glb");  // counts known
//   engine->Init(width, height);
//   koru::io::AddScene(*engine, scene, placement);
//
// or koru::io::LoadScene(path, engine) for both at once.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "graphics_engine.h"

namespace koru {
namespace io {

// A scene file, MTL file or texture that can not be read, is malformed, or
// asks for more than the engine holds: a one-line text that names the file
// and, where it is known, the line or element ("a.obj:12: ...").
class Load_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// RGBA texels, 4 bytes per pixel, the bottom row first (v = 0 at the bottom,
// as the scene's texture coordinates have it).
struct Texture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;
};

struct Load_Options {
    // Faces that turn by more than this from each other keep their own
    // normals where the file gives none; smaller turns are smoothed over.
    float crease_angle_degrees = 60.0f;
    // Materials' texture images are read (false: materials keep their
    // colours, vertices are untextured; for tools that need the geometry).
    bool textures = true;
};

// What the file held, before triangles were made and unused materials left out.
struct Source_Counts {
    std::string format;         // the reader's file extension: "obj", "ply", "gltf", ...
    std::size_t meshes = 0;     // meshes of the file (one per material for OBJ)
    std::size_t faces = 0;      // polygons, before triangulation
    std::size_t materials = 0;  // materials defined, used or not
};

struct Scene {
    std::string name; // the path as given, for messages
    // material_id indexes `materials`; tex_id[0] indexes `textures` or is
    // TAU_GRAPHICS::kNoTexture. Three indices per triangle.
    std::vector<IGraphicsEngine::VERTEX> vertices;
    std::vector<unsigned> indices;
    std::vector<IGraphicsEngine::MATERIAL> materials; // those faces use; never empty
    std::vector<Texture> textures;                    // those the materials use
    float box_min[3] = {0.0f, 0.0f, 0.0f};            // bounds of the vertices
    float box_max[3] = {0.0f, 0.0f, 0.0f};
    Source_Counts source;
};

// What AddScene or LoadScene put into the engine: counts, the index of the
// first of each, and the box of the placed vertices.
struct Scene_Info {
    int vertices = 0;
    int triangles = 0;
    int materials = 0;
    int textures = 0;
    int first_vertex = 0;
    int first_index = 0;
    int first_material = 0;
    int first_texture = 0;
    float box_min[3] = {0.0f, 0.0f, 0.0f};
    float box_max[3] = {0.0f, 0.0f, 0.0f};
};

// Reads a scene file: polygons become triangles, node transforms are
// applied, identical vertices shared, lines and points left out. The file
// must be a regular file; it is read once. Throws Load_Error.
Scene ReadScene(const std::string& path, const Load_Options& options = {});

// The same from bytes in memory; `format` is a file extension ("obj",
// "ply", "stl", "gltf", "glb", "dae", "fbx"), `name` names it in messages.
// No other file is opened: MTL files, buffers and textures it names are missing.
Scene ReadSceneFromMemory(const void* data, std::size_t size, const std::string& format, const std::string& name,
                          const Load_Options& options = {});

// Adds the scene's materials, textures and triangles to the engine,
// positions placed by `placement` (rotation, uniform scale and translation).
// A scene that does not fit beside what the engine holds is refused before
// anything is added, with TAU_ERROR::Out_Of_Range naming the file and the
// engine's limit.
Scene_Info AddScene(IGraphicsEngine& engine, const Scene& scene,
                    const IGraphicsEngine::MATRIX4& placement = IGraphicsEngine::MATRIX4());

// ReadScene, then AddScene with the identity placement. An engine that holds
// no triangles and no spheres yet is first given the room (SetCapacity) a
// scene past its capacities needs; AddScene alone never asks for room.
Scene_Info LoadScene(const std::string& path, IGraphicsEngine& engine, const Load_Options& options = {});

// The material of faces without one, and of OBJ files without an MTL file.
IGraphicsEngine::MATERIAL NeutralGrey();

} // namespace io
} // namespace koru
