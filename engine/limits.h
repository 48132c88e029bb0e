// What every engine holds and how every engine sees: the capacities of the
// scene store, the ambient light and the field of view. The store, the
// shared ray core, the device layer and the rasterizer all read them here.
#pragma once

namespace koru {

constexpr int max_point_lights = 8;
constexpr int max_materials = 32; // at most 31 are ever used
constexpr int max_spheres = 2048;
constexpr int max_vertices = 65535;
constexpr int max_indices = 3 * max_vertices;
constexpr int max_textures = 8;

// The light of the world: a grey of this level, which every material's
// ambient colour reflects (the GPU engine's picture).
constexpr float ambient_light = 0.15f;

// The default field of view, 45 degrees (SetFieldOfView changes it): across
// the frame for the ray tracers, up the frame for the rasterizer (whose
// picture therefore shows more of the scene).
constexpr float field_of_view_degrees = 45.0f;

} // namespace koru
