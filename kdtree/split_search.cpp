// Surface area heuristic split search. The rules fix every value the search
// computes (candidate order, margins, counting, rounding), so the sorted
// search replaces the scans only where the result is provably the same.
#include "split_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "geometry.h"

namespace RAYTR {
namespace build {
namespace {

constexpr float min_node_volume = 1e-5f; // 9.99999975e-06: smaller nodes are never split

// SA = 2 (dx dy + dx dz + dy dz), in this order of single-precision steps.
inline float surface_area(float dx, float dy, float dz) { return ((dz + dy) * dx + dy * dz) * 2.0f; }

// What SAHCost needs of the node box; the same for every candidate of a node.
struct NodeMeasure {
    float extent[3];
    float area;
    bool splittable; // volume above min_node_volume (or not a number)

    explicit NodeMeasure(const KdTreeBox& box)
    {
        for (int a = 0; a < 3; ++a)
            extent[a] = box.max[a] - box.min[a];
        area = surface_area(extent[0], extent[1], extent[2]);
        const float volume = extent[0] * extent[1] * extent[2];
        splittable = !(volume <= min_node_volume);
    }
};

// The cost numerator's products and sum are exact or rounded once in double;
// only the two areas, the biased counts and the final cost are single.
inline float node_sah_cost(const KdTreeBox& box, const NodeMeasure& node, float position, int axis, uint32_t n_left,
                      uint32_t n_right, uint32_t n_total, float count_bias, float leaf_factor, bool* verdict)
{
    float left_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    float right_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    left_extent[axis] = position - box.min[axis];
    right_extent[axis] = box.max[axis] - position;
    const float left_area = surface_area(left_extent[0], left_extent[1], left_extent[2]);
    const float right_area = surface_area(right_extent[0], right_extent[1], right_extent[2]);
    const float left_count = static_cast<float>(n_left) + count_bias;
    const float right_count = static_cast<float>(n_right) + count_bias;
    const double numerator = static_cast<double>(right_area) * static_cast<double>(right_count) +
                             static_cast<double>(left_area) * static_cast<double>(left_count);
    const float cost = static_cast<float>(numerator / static_cast<double>(node.area));
    *verdict = node.splittable && static_cast<double>(node.area) * static_cast<double>(n_total) *
                                          static_cast<double>(leaf_factor) >
                                      static_cast<double>(cost);
    return cost;
}

// Maps a float to an integer of the same order; -0 and +0 become equal, as
// they compare. Not for NaN, which has no place in the order.
inline uint32_t ordered_bits(float x)
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits == 0x80000000u)
        bits = 0;
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

struct SearchState {
    float best_cost = KD_INFINITY;
    SplitChoice best{0.0f, 0, true};

    void offer(float cost, float position, int axis, bool verdict)
    {
        if (cost < best_cost) {
            best_cost = cost;
            best = SplitChoice{position, axis, verdict};
        }
    }
};

// S_min is the list stably sorted by minimum, S_max is S_min stably sorted by
// maximum. Without values that are not a number the keys are totally ordered,
// and a sort on (key, position) gives exactly the stable order.
void sort_axis(const float* lo, const float* hi, uint32_t n, bool ordered, SortBuffers& buf)
{
    uint32_t* by_min = buf.by_min.data();
    uint32_t* by_max = buf.by_max.data();
    if (ordered) {
        uint64_t* keys = buf.keys.data();
        for (uint32_t i = 0; i < n; ++i)
            keys[i] = (static_cast<uint64_t>(ordered_bits(lo[i])) << 32) | i;
        std::sort(keys, keys + n);
        for (uint32_t j = 0; j < n; ++j)
            by_min[j] = static_cast<uint32_t>(keys[j]);
        for (uint32_t j = 0; j < n; ++j)
            keys[j] = (static_cast<uint64_t>(ordered_bits(hi[by_min[j]])) << 32) | j;
        std::sort(keys, keys + n);
        for (uint32_t k = 0; k < n; ++k)
            by_max[k] = by_min[static_cast<uint32_t>(keys[k])];
    } else {
        for (uint32_t i = 0; i < n; ++i)
            by_min[i] = i;
        std::stable_sort(by_min, by_min + n, [lo](uint32_t x, uint32_t y) { return lo[x] < lo[y]; });
        std::copy(by_min, by_min + n, by_max);
        std::stable_sort(by_max, by_max + n, [hi](uint32_t x, uint32_t y) { return hi[x] < hi[y]; });
    }
    for (uint32_t j = 0; j < n; ++j) {
        buf.pos_min[by_min[j]] = j;
        buf.min_key[j] = lo[by_min[j]];
    }
    for (uint32_t k = 0; k < n; ++k) {
        buf.pos_max[by_max[k]] = k;
        buf.max_key[k] = hi[by_max[k]];
    }
}

} // namespace

float sah_cost(const KdTree& tree, const KdTreeBox& box, float position, int axis, uint32_t n_left,
               uint32_t n_right, uint32_t n_total, bool* verdict)
{
    return node_sah_cost(box, NodeMeasure(box), position, axis, n_left, n_right, n_total, tree.sah_count_bias,
                         tree.sah_leaf_factor, verdict);
}

SplitChoice naive_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    for (int a = 0; a < 3; ++a) {
        const float extent = box.max[a] - box.min[a];
        const float margin = extent * kd_margin;
        const float* lo = list.lo[a];
        const float* hi = list.hi[a];
        for (uint32_t q = 0; q < n; ++q) {
            for (int side = 0; side < 2; ++side) {
                const float position = side == 0 ? lo[q] - margin : hi[q] + margin;
                uint32_t n_left = 0, n_right = 0;
                for (uint32_t r = 0; r < n; ++r) {
                    if (hi[r] < position) {
                        ++n_left;
                    } else {
                        if (lo[r] < position)
                            ++n_left;
                        ++n_right;
                    }
                }
                bool verdict;
                const float cost = node_sah_cost(box, node, position, a, n_left, n_right, n, tree.sah_count_bias,
                                            tree.sah_leaf_factor, &verdict);
                state.offer(cost, position, a, verdict);
            }
        }
    }
    return state.best;
}

SplitChoice sorted_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SortBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    for (int a = 0; a < 3; ++a) {
        const float* lo = list.lo[a];
        const float* hi = list.hi[a];
        const float extent = box.max[a] - box.min[a];
        const float margin = extent * kd_margin;

        bool ordered = !std::isnan(margin);
        for (uint32_t i = 0; i < n && ordered; ++i)
            ordered = !std::isnan(lo[i]) && !std::isnan(hi[i]);
        sort_axis(lo, hi, n, ordered, buf);
        const float* min_key = buf.min_key.data();
        const float* max_key = buf.max_key.data();

        // Min-side candidates. The scan down the max order from the
        // primitive's own place stops at the last entry whose maximum is <= L
        // (those entries form a prefix of length `at_or_below`), or at 0.
        uint32_t at_or_below = 0;
        for (uint32_t j = 0; j < n; ++j) {
            const float position = min_key[j] - margin;
            uint32_t p = buf.pos_max[buf.by_min[j]];
            if (ordered) {
                while (at_or_below < n && max_key[at_or_below] <= position)
                    ++at_or_below;
                if (p >= at_or_below)
                    p = at_or_below > 0 ? at_or_below - 1 : 0;
            } else {
                while (p > 0 && max_key[p] > position)
                    --p;
            }
            bool verdict;
            const float cost = node_sah_cost(box, node, position, a, j, n - p, n, tree.sah_count_bias,
                                        tree.sah_leaf_factor, &verdict);
            state.offer(cost, position, a, verdict);
        }

        // Max-side candidates. The scan up the min order stops at the first
        // entry whose minimum is not below L; those below form a prefix.
        uint32_t below = 0;
        for (uint32_t k = 0; k < n; ++k) {
            const float position = max_key[k] + margin;
            uint32_t i = buf.pos_min[buf.by_max[k]];
            if (ordered) {
                while (below < n && min_key[below] < position)
                    ++below;
                i = std::max(i, below);
            } else {
                while (i < n && min_key[i] < position)
                    ++i;
            }
            bool verdict;
            const float cost = node_sah_cost(box, node, position, a, i, n - k, n, tree.sah_count_bias,
                                        tree.sah_leaf_factor, &verdict);
            state.offer(cost, position, a, verdict);
        }
    }
    return state.best;
}

} // namespace build

// The contract's entry points, over primitive wrappers.
namespace {

void gather_bounds(const KdTree::PrimitiveList& list, std::vector<float> (&lo)[3], std::vector<float> (&hi)[3],
                   build::ListBounds& bounds)
{
    const std::size_t n = list.size();
    for (int a = 0; a < 3; ++a) {
        lo[a].resize(n);
        hi[a].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            lo[a][i] = list[i]->GetMin(a);
            hi[a][i] = list[i]->GetMax(a);
        }
        bounds.lo[a] = lo[a].data();
        bounds.hi[a] = hi[a].data();
    }
    bounds.n = static_cast<uint32_t>(n);
}

} // namespace

float KdTree::SAHCost(const KdTreeBox& box, float position, int axis, uint32_t n_left, uint32_t n_right,
                      uint32_t n_total, bool* verdict) const
{
    bool v;
    const float cost = build::sah_cost(*this, box, position, axis, n_left, n_right, n_total, &v);
    if (verdict != nullptr)
        *verdict = v;
    return cost;
}

SplitChoice KdTree::FindSplitPosNaive(const PrimitiveList& list, const KdTreeBox& box) const
{
    std::vector<float> lo[3], hi[3];
    build::ListBounds bounds;
    gather_bounds(list, lo, hi, bounds);
    return build::naive_search(*this, bounds, box);
}

SplitChoice KdTree::FindSplitPosSAH(const PrimitiveList& list, const KdTreeBox& box) const
{
    std::vector<float> lo[3], hi[3];
    build::ListBounds bounds;
    gather_bounds(list, lo, hi, bounds);
    build::SortBuffers buf;
    buf.resize(list.size());
    return build::sorted_search(*this, bounds, box, buf);
}

} // namespace RAYTR
