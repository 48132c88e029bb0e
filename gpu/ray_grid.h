// The launch shape of GPU_Ray_Tracer::RT_Core::TraverseRays, apart from any
// device so that it can be checked anywhere.
#pragma once

#include <string>

#include "../engine/host_device.h"

namespace koru {
namespace gpu {

struct Ray_Grid {
    unsigned width;  // a multiple of 8: one of 8, 16, ..., 1024
    unsigned height; // a multiple of 8
};

// The largest count whose padding to a multiple of 64 fits 32 bits.
constexpr unsigned max_ray_count = 4294967232u;

// Whether TraverseRays takes count rays: not 0, and padded to 64 without
// overflow (which also refuses 4294967295).
bool ray_count_acceptable(unsigned count);

// The message of the Out_Of_Range thrown for an unacceptable count: the
// count as a signed decimal.
std::string ray_count_message(unsigned count);

// count padded to a multiple of 64, split into width x height: the width is
// the last of 8, 16, ..., 1024 (walked upwards) before the first that does not
// leave a height that is a multiple of 8. The count must be acceptable.
Ray_Grid ray_grid_for(unsigned count);

// How many slots from slot 0 on the ray query launch traces without a gap:
// it runs (width / 8) x (height / 8) blocks of 8 x 8 threads over slots
// y x width + x, so a width that is not a multiple of 8 leaves the end of
// row 0 untraced, and a side under 8 leaves everything.
unsigned long long traced_slots(unsigned width, unsigned height);

// The most blocks a launch may have along y (and along z).
constexpr unsigned max_grid_rows = 65535;

// The frame kernel's launch: (width / 8) x rows x bands blocks of 8 x 8
// threads, where the window's height / 8 block rows are dealt out in bands of
// at most max_grid_rows; a frame of 524,288 rows or more needs more than one.
struct Frame_Grid {
    unsigned columns; // blocks along x
    unsigned rows;    // blocks along y in each band
    unsigned bands;   // blocks along z
};

Frame_Grid frame_grid(int width, int height);

// The block row of the window that block (y, z) of a frame launch traces;
// rows at or past height / 8 (in the last band) trace nothing.
KORU_HD unsigned frame_block_row(unsigned block_y, unsigned block_z, unsigned rows_per_band)
{
    return block_z * rows_per_band + block_y;
}

} // namespace gpu
} // namespace koru
