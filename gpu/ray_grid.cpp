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

unsigned long long traced_slots(unsigned width, unsigned height)
{
    const unsigned long long columns = width / 8u * 8ull;
    const unsigned long long rows = height / 8u * 8ull;
    if (columns == 0 || rows == 0)
        return 0;
    return columns == width ? columns * rows : columns;
}

Frame_Grid frame_grid(int width, int height)
{
    const unsigned columns = width > 0 ? static_cast<unsigned>(width) / 8u : 0u;
    const unsigned block_rows = height > 0 ? static_cast<unsigned>(height) / 8u : 0u;
    if (columns == 0 || block_rows == 0)
        return Frame_Grid{0, 0, 0};
    const unsigned bands = (block_rows + max_grid_rows - 1) / max_grid_rows;
    const unsigned rows = (block_rows + bands - 1) / bands;
    return Frame_Grid{columns, rows, bands};
}

} // namespace gpu
} // namespace koru
