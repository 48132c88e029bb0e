// The demo's fixed scene: one light, seven materials, three textures, a floor,
// seven cubes and three spheres.
#pragma once

#include <string>
#include <vector>

#include "../engine/engines.h"
#include "../engine/scene_io.h"

namespace demo {

using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

struct Mesh {
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
};

// A cube of edge `edge` around the origin: 24 vertices (four per face, face
// normals) and 36 indices, every vertex placed by `placement`.
Mesh MakeCube(int material_id, const TAU_MATH::MATRIX<4, 4, float>& placement, float edge,
              unsigned char texture);

// The demo's texture files, in the order they are added.
extern const char* const kTexturePaths[3];
extern const char* const kTextureNames[3]; // the same without the folder

// The folder the textures are read from: `option` when given; else data/
// when the working directory has one; else data/ in `program_folder`, or
// share/koru/data of an installed demo; else data/, whose absence the
// loader then reports.
std::string DataFolder(const std::string& option, const std::string& program_folder);

// The path of texture 0, 1 or 2 in a folder, as it is opened and named in messages.
std::string TexturePath(const std::string& folder, int texture);

// Places a mesh with these bounds where the cubes stand: scaled to 3 units
// along its longest side, centred over (0, 2) in x and z, standing on the floor.
TAU_MATH::MATRIX<4, 4, float> FloorPlacement(const float box_min[3], const float box_max[3]);

// The light as the demo adds it (before the animation moves it).
TAU_GRAPHICS::Point_Light<4, float> DemoLight();

// Position of the animated light at the given angle in radians.
TAU_MATH::VECTOR<4, float> LightPosition(float angle, float w);

// Adds lights, materials, the textures, the floor, spheres and cubes to the
// engine in the demo's order. The textures must hold three loaded images.
// With a mesh, the mesh and its materials take the cubes' place.
void AddDemoScene(IGraphicsEngine& engine, const IMAGE* textures, const koru::io::Scene* mesh = nullptr);

} // namespace demo
