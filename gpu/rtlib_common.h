// What the device layer does alike with and without a CUDA toolkit: the
// limits, their alerts, the error texts, which ray queries can be taken, the
// one message of a failed CUDA call, and the rule of one GPU engine per
// process.
#pragma once

#include "../engine/limits.h"

namespace koru {
namespace gpu {

// The device tables hold what the store holds.
constexpr int max_materials = 32;
constexpr int max_point_lights = 8;
static_assert(max_materials == koru::max_materials && max_point_lights == koru::max_point_lights,
              "the device tables hold every material and light the store holds");

// Print the alert and answer true when count is more than the table holds.
bool refuse_materials(int count);
bool refuse_point_lights(int count);

// nyxTraverseRays' answer before any device work: nyxBadSize when count
// reaches past the slots its launch traces (traced_slots), nyxNoMemory when
// the ray and hit buffers of the whole grid have no size in bytes, else
// nyxNoError.
int ray_request_code(unsigned grid_width, unsigned grid_height, unsigned count);

// Whether a width x height texture is one the device takes: at least one
// texel, and within its 2D texture limit.
bool texture_fits(int width, int height, int max_width, int max_height);

// The file name of a path, as a failed call names its source file.
constexpr const char* file_name(const char* path)
{
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\')
            name = c + 1;
    return name;
}

// Ends the process after a failed CUDA runtime call, with status 1 and on
// standard error "Cuda error in file '%s' in line %i : %s.\n"; a failed
// launch names its step first: "Cuda error: %s in file '%s' in line %i : %s.\n".
[[noreturn]] void cuda_failure(const char* file, int line, const char* failed_step, const char* error_text);

// The device layer holds one process-wide state, so one GPU engine may be
// live at a time. An engine claims the layer in Init and gives it back in
// Release; a claim while another owner holds it is refused.
bool claim_device_layer(const void* owner);
// Whether owner holds the layer now.
bool holds_device_layer(const void* owner);
// Gives the layer back when owner holds it; answers whether it did.
bool release_device_layer(const void* owner);

} // namespace gpu
} // namespace koru
