// What the device layer does alike with and without a CUDA toolkit: the
// limits, their alerts, the error texts and which ray queries can be taken.
#pragma once

namespace koru {
namespace gpu {

constexpr int max_materials = 32;
constexpr int max_point_lights = 8;

// Print the alert and answer true when count is more than the table holds.
bool refuse_materials(int count);
bool refuse_point_lights(int count);

// nyxTraverseRays' answer before any device work: nyxBadSize when count
// reaches past the slots its launch traces (traced_slots), nyxNoMemory when
// the ray and hit buffers of the whole grid have no size in bytes, else
// nyxNoError.
int ray_request_code(unsigned grid_width, unsigned grid_height, unsigned count);

} // namespace gpu
} // namespace koru
