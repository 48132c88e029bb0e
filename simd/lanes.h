// The scalar lane: what the shared intersection code asks of a lane type,
// for one float. The packet walk's four-wide type (simd/simd.h) offers the same
// operations with the same answers lane by lane, NaN handling included, so a
// computation written once over the lane type gives the single-ray, packet
// and GPU paths the same bits.
#pragma once

#include "../engine/host_device.h"

namespace koru {
namespace rt {

// The smaller (larger) of t and bound, and the bound where either is NaN:
// the order of SSE's minps and maxps.
KORU_HD float min_or_bound(float t, float bound) { return t < bound ? t : bound; }
KORU_HD float max_or_bound(float t, float bound) { return t > bound ? t : bound; }

KORU_HD float select(bool m, float a, float b) { return m ? a : b; }
// Lane-wise and, or; the four-wide mask type has the same.
KORU_HD bool both(bool a, bool b) { return a && b; }
KORU_HD bool either(bool a, bool b) { return a || b; }
// a without b.
KORU_HD bool andnot(bool a, bool b) { return a && !b; }
KORU_HD bool none(bool m) { return !m; }

// The mask type of a lane type: what its comparisons give.
template <class F>
using mask_of = decltype(F() < F());

} // namespace rt
} // namespace koru
