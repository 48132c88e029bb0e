#include "ray_grid.h"

namespace koru {
namespace gpu {

bool ray_count_acceptable(unsigned count) { return count != 0 && count <= max_ray_count; }

std::string ray_count_message(unsigned count)
{
    return "GPU_Ray_Tracer::RT_Core::TraverseRays:: Unacceptable rays number: " +
           std::to_string(static_cast<int>(count));
}

Ray_Grid ray_grid_for(unsigned count)
{
    const unsigned padded = (count + 63u) / 64u * 64u;
    unsigned width = 8;
    for (unsigned d = 16; d <= 1024; d *= 2) {
        if (padded % d != 0 || (padded / d) % 8 != 0)
            break;
        width = d;
    }
    return Ray_Grid{width, padded / width};
}

} // namespace gpu
} // namespace koru
