#include <cstdio>

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
