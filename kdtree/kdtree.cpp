// Kd-tree construction: surface area heuristic split search, depth-first
// subdivision into a fixed node array and object list, build statistics and
// the final breadth-first renumbering.
//
// The rules fix every value the build computes (candidate order, margins,
// counting, rounding), so the fast paths here cache bounds and replace scans
// by closed forms only where the result is provably the same.
#include "kdtree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "../engine/tau_error.h"

namespace RAYTR {

using TAU_MATH::VECTOR;

namespace {

constexpr float kd_margin = 1e-6f;         // 9.99999997e-07: distance of a candidate from its bound
constexpr float min_node_volume = 1e-5f;   // 9.99999975e-06: smaller nodes are never split
constexpr float third = 0.33333334f;
constexpr uint32_t axis_bits = 3u << kd_axis_shift;
constexpr uint32_t max_leaf_kind_count = 0xFFFFu; // low byte and high byte of a record count

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
inline float sah_cost(const KdTreeBox& box, const NodeMeasure& node, float position, int axis, uint32_t n_left,
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

// Maps a float to an integer of the same order; -0 and +0 become equal, as
// they compare. Only for values that are not a number.
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
                const float cost = sah_cost(box, node, position, a, n_left, n_right, n, tree.sah_count_bias,
                                            tree.sah_leaf_factor, &verdict);
                state.offer(cost, position, a, verdict);
            }
        }
    }
    return state.best;
}

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

SplitChoice sorted_search(const KdTree& tree, const ListBounds& list, const KdTreeBox& box, SortBuffers& buf)
{
    const NodeMeasure node(box);
    SearchState state;
    const uint32_t n = list.n;
    for (int a = 0; a < 3; ++a) {
        if (a < 0 || a > 2)
            throw TAU_ERROR::Error("FindSplitPosSAH:: Unreached code worked");
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
            const float cost = sah_cost(box, node, position, a, j, n - p, n, tree.sah_count_bias,
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
            const float cost = sah_cost(box, node, position, a, i, n - k, n, tree.sah_count_bias,
                                        tree.sah_leaf_factor, &verdict);
            state.offer(cost, position, a, verdict);
        }
    }
    return state.best;
}

inline float min3(float a, float b, float c)
{
    float m = a;
    if (b < m)
        m = b;
    if (c < m)
        m = c;
    return m;
}

inline float max3(float a, float b, float c)
{
    float m = a;
    if (b > m)
        m = b;
    if (c > m)
        m = c;
    return m;
}

inline void cross3(const float a[3], const float b[3], float r[3])
{
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}

inline float dot3(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Akenine-Möller's separating-axis triangle-box test. Every projection is
// computed from all three corners, so no rounding shortcut enters.
bool triangle_overlaps_box(const float* p0, const float* p1, const float* p2, const KdTreeBox& box)
{
    float m[3], h[3], t0[3], t1[3], t2[3], e[3][3];
    for (int a = 0; a < 3; ++a) {
        m[a] = (box.min[a] + box.max[a]) * 0.5f;
        h[a] = (box.max[a] - box.min[a]) * 0.5f;
        t0[a] = p0[a] - m[a];
        t1[a] = p1[a] - m[a];
        t2[a] = p2[a] - m[a];
    }
    for (int a = 0; a < 3; ++a) {
        e[0][a] = t1[a] - t0[a];
        e[1][a] = t2[a] - t1[a];
        e[2][a] = t0[a] - t2[a];
    }

    // Nine axes: unit axis x edge.
    for (int k = 0; k < 3; ++k) {
        for (int unit_axis = 0; unit_axis < 3; ++unit_axis) {
            float unit[3] = {0.0f, 0.0f, 0.0f};
            unit[unit_axis] = 1.0f;
            float u[3];
            cross3(unit, e[k], u);
            const float q0 = dot3(u, t0), q1 = dot3(u, t1), q2 = dot3(u, t2);
            const float rad = h[0] * std::fabs(u[0]) + h[1] * std::fabs(u[1]) + h[2] * std::fabs(u[2]);
            if (min3(q0, q1, q2) > rad || max3(q0, q1, q2) < -rad)
                return false;
        }
    }

    // Box faces.
    for (int a = 0; a < 3; ++a)
        if (min3(t0[a], t1[a], t2[a]) > h[a] || max3(t0[a], t1[a], t2[a]) < -h[a])
            return false;

    // The triangle's plane against the box corners nearest and farthest along n.
    float n[3];
    cross3(e[0], e[1], n);
    const float d = -dot3(n, t0);
    float vmin[3], vmax[3];
    for (int a = 0; a < 3; ++a) {
        if (n[a] > 0.0f) {
            vmin[a] = -h[a];
            vmax[a] = h[a];
        } else {
            vmin[a] = h[a];
            vmax[a] = -h[a];
        }
    }
    return dot3(n, vmin) + d <= 0.0f && dot3(n, vmax) + d >= 0.0f;
}

// The sphere's bounding cube against the box, strictly.
bool sphere_overlaps_box(const VECTOR<4, float>& c, float r, const KdTreeBox& box)
{
    for (int a = 0; a < 3; ++a) {
        const float m = (box.min[a] + box.max[a]) * 0.5f;
        const float h = (box.max[a] - box.min[a]) * 0.5f;
        const float d = m - c[a];
        if (!(std::fabs(d) < r + h))
            return false;
    }
    return true;
}

void gather_bounds(const KdTree::PrimitiveList& list, std::vector<float> (&lo)[3], std::vector<float> (&hi)[3],
                   ListBounds& bounds)
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

// Throws Aligned_Bad_Alloc ("_aligned_malloc(): unsufficient memory").
KdTreeNode* allocate_nodes(std::size_t count)
{
    return static_cast<KdTreeNode*>(TAU_MATH::aligned_malloc(count * sizeof(KdTreeNode), 16));
}

} // namespace

// ---------------------------------------------------------------------------
// Primitive wrappers

namespace {
inline const float* triangle_corner(const KdTree* owner, uint32_t k, int c)
{
    return owner->vertices[owner->indices[k + c]].pos.v;
}
} // namespace

bool KdTree::KTriangle::OverlapsBox(const KdTreeBox& box) const
{
    return triangle_overlaps_box(triangle_corner(owner, index, 0), triangle_corner(owner, index, 1),
                                 triangle_corner(owner, index, 2), box);
}

void KdTree::KTriangle::ExtendBox(KdTreeBox& box) const
{
    for (int c = 0; c < 3; ++c) {
        const float* p = triangle_corner(owner, index, c);
        for (int a = 0; a < 3; ++a) {
            if (box.min[a] > p[a])
                box.min[a] = p[a] - kd_margin;
            if (box.max[a] < p[a])
                box.max[a] = p[a] + kd_margin;
        }
    }
}

VECTOR<4, float> KdTree::KTriangle::GetCenter() const
{
    const VECTOR<4, float>& p0 = owner->vertices[owner->indices[index]].pos;
    const VECTOR<4, float>& p1 = owner->vertices[owner->indices[index + 1]].pos;
    const VECTOR<4, float>& p2 = owner->vertices[owner->indices[index + 2]].pos;
    return (p1 + p0 + p2) * third;
}

float KdTree::KTriangle::GetMax(int axis) const
{
    return max3(triangle_corner(owner, index, 0)[axis], triangle_corner(owner, index, 1)[axis],
                triangle_corner(owner, index, 2)[axis]);
}

float KdTree::KTriangle::GetMin(int axis) const
{
    return min3(triangle_corner(owner, index, 0)[axis], triangle_corner(owner, index, 1)[axis],
                triangle_corner(owner, index, 2)[axis]);
}

bool KdTree::KSphere::OverlapsBox(const KdTreeBox& box) const
{
    const auto& s = owner->spheres[index];
    return sphere_overlaps_box(s.center, s.radius, box);
}

void KdTree::KSphere::ExtendBox(KdTreeBox& box) const
{
    const auto& s = owner->spheres[index];
    for (int a = 0; a < 3; ++a) {
        const float lo = s.center[a] - s.radius;
        if (lo < box.min[a])
            box.min[a] = lo - kd_margin;
        const float hi = s.center[a] + s.radius;
        if (hi > box.max[a])
            box.max[a] = hi + kd_margin;
    }
}

VECTOR<4, float> KdTree::KSphere::GetCenter() const { return owner->spheres[index].center; }

float KdTree::KSphere::GetMax(int axis) const
{
    const auto& s = owner->spheres[index];
    return s.center[axis] + s.radius;
}

float KdTree::KSphere::GetMin(int axis) const
{
    const auto& s = owner->spheres[index];
    return s.center[axis] - s.radius;
}

// ---------------------------------------------------------------------------
// Build scratch

struct KdTree::BuildScratch {
    // Bounds of every primitive by id, per axis, as GetMin/GetMax give them.
    std::vector<float> lo[3], hi[3];
    // Triangle corners by triangle number (id - sphere count), x y z each.
    std::vector<float> corners;
    // Bounds of the current node's list, gathered for the search.
    std::vector<float> list_lo[3], list_hi[3];
    SortBuffers sort;
    // Child lists of the node being split at each depth budget; a node's
    // right list waits here while its left subtree is built below it.
    struct Level {
        std::vector<uint32_t> left, right;
    };
    Level levels[kd_max_depth + 1];
};

// ---------------------------------------------------------------------------
// KdTree

KdTree::KdTree()
{
    nodes = allocate_nodes(node_capacity);
    std::memset(nodes, 0, node_capacity * sizeof(KdTreeNode));
    for (int a = 0; a < 4; ++a) {
        world_box.min[a] = 0.0f;
        world_box.max[a] = 0.0f;
    }
}

KdTree::~KdTree()
{
    TAU_MATH::aligned_free(nodes);
    delete[] obj_list_data;
}

void KdTree::SetVertices(const TAU_GRAPHICS::VERTEX<4, float>* v, uint32_t count)
{
    vertices = v;
    vertex_count = count;
}

void KdTree::SetIndices(const uint32_t* idx, uint32_t count)
{
    indices = idx;
    index_count = count;
}

void KdTree::SetSpheres(const TAU_MATH::SPHERE<4, float>* s, uint32_t count)
{
    spheres = s;
    sphere_count = count;
}

float KdTree::SAHCost(const KdTreeBox& box, float position, int axis, uint32_t n_left, uint32_t n_right,
                      uint32_t n_total, bool* verdict) const
{
    const NodeMeasure node(box);
    bool v;
    const float cost =
        sah_cost(box, node, position, axis, n_left, n_right, n_total, sah_count_bias, sah_leaf_factor, &v);
    if (verdict != nullptr)
        *verdict = v;
    return cost;
}

SplitChoice KdTree::FindSplitPosNaive(const PrimitiveList& list, const KdTreeBox& box) const
{
    std::vector<float> lo[3], hi[3];
    ListBounds bounds;
    gather_bounds(list, lo, hi, bounds);
    return naive_search(*this, bounds, box);
}

SplitChoice KdTree::FindSplitPosSAH(const PrimitiveList& list, const KdTreeBox& box) const
{
    std::vector<float> lo[3], hi[3];
    ListBounds bounds;
    gather_bounds(list, lo, hi, bounds);
    SortBuffers buf;
    buf.resize(list.size());
    return sorted_search(*this, bounds, box, buf);
}

// A tree built before goes back to the construction state first.
void KdTree::ResetForBuild()
{
    if (node_count != 0) {
        KdTreeNode* fresh = allocate_nodes(node_capacity);
        TAU_MATH::aligned_free(nodes);
        nodes = fresh;
        std::memset(nodes, 0, node_capacity * sizeof(KdTreeNode));
    }
    node_count = 0;
    obj_list_data_top = 0;
    empty_leaf_count = leaf_count = leaf_prim_total = full_leaf_count = cost_forced_leaves = 0;
}

void KdTree::Build()
{
    ResetForBuild();
    if (obj_list_data == nullptr)
        obj_list_data = new unsigned char[obj_list_capacity];
    obj_list_data_size = obj_list_capacity;

    // Root list: spheres, then whole triangles; a trailing partial triple of
    // indices is no triangle.
    const uint32_t n_spheres = sphere_count;
    const uint32_t n_triangles = index_count / 3;
    std::vector<KSphere> sphere_prims;
    std::vector<KTriangle> triangle_prims;
    sphere_prims.reserve(n_spheres);
    triangle_prims.reserve(n_triangles);
    PrimitiveList root;
    root.reserve(static_cast<std::size_t>(n_spheres) + n_triangles);
    for (uint32_t i = 0; i < n_spheres; ++i) {
        sphere_prims.emplace_back(this, i);
        root.push_back(&sphere_prims.back());
    }
    for (uint32_t t = 0; t < n_triangles; ++t) {
        triangle_prims.emplace_back(this, 3 * t);
        root.push_back(&triangle_prims.back());
    }

    ComputeWorldBox(root);

    // Cache bounds and corners for the whole build.
    const uint32_t n = static_cast<uint32_t>(root.size());
    BuildScratch scratch;
    for (int a = 0; a < 3; ++a) {
        scratch.lo[a].resize(n);
        scratch.hi[a].resize(n);
        scratch.list_lo[a].resize(n);
        scratch.list_hi[a].resize(n);
        for (uint32_t id = 0; id < n; ++id) {
            scratch.lo[a][id] = root[id]->GetMin(a);
            scratch.hi[a][id] = root[id]->GetMax(a);
        }
    }
    scratch.corners.resize(static_cast<std::size_t>(n_triangles) * 9);
    for (uint32_t t = 0; t < n_triangles; ++t)
        for (int c = 0; c < 3; ++c)
            std::memcpy(&scratch.corners[9 * t + 3 * c], triangle_corner(this, 3 * t, c), 3 * sizeof(float));
    scratch.sort.resize(n);

    std::vector<uint32_t> ids(n);
    for (uint32_t id = 0; id < n; ++id)
        ids[id] = id;

    node_count = 1;
    subdivide(0, world_box, kd_max_depth, ids.data(), n, scratch);

    std::cerr << std::endl;
    CountLeaves(0);
    PrintStatistics();

    root.clear();
    sphere_prims.clear();
    triangle_prims.clear();
    ReorderBreadthFirst();
}

void KdTree::ComputeWorldBox(const PrimitiveList& root)
{
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (const KPrimitive* q : root) {
        const VECTOR<4, float> c = q->GetCenter();
        for (int a = 0; a < 3; ++a)
            sum[a] += c[a];
    }
    const float count = static_cast<float>(root.size());
    for (int a = 0; a < 3; ++a) {
        world_box.min[a] = sum[a] / count;
        world_box.max[a] = sum[a] / count;
    }
    for (const KPrimitive* q : root)
        q->ExtendBox(world_box);
}

void KdTree::subdivide(uint32_t node, const KdTreeBox& box, int budget, const uint32_t* list, uint32_t n,
                       BuildScratch& scratch)
{
    if (budget == 0 || static_cast<int64_t>(n) <= leaf_prim_limit) {
        MakeLeaf(node, list, n);
        return;
    }

    ListBounds bounds;
    for (int a = 0; a < 3; ++a) {
        float* lo = scratch.list_lo[a].data();
        float* hi = scratch.list_hi[a].data();
        const float* all_lo = scratch.lo[a].data();
        const float* all_hi = scratch.hi[a].data();
        for (uint32_t i = 0; i < n; ++i) {
            lo[i] = all_lo[list[i]];
            hi[i] = all_hi[list[i]];
        }
        bounds.lo[a] = lo;
        bounds.hi[a] = hi;
    }
    bounds.n = n;
    const SplitChoice choice = static_cast<int64_t>(n) < naive_search_limit
                                   ? naive_search(*this, bounds, box)
                                   : sorted_search(*this, bounds, box, scratch.sort);
    if (!choice.split) {
        MakeLeaf(node, list, n);
        ++cost_forced_leaves;
        return;
    }

    uint32_t position_bits;
    std::memcpy(&position_bits, &choice.position, sizeof position_bits);
    nodes[node].word0 = position_bits;
    nodes[node].word1 = (nodes[node].word1 & ~axis_bits) | (static_cast<uint32_t>(choice.axis) << kd_axis_shift);

    KdTreeBox left_box = box, right_box = box;
    left_box.max[choice.axis] = choice.position;
    right_box.min[choice.axis] = choice.position;

    // Classify every primitive against both child boxes, keeping list order.
    BuildScratch::Level& level = scratch.levels[budget];
    level.left.clear();
    level.right.clear();
    level.left.reserve(n);
    level.right.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t id = list[i];
        bool in_left, in_right;
        if (id < sphere_count) {
            const auto& s = spheres[id];
            in_left = sphere_overlaps_box(s.center, s.radius, left_box);
            in_right = sphere_overlaps_box(s.center, s.radius, right_box);
        } else {
            const float* c = &scratch.corners[9 * static_cast<std::size_t>(id - sphere_count)];
            in_left = triangle_overlaps_box(c, c + 3, c + 6, left_box);
            in_right = triangle_overlaps_box(c, c + 3, c + 6, right_box);
        }
        if (in_left)
            level.left.push_back(id);
        if (in_right)
            level.right.push_back(id);
    }

    const uint32_t left_child = AllocChildren(node);
    const uint32_t right_child = left_child + 1;
    for (int side = 0; side < 2; ++side) {
        const std::vector<uint32_t>& child_list = side == 0 ? level.left : level.right;
        const uint32_t child = side == 0 ? left_child : right_child;
        if (child_list.empty()) {
            nodes[child].word0 = kd_empty_leaf;
            nodes[child].word1 |= kd_leaf_bit;
        } else {
            subdivide(child, side == 0 ? left_box : right_box, budget - 1, child_list.data(),
                      static_cast<uint32_t>(child_list.size()), scratch);
        }
    }
}

uint32_t KdTree::AllocChildren(uint32_t node)
{
    if (static_cast<uint64_t>(node_count) + 2 > node_capacity)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: out of range KdTreeNode array");
    const uint32_t left = node_count;
    nodes[node].word1 = (nodes[node].word1 & axis_bits) | left;
    nodes[left].word1 &= ~kd_leaf_bit;
    nodes[left + 1].word1 &= ~kd_leaf_bit;
    node_count += 2;
    return left;
}

// Records count each kind in 16 bits: the low bytes at 0 and 1, the high
// bytes in the otherwise reserved bytes 2 and 3, so a leaf of more than 255
// triangles or spheres (budget exhausted or split refused) stays readable.
void KdTree::MakeLeaf(uint32_t node, const uint32_t* list, uint32_t n)
{
    nodes[node].word1 |= kd_leaf_bit;

    uint32_t n_tri = 0, n_sph = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (list[i] < sphere_count)
            ++n_sph;
        else
            ++n_tri;
    }
    if (n_tri > max_leaf_kind_count || n_sph > max_leaf_kind_count)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: more than 65535 triangles or spheres in one leaf");
    const uint64_t bytes = 12ull * n_tri + 4ull * n_sph;

    const uint32_t start = obj_list_data_top;
    nodes[node].word0 = start;
    const uint64_t top = static_cast<uint64_t>(start) + bytes + 4;
    obj_list_data_top = static_cast<uint32_t>(std::min<uint64_t>(top, UINT32_MAX));
    if (top >= obj_list_data_size)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: out of memory in obj_list_data");

    unsigned char* record = obj_list_data + start;
    record[0] = static_cast<unsigned char>(n_tri & 0xFFu);
    record[1] = static_cast<unsigned char>(n_sph & 0xFFu);
    record[2] = static_cast<unsigned char>(n_tri >> 8);
    record[3] = static_cast<unsigned char>(n_sph >> 8);

    unsigned char* out = record + 4;
    for (uint32_t i = 0; i < n; ++i) {
        if (list[i] >= sphere_count) {
            const uint32_t k = 3 * (list[i] - sphere_count);
            std::memcpy(out, indices + k, 3 * sizeof(uint32_t));
            out += 3 * sizeof(uint32_t);
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (list[i] < sphere_count) {
            const uint32_t sphere = list[i];
            std::memcpy(out, &sphere, sizeof sphere);
            out += sizeof sphere;
        }
    }
    if (static_cast<uint64_t>(out - record) != bytes + 4)
        throw TAU_ERROR::Error("ObjectList data corruption");
}

void KdTree::CountLeaves(uint32_t node)
{
    while (!kd_is_leaf(nodes[node])) {
        CountLeaves(kd_left_child(nodes[node]));
        node = kd_left_child(nodes[node]) + 1;
    }
    ++leaf_count;
    const int32_t offset = kd_leaf_offset(nodes[node]);
    if (offset < 0) {
        ++empty_leaf_count;
    } else {
        const unsigned char* record = obj_list_data + offset;
        leaf_prim_total += static_cast<int32_t>(kd_record_triangle_count(record) + kd_record_sphere_count(record));
        ++full_leaf_count;
    }
}

void KdTree::PrintStatistics() const
{
    // Without any leaf record the average is reported as 0.
    const float average =
        full_leaf_count != 0
            ? static_cast<float>(static_cast<double>(leaf_prim_total) / static_cast<double>(full_leaf_count))
            : 0.0f;
    auto line = [](const char* label, auto value) {
        std::ostringstream text; // the stream's default formats, whatever std::cerr was set to
        text << label << value;
        std::cerr << text.str() << std::endl;
    };
    line("Nodes:                     ", node_count);
    line("Leafes:                    ", leaf_count);
    line("Empty(leafes):             ", empty_leaf_count);
    line("Not Empty(leafes):         ", full_leaf_count);
    line("Avg_Prim (not empty l-fs): ", average);
    line("Cost forced leafes         ", cost_forced_leaves);
    line("KdTree.obj_list_data_top:  ", obj_list_data_top);
    line("KdTree.obj_list_data_size: ", obj_list_data_size);
}

void KdTree::ReorderBreadthFirst()
{
    std::vector<uint32_t> order;
    order.reserve(node_count);
    order.push_back(0);
    for (std::size_t head = 0; head < order.size(); ++head) {
        const KdTreeNode& entry = nodes[order[head]];
        if (!kd_is_leaf(entry)) {
            order.push_back(kd_left_child(entry));
            order.push_back(kd_left_child(entry) + 1);
        }
    }
    std::vector<uint32_t> new_number(node_count);
    for (uint32_t i = 0; i < order.size(); ++i)
        new_number[order[i]] = i;

    KdTreeNode* renumbered = allocate_nodes(node_count);
    for (uint32_t i = 0; i < order.size(); ++i) {
        const KdTreeNode& old = nodes[order[i]];
        const uint32_t high = old.word1 & (kd_leaf_bit | axis_bits);
        renumbered[i].word0 = old.word0;
        renumbered[i].word1 = high | (kd_is_leaf(old) ? kd_child_mask : new_number[kd_left_child(old)]);
    }
    TAU_MATH::aligned_free(nodes);
    nodes = renumbered;
}

} // namespace RAYTR
