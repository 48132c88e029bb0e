// The launch shape of GPU_Ray_Tracer::RT_Core::TraverseRays, apart from any
// device so that it can be checked anywhere.
#pragma once

#include <string>

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

} // namespace gpu
} // namespace koru
