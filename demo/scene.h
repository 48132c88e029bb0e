// The demo's fixed scene: one light, seven materials, three textures, a floor,
// seven cubes and three spheres.
#pragma once

#include <vector>

#include "../engine/engines.h"

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

// The light as the demo adds it (before the animation moves it).
TAU_GRAPHICS::Point_Light<4, float> DemoLight();

// Position of the animated light at the given angle in radians.
TAU_MATH::VECTOR<4, float> LightPosition(float angle, float w);

// Adds lights, materials, the textures, the floor, spheres and cubes to the
// engine in the demo's order. The textures must hold three loaded images.
void AddDemoScene(IGraphicsEngine& engine, const IMAGE* textures);

} // namespace demo
