// The surface area heuristic split search of the kd-tree build, over plain
// arrays of primitive bounds: the cost of a candidate plane, and the two
// searches (a scan of the whole list per candidate for short lists, sorted
// orders for long ones) that give the same answer.
#pragma once

#include <cstdint>
#include <vector>

#include "kdtree.h"

namespace RAYTR {
namespace build {

// Bounds of a node's list along the three axes, in list order.
struct ListBounds {
    const float* lo[3];
    const float* hi[3];
    uint32_t n;
};

// Per-axis buffers of the sorted search, sized for the largest list.
struct SortBuffers {
    std::vector<uint64_t> keys;
    std::vector<uint32_t> by_min, by_max, pos_min, pos_max;
    std::vector<float> min_key, max_key;

    void resize(std::size_t n)
    {
        keys.resize(n);
        by_min.resize(n);
        by_max.resize(n);
        pos_min.resize(n);
        pos_max.resize(n);
        min_key.resize(n);
        max_key.resize(n);
    }
};

// The cost of splitting box at position on axis with n_left and n_right
// primitives on the two sides; verdict tells whether splitting beats a leaf
// of n_total.
float sah_cost(const KdTree& tree, const KdTreeBox& box, float position, int axis, uint32_t n_left,
               uint32_t n_right, uint32_t n_total, bool* verdict);

SplitChoice naive_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box);
SplitChoice sorted_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SortBuffers& buf);

} // namespace build
} // namespace RAYTR
