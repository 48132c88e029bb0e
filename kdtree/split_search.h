// The surface area heuristic split search of the kd-tree build, over plain
// arrays of primitive bounds: the cost of a candidate plane, and the two
// searches (a scan of the whole list per candidate for short lists, sorted
// orders for long ones) with their faster forms that give the same answers.
#pragma once

#include <cstdint>
#include <vector>

#include "kdtree.h"

namespace RAYTR {
namespace build {

// SA = 2 (dx dy + dx dz + dy dz), in this order of single-precision steps.
inline float surface_area(float dx, float dy, float dz) { return ((dz + dy) * dx + dy * dz) * 2.0f; }

inline float surface_area(const KdTreeBox& box)
{
    return surface_area(box.max[0] - box.min[0], box.max[1] - box.min[1], box.max[2] - box.min[2]);
}

// Bounds of a node's list along the three axes, in list order.
struct ListBounds {
    const float* lo[3];
    const float* hi[3];
    uint32_t n;
};

// Bounds by primitive id along the three axes.
struct PrimitiveBounds {
    const float* lo[3];
    const float* hi[3];
};

// A node's list and its sorted orders, as primitive ids. The list is in
// ascending id (the order every list inherits from the root). by_min[a] is
// the list sorted by minimum on axis a, equal minima by id; by_max[a] is
// by_min[a] stably sorted by maximum. These are the orders the sorted search
// sorts into, and a subset of a list keeps them: a child's orders are its
// parent's, filtered.
struct OrderedList {
    const uint32_t* ids;
    const uint32_t* by_min[3];
    const uint32_t* by_max[3];
    uint32_t n;
};

// Per-axis buffers of the sorted search, sized for the largest list (the
// keys twice over, for the radix sort's passes).
struct SortBuffers {
    std::vector<uint64_t> keys;
    std::vector<uint32_t> by_min, by_max;

    void resize(std::size_t n)
    {
        keys.resize(2 * n);
        by_min.resize(n);
        by_max.resize(n);
    }
};

// The candidates of one axis in the order a search visits them: planes and
// the counts on their two sides, then their costs.
// Counts never exceed the number of primitives, which is below 2^31.
struct Candidates {
    float* position;
    int32_t* n_left;
    int32_t* n_right;
    float* cost;
};

// Scratch of the searches: ranks by primitive id, keys by rank (and an end
// mark), and the candidates of one axis (planes, counts, costs) in visiting
// order. Sized for every id of the build.
struct SearchBuffers {
    std::vector<uint32_t> rank_min, rank_max;
    std::vector<float> min_key, max_key;
    std::vector<float> position, cost;
    std::vector<int32_t> n_left, n_right;

    void resize(std::size_t n) { resize(n, n); }
    // For n ids in lists of at most `longest` entries.
    void resize(std::size_t n, std::size_t longest)
    {
        rank_min.resize(n);
        rank_max.resize(n);
        min_key.resize(longest + 1);
        max_key.resize(longest + 1);
        position.resize(2 * longest);
        cost.resize(2 * longest);
        n_left.resize(2 * longest);
        n_right.resize(2 * longest);
    }
    Candidates candidates() { return Candidates{position.data(), n_left.data(), n_right.data(), cost.data()}; }
};

// The cost of splitting box at position on axis with n_left and n_right
// primitives on the two sides; verdict tells whether splitting beats a leaf
// of n_total.
float sah_cost(const KdTree& tree, const KdTreeBox& box, float position, int axis, uint32_t n_left,
               uint32_t n_right, uint32_t n_total, bool* verdict);

// Ids 0 to n - 1 in the two orders of OrderedList. No bound may be NaN.
void sort_by_bounds(const float* lo, const float* hi, uint32_t n, uint32_t* by_min, uint32_t* by_max,
                    std::vector<uint64_t>& keys);

// True when every bound is finite and no minimum exceeds its maximum: the
// condition of swept_naive_search.
bool sweepable(const float* const lo[3], const float* const hi[3], uint32_t n);

// The naive search, scanning the whole list for every candidate.
SplitChoice naive_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SearchBuffers& buf);
// The naive search's answer from one sweep per axis over the sorted orders;
// only for sweepable bounds.
SplitChoice swept_naive_search(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                               const KdTreeBox& box, SearchBuffers& buf);

// The sorted search, sorting the list on every axis.
SplitChoice sorted_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SortBuffers& sort,
                          SearchBuffers& buf);
// The sorted search over orders already made; for sweepable bounds.
SplitChoice ordered_sorted_search(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                                  const KdTreeBox& box, SearchBuffers& buf);
// The same answer with the three axes as tasks of the enclosing parallel
// region, axis a in buf[a] (three distinct buffers).
SplitChoice ordered_sorted_search_by_axis(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                                          const KdTreeBox& box, SearchBuffers* const (&buf)[3]);

} // namespace build
} // namespace RAYTR
