// What the device layer does alike with and without a CUDA toolkit: the
// limits, their alerts and the error texts.
#pragma once

namespace koru {
namespace gpu {

constexpr int max_materials = 32;
constexpr int max_point_lights = 8;

// Print the alert and answer true when count is more than the table holds.
bool refuse_materials(int count);
bool refuse_point_lights(int count);

} // namespace gpu
} // namespace koru
