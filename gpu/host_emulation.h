// The GPU engine's work done on the host by the kernels' own per-pixel and
// per-ray code (rt/gpu_pixel.h), over an engine's scene store read as the
// device layer would upload it. It needs no device: tests check the device's
// logic with it, and a device's results can be held against it.
#pragma once

#include "../engine/engines.h"
#include "../rt/gpu_pixel.h"

namespace koru {
namespace gpu {

// The constant block the device layer would hold for the engine's scene,
// with this camera matrix: window, lights, materials (at most 32 and 8 are
// taken, as the layer refuses more), ambient 0.15, the kd-tree's box.
rt::Constant_Block constant_block_of(const Common_Graphics_Engine& engine, const TAU_MATH::MATRIX<4, 4, float>& camera);

// A frame of GPU_Ray_Tracer for depth and shadows (depth 0 or above 5 as 4)
// into pixels (width x height words, rows bottom first). Only the whole 8 x 8
// tiles are written, as on the device; at most seven textures are used.
void EmulateFrame(const Common_Graphics_Engine& engine, const TAU_MATH::MATRIX<4, 4, float>& camera, unsigned depth,
                  bool shadows, unsigned* pixels);

// What RT_Core::TraverseRays returns for the first count rays: each ray's
// nearest triangle or sphere hit, or the miss record (prim_id -2).
void EmulateRays(const Common_Graphics_Engine& engine, const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits,
                 unsigned count);

} // namespace gpu
} // namespace koru
