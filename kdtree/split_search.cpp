// Surface area heuristic split search. The rules fix every value the search
// computes (candidate order, margins, counting, rounding), so the sorted
// search replaces the scans only where the result is provably the same.
#include "split_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "../simd/simd.h"
#include "geometry.h"
#include "radix_sort.h"

namespace RAYTR {
namespace build {
namespace {

constexpr float min_node_volume = 1e-5f; // 9.99999975e-06: smaller nodes are never split
// Shorter lists sort faster by comparison than by three counting passes.
constexpr uint32_t radix_sort_least = 2048;

// What SAHCost needs of the node box; the same for every candidate of a node.
// A box of finite extents whose surface area overflows a float (one spanning
// 1e38 and more) is "wide": its costs are taken in double instead, where they
// stay finite, rather than as infinity over infinity.
struct NodeMeasure {
    float extent[3];
    float area;
    bool splittable; // volume above min_node_volume (or not a number)
    bool wide;
    double wide_area; // the area in double, for a wide box

    explicit NodeMeasure(const KdTreeBox& box)
    {
        for (int a = 0; a < 3; ++a)
            extent[a] = box.max[a] - box.min[a];
        area = surface_area(extent[0], extent[1], extent[2]);
        const float volume = extent[0] * extent[1] * extent[2];
        splittable = !(volume <= min_node_volume);
        wide = area == INFINITY && std::isfinite(extent[0]) && std::isfinite(extent[1]) && std::isfinite(extent[2]);
        wide_area = wide ? wide_surface_area(extent[0], extent[1], extent[2]) : 0.0;
    }

    static double wide_surface_area(double dx, double dy, double dz) { return ((dz + dy) * dx + dy * dz) * 2.0; }
};

// The two child boxes' areas of a candidate plane on axis A.
template <int A>
inline void child_areas(const KdTreeBox& box, const NodeMeasure& node, float position, float& left_area,
                        float& right_area)
{
    float left_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    float right_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    left_extent[A] = position - box.min[A];
    right_extent[A] = box.max[A] - position;
    left_area = surface_area(left_extent[0], left_extent[1], left_extent[2]);
    right_area = surface_area(right_extent[0], right_extent[1], right_extent[2]);
}

// The cost numerator's products and sum are exact or rounded once in double;
// only the two areas, the biased counts and the final cost are single.
// Counts come unsigned, or signed where they are known to fit (the same
// float either way), which converts faster several lanes wide.
template <class Count>
inline float cost_of_areas(const NodeMeasure& node, float left_area, float right_area, Count n_left, Count n_right,
                           float count_bias)
{
    const float left_count = static_cast<float>(n_left) + count_bias;
    const float right_count = static_cast<float>(n_right) + count_bias;
    const double numerator = static_cast<double>(right_area) * static_cast<double>(right_count) +
                             static_cast<double>(left_area) * static_cast<double>(left_count);
    return static_cast<float>(numerator / static_cast<double>(node.area));
}

// Splitting beats a leaf of n_total primitives.
inline bool split_verdict(const NodeMeasure& node, uint32_t n_total, float leaf_factor, float cost)
{
    return node.splittable && (node.wide ? node.wide_area : static_cast<double>(node.area)) *
                                      static_cast<double>(n_total) *
                                      static_cast<double>(leaf_factor) >
                                  static_cast<double>(cost);
}

// The cost of a candidate of a wide box, every step in double.
template <int A, class Count>
inline float wide_axis_sah_cost(const KdTreeBox& box, const NodeMeasure& node, float position, Count n_left,
                                Count n_right, float count_bias)
{
    double left_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    double right_extent[3] = {node.extent[0], node.extent[1], node.extent[2]};
    left_extent[A] = static_cast<double>(position) - box.min[A];
    right_extent[A] = static_cast<double>(box.max[A]) - position;
    const double left_area = NodeMeasure::wide_surface_area(left_extent[0], left_extent[1], left_extent[2]);
    const double right_area = NodeMeasure::wide_surface_area(right_extent[0], right_extent[1], right_extent[2]);
    const double left_count = static_cast<double>(static_cast<float>(n_left) + count_bias);
    const double right_count = static_cast<double>(static_cast<float>(n_right) + count_bias);
    return static_cast<float>((right_area * right_count + left_area * left_count) / node.wide_area);
}

template <int A, class Count>
inline float axis_sah_cost(const KdTreeBox& box, const NodeMeasure& node, float position, Count n_left,
                           Count n_right, float count_bias)
{
    float left_area, right_area;
    child_areas<A>(box, node, position, left_area, right_area);
    return cost_of_areas(node, left_area, right_area, n_left, n_right, count_bias);
}

inline float node_sah_cost(const KdTreeBox& box, const NodeMeasure& node, float position, int axis, uint32_t n_left,
                           uint32_t n_right, uint32_t n_total, float count_bias, float leaf_factor, bool* verdict)
{
    const float cost =
        node.wide ? (axis == 0   ? wide_axis_sah_cost<0>(box, node, position, n_left, n_right, count_bias)
                     : axis == 1 ? wide_axis_sah_cost<1>(box, node, position, n_left, n_right, count_bias)
                                 : wide_axis_sah_cost<2>(box, node, position, n_left, n_right, count_bias))
        : axis == 0 ? axis_sah_cost<0>(box, node, position, n_left, n_right, count_bias)
        : axis == 1 ? axis_sah_cost<1>(box, node, position, n_left, n_right, count_bias)
                    : axis_sah_cost<2>(box, node, position, n_left, n_right, count_bias);
    *verdict = split_verdict(node, n_total, leaf_factor, cost);
    return cost;
}

// Costs of m candidates in one pass, which the compiler can run several
// lanes wide: each lane does the scalar arithmetic.
template <int A>
void axis_costs(const KdTreeBox& box, const NodeMeasure& node, float count_bias, const Candidates& c, uint32_t m)
{
    if (node.wide) {
        for (uint32_t i = 0; i < m; ++i)
            c.cost[i] = wide_axis_sah_cost<A>(box, node, c.position[i], c.n_left[i], c.n_right[i], count_bias);
        return;
    }
    for (uint32_t i = 0; i < m; ++i)
        c.cost[i] = axis_sah_cost<A>(box, node, c.position[i], c.n_left[i], c.n_right[i], count_bias);
}

void axis_costs(int a, const KdTreeBox& box, const NodeMeasure& node, float count_bias, const Candidates& c,
                uint32_t m)
{
    if (a == 0)
        axis_costs<0>(box, node, count_bias, c, m);
    else if (a == 1)
        axis_costs<1>(box, node, count_bias, c, m);
    else
        axis_costs<2>(box, node, count_bias, c, m);
}

// Entries before the first 16-byte boundary of the array, at most m.
inline uint32_t unaligned_head(const float* array, uint32_t m)
{
    const auto misplaced = reinterpret_cast<std::uintptr_t>(array) % 16;
    const uint32_t head = misplaced == 0 ? 0 : static_cast<uint32_t>((16 - misplaced) / sizeof(float));
    return std::min(head, m);
}

// The least cost of m, NaN left out, and `bound` if none is less. Four
// lanes at a time.
float cheapest(const float* cost, uint32_t m, float bound)
{
    using koru::simd::float4;
    float4 low4(bound);
    float low = bound;
    uint32_t i = 0;
    for (const uint32_t head = unaligned_head(cost, m); i < head; ++i)
        low = cost[i] < low ? cost[i] : low;
    for (; i + 4 <= m; i += 4)
        low4 = koru::simd::min_or_bound(float4::load(cost + i), low4);
    alignas(16) float lanes[4];
    low4.store(lanes);
    for (const float x : lanes)
        low = x < low ? x : low;
    for (; i < m; ++i)
        low = cost[i] < low ? cost[i] : low;
    return low;
}

struct SearchState {
    float best_cost = KD_INFINITY;
    SplitChoice best{0.0f, 0, true};

    // Candidates costed in visiting order.
    void offer(const KdTree& tree, const KdTreeBox& box, const NodeMeasure& node, int a, const Candidates& c,
               uint32_t m, uint32_t n_total)
    {
        axis_costs(a, box, node, tree.sah_count_bias, c, m);
        choose(tree, node, a, c, m, n_total, [](uint32_t i) { return i; });
    }

    template <class Visit>
    void offer(const KdTree& tree, const KdTreeBox& box, const NodeMeasure& node, int a, const Candidates& c,
               uint32_t m, uint32_t n_total, Visit visit)
    {
        axis_costs(a, box, node, tree.sah_count_bias, c, m);
        choose(tree, node, a, c, m, n_total, visit);
    }

    // Takes the m costed candidates of axis a. Visited one by one, a
    // candidate would become the best when strictly cheaper than the best so
    // far; so the first visited of the cheapest wins, if it beats the earlier
    // axes. visit(i) gives candidate i's place in the visiting order.
    template <class Visit>
    void choose(const KdTree& tree, const NodeMeasure& node, int a, const Candidates& c, uint32_t m,
                uint32_t n_total, Visit visit)
    {
        const float low = cheapest(c.cost, m, best_cost);
        if (!(low < best_cost))
            return;
        // Nothing that is not a number is below `low`: at most `low` means equal.
        using koru::simd::float4;
        uint32_t winner = m;
        const auto consider = [&](uint32_t i) {
            if (winner == m || visit(i) < visit(winner))
                winner = i;
        };
        const float4 low4(low);
        uint32_t i = 0;
        for (const uint32_t head = unaligned_head(c.cost, m); i < head; ++i)
            if (c.cost[i] <= low)
                consider(i);
        for (; i + 4 <= m; i += 4) {
            const int hits = koru::simd::movemask(float4::load(c.cost + i) <= low4);
            for (uint32_t l = 0; hits != 0 && l < 4; ++l)
                if (hits & (1 << l))
                    consider(i + l);
        }
        for (; i < m; ++i)
            if (c.cost[i] <= low)
                consider(i);
        best_cost = c.cost[winner];
        best = SplitChoice{c.position[winner], a, split_verdict(node, n_total, tree.sah_leaf_factor, best_cost)};
    }
};

// The bounds in the two orders, each followed by a NaN that ends every
// upward scan (no comparison with it holds).
void gather_keys(const float* lo, const float* hi, uint32_t n, const uint32_t* by_min, const uint32_t* by_max,
                 SearchBuffers& buf)
{
    for (uint32_t j = 0; j < n; ++j)
        buf.min_key[j] = lo[by_min[j]];
    for (uint32_t k = 0; k < n; ++k)
        buf.max_key[k] = hi[by_max[k]];
    buf.min_key[n] = buf.max_key[n] = std::numeric_limits<float>::quiet_NaN();
}

// Ranks in the two orders, by id.
void rank_ids(uint32_t n, const uint32_t* by_min, const uint32_t* by_max, SearchBuffers& buf)
{
    for (uint32_t j = 0; j < n; ++j)
        buf.rank_min[by_min[j]] = j;
    for (uint32_t k = 0; k < n; ++k)
        buf.rank_max[by_max[k]] = k;
}

// The candidates of one axis in the sorted search's order, counted from
// their places in the two orders (keys gathered). `ordered`: no key and no
// candidate is NaN. `nested`: besides, no minimum lies above its maximum.
void sorted_axis(const KdTree& tree, const KdTreeBox& box, const NodeMeasure& node, int a, float margin,
                 bool ordered, bool nested, uint32_t n, const uint32_t* by_min, const uint32_t* by_max,
                 SearchBuffers& buf)
{
    const float* min_key = buf.min_key.data();
    const float* max_key = buf.max_key.data();
    const Candidates c = buf.candidates();
    bool ranked = false;
    const auto rank_once = [&] {
        if (!ranked)
            rank_ids(n, by_min, by_max, buf);
        ranked = true;
    };
    if (!ordered)
        rank_once();

    // Min-side candidates. The scan down the max order from the primitive's
    // own place stops at the last entry whose maximum is <= L (those entries
    // form a prefix of length `at_or_below`), or at 0. Nested, a candidate
    // below its primitive's minimum lies below its maximum too, so the scan
    // starts above the prefix and stops at its end.
    uint32_t at_or_below = 0;
    for (uint32_t j = 0; j < n; ++j) {
        const float position = min_key[j] - margin;
        uint32_t p;
        if (ordered) {
            while (max_key[at_or_below] <= position)
                ++at_or_below;
            const uint32_t stop = at_or_below > 0 ? at_or_below - 1 : 0;
            if (nested && position < min_key[j]) {
                p = stop;
            } else {
                rank_once();
                p = buf.rank_max[by_min[j]];
                if (p >= at_or_below)
                    p = stop;
            }
        } else {
            p = buf.rank_max[by_min[j]];
            while (p > 0 && max_key[p] > position)
                --p;
        }
        c.position[j] = position;
        c.n_left[j] = static_cast<int32_t>(j);
        c.n_right[j] = static_cast<int32_t>(n - p);
    }

    // Max-side candidates. The scan up the min order stops at the first
    // entry whose minimum is not below L; those below form a prefix. Nested,
    // a candidate above its primitive's maximum lies above its minimum too,
    // so the scan starts inside the prefix.
    uint32_t below = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const float position = max_key[k] + margin;
        uint32_t i;
        if (ordered) {
            while (min_key[below] < position)
                ++below;
            if (nested && position > max_key[k]) {
                i = below;
            } else {
                rank_once();
                i = std::max(buf.rank_min[by_max[k]], below);
            }
        } else {
            i = buf.rank_min[by_max[k]];
            while (i < n && min_key[i] < position)
                ++i;
        }
        c.position[n + k] = position;
        c.n_left[n + k] = static_cast<int32_t>(i);
        c.n_right[n + k] = static_cast<int32_t>(n - k);
    }
    axis_costs(a, box, node, tree.sah_count_bias, c, 2 * n);
}

// One axis of the sorted search over orders already made, costed.
void ordered_axis(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list, const KdTreeBox& box,
                  const NodeMeasure& node, int a, SearchBuffers& buf)
{
    const float margin = (box.max[a] - box.min[a]) * kd_margin;
    gather_keys(bounds.lo[a], bounds.hi[a], list.n, list.by_min[a], list.by_max[a], buf);
    sorted_axis(tree, box, node, a, margin, !std::isnan(margin), true, list.n, list.by_min[a], list.by_max[a], buf);
}

const auto in_order = [](uint32_t i) { return i; };

} // namespace

float sah_cost(const KdTree& tree, const KdTreeBox& box, float position, int axis, uint32_t n_left,
               uint32_t n_right, uint32_t n_total, bool* verdict)
{
    return node_sah_cost(box, NodeMeasure(box), position, axis, n_left, n_right, n_total, tree.sah_count_bias,
                         tree.sah_leaf_factor, verdict);
}

// Without values that are not a number the keys are totally ordered, and a
// sort on (key, position) gives exactly the stable order; long lists take
// the radix sort, which gives the same.
void sort_by_bounds(const float* lo, const float* hi, uint32_t n, uint32_t* by_min, uint32_t* by_max,
                    std::vector<uint64_t>& keys)
{
    if (keys.size() < 2 * static_cast<std::size_t>(n))
        keys.resize(2 * static_cast<std::size_t>(n));
    uint64_t* key = keys.data();
    const auto sort_keys = [key, n] {
        if (n < radix_sort_least)
            std::sort(key, key + n);
        else
            radix_sort_high_words(key, key + n, n);
    };
    for (uint32_t i = 0; i < n; ++i)
        key[i] = (static_cast<uint64_t>(ordered_bits(lo[i])) << 32) | i;
    sort_keys();
    for (uint32_t j = 0; j < n; ++j)
        by_min[j] = static_cast<uint32_t>(key[j]);
    for (uint32_t j = 0; j < n; ++j)
        key[j] = (static_cast<uint64_t>(ordered_bits(hi[by_min[j]])) << 32) | j;
    sort_keys();
    for (uint32_t k = 0; k < n; ++k)
        by_max[k] = by_min[static_cast<uint32_t>(key[k])];
}

bool sweepable(const float* const lo[3], const float* const hi[3], uint32_t n)
{
    for (int a = 0; a < 3; ++a)
        for (uint32_t i = 0; i < n; ++i)
            if (!std::isfinite(lo[a][i]) || !std::isfinite(hi[a][i]) || lo[a][i] > hi[a][i])
                return false;
    return true;
}

SplitChoice naive_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SearchBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    const Candidates c = buf.candidates();
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
                c.position[2 * q + side] = position;
                c.n_left[2 * q + side] = n_left;
                c.n_right[2 * q + side] = n_right;
            }
        }
        state.offer(tree, box, node, a, c, 2 * n, n);
    }
    return state.best;
}

// With finite bounds and min <= max, the scan's nLeft is the number of
// minima below L and its nRight the number of maxima not below L. The
// candidates of one side, taken in sorted order, never decrease (subtracting
// or adding one margin keeps the order; a NaN margin makes all of them NaN
// and every count 0), so two pointers that only move up count them all.
// The scan visits the list in order, the min side first, and list order is
// id order: candidate (id, side) is visited at place 2 id + side.
SplitChoice swept_naive_search(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                               const KdTreeBox& box, SearchBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    const float* min_key = buf.min_key.data();
    const float* max_key = buf.max_key.data();
    const Candidates c = buf.candidates();
    for (int a = 0; a < 3; ++a) {
        const float extent = box.max[a] - box.min[a];
        const float margin = extent * kd_margin;
        const float* lo = bounds.lo[a];
        const float* hi = bounds.hi[a];
        const uint32_t* by_min = list.by_min[a];
        const uint32_t* by_max = list.by_max[a];
        gather_keys(lo, hi, n, by_min, by_max, buf);

        uint32_t lo_below = 0, hi_below = 0;
        for (uint32_t j = 0; j < n; ++j) {
            const float position = min_key[j] - margin;
            while (min_key[lo_below] < position)
                ++lo_below;
            while (max_key[hi_below] < position)
                ++hi_below;
            c.position[j] = position;
            c.n_left[j] = lo_below;
            c.n_right[j] = n - hi_below;
        }
        lo_below = hi_below = 0;
        for (uint32_t k = 0; k < n; ++k) {
            const float position = max_key[k] + margin;
            while (min_key[lo_below] < position)
                ++lo_below;
            while (max_key[hi_below] < position)
                ++hi_below;
            c.position[n + k] = position;
            c.n_left[n + k] = lo_below;
            c.n_right[n + k] = n - hi_below;
        }
        state.offer(tree, box, node, a, c, 2 * n, n,
                    [n, by_min, by_max](uint32_t i) { return i < n ? 2 * by_min[i] : 2 * by_max[i - n] + 1; });
    }
    return state.best;
}

SplitChoice sorted_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SortBuffers& sort,
                          SearchBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    uint32_t* by_min = sort.by_min.data();
    uint32_t* by_max = sort.by_max.data();
    for (int a = 0; a < 3; ++a) {
        const float* lo = list.lo[a];
        const float* hi = list.hi[a];
        const float margin = (box.max[a] - box.min[a]) * kd_margin;

        bool ordered = true, nested = true;
        for (uint32_t i = 0; i < n && ordered; ++i) {
            ordered = !std::isnan(lo[i]) && !std::isnan(hi[i]);
            nested = nested && !(lo[i] > hi[i]);
        }
        if (ordered) {
            sort_by_bounds(lo, hi, n, by_min, by_max, sort.keys);
        } else {
            // Compared as the literal search compares, NaN included.
            for (uint32_t i = 0; i < n; ++i)
                by_min[i] = i;
            std::stable_sort(by_min, by_min + n, [lo](uint32_t x, uint32_t y) { return lo[x] < lo[y]; });
            std::copy(by_min, by_min + n, by_max);
            std::stable_sort(by_max, by_max + n, [hi](uint32_t x, uint32_t y) { return hi[x] < hi[y]; });
        }
        gather_keys(lo, hi, n, by_min, by_max, buf);
        sorted_axis(tree, box, node, a, margin, ordered && !std::isnan(margin), nested, n, by_min, by_max, buf);
        state.choose(tree, node, a, buf.candidates(), 2 * n, n, in_order);
    }
    return state.best;
}

SplitChoice ordered_sorted_search(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                                  const KdTreeBox& box, SearchBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    for (int a = 0; a < 3; ++a) {
        ordered_axis(tree, bounds, list, box, node, a, buf);
        state.choose(tree, node, a, buf.candidates(), 2 * list.n, list.n, in_order);
    }
    return state.best;
}

// The axes' candidates and costs are independent; only the choice among
// them goes in axis order.
SplitChoice ordered_sorted_search_by_axis(const KdTree& tree, const PrimitiveBounds& bounds, const OrderedList& list,
                                          const KdTreeBox& box, SearchBuffers* const (&buf)[3])
{
    const NodeMeasure node(box);
#pragma omp taskloop grainsize(1) shared(tree, bounds, list, box, node, buf)
    for (int a = 0; a < 3; ++a)
        ordered_axis(tree, bounds, list, box, node, a, *buf[a]);
    SearchState state;
    for (int a = 0; a < 3; ++a)
        state.choose(tree, node, a, buf[a]->candidates(), 2 * list.n, list.n, in_order);
    return state.best;
}

} // namespace build

} // namespace RAYTR
