#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "ray_grid.h"
#include "rtlib.h"
#include "rtlib_common.h"

namespace koru {
namespace gpu {

bool refuse_materials(int count)
{
    if (count <= max_materials)
        return false;
    std::fprintf(stderr,
                 "nyx ALERT: too many materials in nyxSetMaterials requested(%d) \n \t\t\t\t\t    %d are maximum",
                 count, max_materials);
    return true;
}

bool refuse_point_lights(int count)
{
    if (count <= max_point_lights)
        return false;
    std::fprintf(stderr,
                 "nyx ALERT: too many point lights in nyxSetPointLights requested(%d) \n \t\t\t\t\t    %d are maximum",
                 count, max_point_lights);
    return true;
}

int ray_request_code(unsigned grid_width, unsigned grid_height, unsigned count)
{
    if (count > traced_slots(grid_width, grid_height))
        return nyxBadSize;
    const unsigned long long n = static_cast<unsigned long long>(grid_width) * grid_height;
    const std::size_t slot_bytes = sizeof(TAU_MATH::RAY<3, float>) + sizeof(RAYTR::Hit);
    if (n > std::numeric_limits<std::size_t>::max() / slot_bytes)
        return nyxNoMemory;
    return nyxNoError;
}

bool texture_fits(int width, int height, int max_width, int max_height)
{
    return width >= 1 && height >= 1 && width <= max_width && height <= max_height;
}

void cuda_failure(const char* file, int line, const char* failed_step, const char* error_text)
{
    if (failed_step != nullptr)
        std::fprintf(stderr, "Cuda error: %s in file '%s' in line %i : %s.\n", failed_step, file, line, error_text);
    else
        std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", file, line, error_text);
    std::exit(1);
}

namespace {
const void* layer_owner = nullptr;
} // namespace

bool claim_device_layer(const void* owner)
{
    if (layer_owner != nullptr)
        return false;
    layer_owner = owner;
    return true;
}

bool holds_device_layer(const void* owner) { return owner != nullptr && layer_owner == owner; }

bool release_device_layer(const void* owner)
{
    if (owner == nullptr || layer_owner != owner)
        return false;
    layer_owner = nullptr;
    return true;
}

} // namespace gpu
} // namespace koru

const char* nyxGetErrorString(int code)
{
    switch (code) {
    case nyxNoError: return "nyxError: no error fixed";
    case nyxNoMemory: return "nyxError: no memory avaliable";
    case nyxBadSize: return "nyxError: too small, or to great size";
    default: return "nyxError: unknown fixed";
    }
}
