// The split search's entry points of the contract, over lists of primitive
// wrappers: their bounds gathered through GetMin and GetMax, then the
// searches of split_search.cpp.
#include <cstdint>
#include <vector>

#include "kdtree.h"
#include "split_search.h"

namespace RAYTR {

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
    if (!build::sweepable(bounds.lo, bounds.hi, bounds.n))
        {
        build::SearchBuffers buf;
        buf.resize(bounds.n);
        return build::naive_search(*this, bounds, box, buf);
    }

    // List positions serve as ids.
    const uint32_t n = bounds.n;
    std::vector<uint32_t> ids(n), by_min[3], by_max[3];
    std::vector<uint64_t> keys;
    build::OrderedList ordered;
    build::PrimitiveBounds by_id;
    for (uint32_t i = 0; i < n; ++i)
        ids[i] = i;
    ordered.ids = ids.data();
    ordered.n = n;
    for (int a = 0; a < 3; ++a) {
        by_min[a].resize(n);
        by_max[a].resize(n);
        build::sort_by_bounds(bounds.lo[a], bounds.hi[a], n, by_min[a].data(), by_max[a].data(), keys);
        ordered.by_min[a] = by_min[a].data();
        ordered.by_max[a] = by_max[a].data();
        by_id.lo[a] = bounds.lo[a];
        by_id.hi[a] = bounds.hi[a];
    }
    build::SearchBuffers buf;
    buf.resize(n);
    return build::swept_naive_search(*this, by_id, ordered, box, buf);
}

SplitChoice KdTree::FindSplitPosSAH(const PrimitiveList& list, const KdTreeBox& box) const
{
    std::vector<float> lo[3], hi[3];
    build::ListBounds bounds;
    gather_bounds(list, lo, hi, bounds);
    build::SortBuffers sort;
    sort.resize(list.size());
    build::SearchBuffers buf;
    buf.resize(list.size());
    return build::sorted_search(*this, bounds, box, sort, buf);
}

} // namespace RAYTR
