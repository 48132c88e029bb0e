// Kd-tree construction: depth-first subdivision into the node array and
// object list (fixed, or growing in the large mode) under a depth budget,
// leaf records, then the statistics and the breadth-first renumbering
// (statistics.cpp, renumber.cpp); on several threads, parallel_build.cpp.
#include "kdtree.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>

#include "../simd/simd.h"
#include "../engine/tau_error.h"
#include "build_scratch.h"
#include "geometry.h"
#include "split_search.h"

namespace RAYTR {

using TAU_MATH::VECTOR;

namespace {

// Throws Aligned_Bad_Alloc ("_aligned_malloc(): unsufficient memory").
KdTreeNode* allocate_nodes(std::size_t count)
{
    return static_cast<KdTreeNode*>(TAU_MATH::aligned_malloc(count * sizeof(KdTreeNode), 16));
}

} // namespace

KdTree::KdTree()
{
    nodes = allocate_nodes(node_capacity);
    node_array_size = node_capacity;
    std::memset(nodes, 0, node_capacity * sizeof(KdTreeNode));
    for (int a = 0; a < 4; ++a) {
        world_box.min[a] = 0.0f;
        world_box.max[a] = 0.0f;
    }
}

KdTree::KdTree(Growing)
{
    grow_on_demand = true;
    nodes = allocate_nodes(grow_start_nodes);
    node_array_size = grow_start_nodes;
    std::memset(nodes, 0, grow_start_nodes * sizeof(KdTreeNode));
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

// A tree built before goes back to the construction state first.
void KdTree::ResetForBuild()
{
    const uint32_t start_nodes = grow_on_demand ? grow_start_nodes : node_capacity;
    if (node_count != 0 || node_array_size != start_nodes) {
        KdTreeNode* fresh = allocate_nodes(start_nodes);
        TAU_MATH::aligned_free(nodes);
        nodes = fresh;
        node_array_size = start_nodes;
        std::memset(nodes, 0, start_nodes * sizeof(KdTreeNode));
    }
    node_count = 0;
    obj_list_data_top = 0;
    empty_leaf_count = leaf_count = leaf_prim_total = full_leaf_count = cost_forced_leaves = 0;
}

void KdTree::Build()
{
    ResetForBuild();
    const uint32_t start_list = grow_on_demand ? grow_start_list_bytes : obj_list_capacity;
    if (obj_list_data == nullptr || obj_list_data_size != start_list) {
        delete[] obj_list_data;
        obj_list_data = nullptr;
        obj_list_data = new unsigned char[start_list];
        obj_list_data_size = start_list;
    }

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
    RefuseOverflowingSums();

    // Cache bounds and corners for the whole build.
    const uint32_t n = static_cast<uint32_t>(root.size());
    std::vector<float> all_lo[3], all_hi[3], corners(static_cast<std::size_t>(n_triangles) * 9);
    BuildScratch scratch;
    for (int a = 0; a < 3; ++a) {
        all_lo[a].resize(n);
        all_hi[a].resize(n);
        for (uint32_t id = 0; id < n; ++id) {
            all_lo[a][id] = root[id]->GetMin(a);
            all_hi[a][id] = root[id]->GetMax(a);
        }
        scratch.lo[a] = all_lo[a].data();
        scratch.hi[a] = all_hi[a].data();
    }
    for (uint32_t t = 0; t < n_triangles; ++t)
        for (int c = 0; c < 3; ++c)
            std::memcpy(&corners[9 * t + 3 * c], vertices[indices[3 * t + c]].pos.v, 3 * sizeof(float));
    scratch.corners = corners.data();
    const float* const* lo = scratch.lo;
    const float* const* hi = scratch.hi;
    scratch.regular = build::sweepable(lo, hi, n);
    scratch.finite_corners = true;
    for (const float x : corners)
        scratch.finite_corners = scratch.finite_corners && std::fabs(x) <= build::overlap_finite_limit;
    scratch.size_for(n, n);

    // The root list is every id in order; its orders are sorted once.
    BuildScratch::Frame& root_frame = scratch.frames[kd_max_depth][0];
    root_frame.n = n;
    root_frame.reserve(n, scratch.regular);
    for (uint32_t id = 0; id < n; ++id)
        root_frame.ids[id] = id;
    // The three axes are independent: a build on several threads sorts them
    // side by side (a failure leaves the region as a value).
    if (scratch.regular && build_threads > 1) {
        std::exception_ptr failures[3];
#pragma omp parallel for num_threads(std::min(build_threads, 3))
        for (int a = 0; a < 3; ++a) {
            try {
                std::vector<uint64_t> keys;
                build::sort_by_bounds(lo[a], hi[a], n, root_frame.by_min[a].data(), root_frame.by_max[a].data(),
                                      keys);
            } catch (...) {
                failures[a] = std::current_exception();
            }
        }
        for (const std::exception_ptr& failure : failures)
            if (failure)
                std::rethrow_exception(failure);
    } else if (scratch.regular) {
        std::vector<uint64_t> keys;
        for (int a = 0; a < 3; ++a)
            build::sort_by_bounds(lo[a], hi[a], n, root_frame.by_min[a].data(), root_frame.by_max[a].data(), keys);
    }

    node_count = 1;
    if (build_threads > 1)
        SubdivideInParallel(scratch, n);
    else
        subdivide(0, world_box, kd_max_depth, 0, scratch);
    // A grown list keeps only what the records use.
    if (grow_on_demand && obj_list_data_top != obj_list_data_size) {
        unsigned char* trimmed = new unsigned char[obj_list_data_top > 0 ? obj_list_data_top : 1];
        std::memcpy(trimmed, obj_list_data, obj_list_data_top);
        delete[] obj_list_data;
        obj_list_data = trimmed;
        obj_list_data_size = obj_list_data_top;
    }

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

// Finite coordinates so far apart, or so large, that the world box's extent
// or the sum of its bounds, or a triangle's centre, leaves the float range
// give the build no finite box to cut: the scene is refused, naming the
// coordinate. (Coordinates that are not finite to begin with are built as
// they are.)
void KdTree::RefuseOverflowingSums() const
{
    if (sphere_count == 0 && index_count < 3)
        return; // no box at all
    float largest[3] = {0.0f, 0.0f, 0.0f};
    const auto take = [&largest](int a, float x) {
        if (!std::isfinite(x))
            return false;
        largest[a] = std::fabs(x) > std::fabs(largest[a]) ? x : largest[a];
        return true;
    };
    for (uint32_t i = 0; i < sphere_count; ++i)
        for (int a = 0; a < 3; ++a)
            if (!take(a, spheres[i].center[a]) || !std::isfinite(spheres[i].radius))
                return;
    for (uint32_t k = 0; k < index_count / 3 * 3; ++k)
        for (int a = 0; a < 3; ++a)
            if (!take(a, vertices[indices[k]].pos[a]))
                return;
    static const char* const axis_name[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) {
        const float lo = world_box.min[a], hi = world_box.max[a];
        if (std::isfinite(lo) && std::isfinite(hi) && std::isfinite(hi - lo) && std::isfinite(hi + lo))
            continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      "KdTree::Build: the coordinate %s = %g is too large: sums of the scene's coordinates "
                      "on %s overflow a float",
                      axis_name[a], static_cast<double>(largest[a]), axis_name[a]);
        throw TAU_ERROR::Out_Of_Range(text);
    }
}

namespace {

// Hands the entries of `from` to the left and the right child lists, in
// order, by the sides of their primitives. Every entry is written to both
// outputs and kept where it belongs, so each output needs room for one more
// than it keeps.
void partition(const uint32_t* from, uint32_t n, const uint8_t* side_of, uint32_t* left, uint32_t* right)
{
    uint32_t n_left = 0, n_right = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t id = from[i];
        const uint32_t side = side_of[id];
        left[n_left] = id;
        right[n_right] = id;
        n_left += side & 1u;
        n_right += side >> 1;
    }
}

// Nodes of at least this many primitives in the top levels of a build on
// several threads share their search, classification and partition out.
constexpr uint32_t shared_node_least = 1u << 14;

// Runs body(k) for k from 0 to count - 1 as tasks of the build's threads,
// and waits for them. (An unsigned count: Clang compares a taskloop's
// bound with an unsigned trip count.)
template <class Body>
void share_out(int count, const Body& body)
{
#pragma omp taskloop grainsize(1) shared(body)
    for (unsigned k = 0; k < static_cast<unsigned>(count); ++k)
        body(static_cast<int>(k));
}

} // namespace

void KdTree::subdivide(uint32_t node, const KdTreeBox& box, int budget, int slot, BuildScratch& scratch)
{
    const BuildScratch::Frame& frame = scratch.frames[budget][slot];
    const uint32_t n = frame.n;
    const uint32_t* list = frame.ids.data();
    // A build on several threads leaves the subtrees below the cut to them.
    if (subtree_queue != nullptr && budget == job_budget && static_cast<int64_t>(n) > leaf_prim_limit) {
        subtree_queue->jobs.push_back(SubtreeJob{node, box, budget, frame.copy_of_list(scratch.regular), nullptr, nullptr});
        subtree_queue->start(subtree_queue->jobs.back());
        return;
    }
    if (budget == 0 || static_cast<int64_t>(n) <= leaf_prim_limit) {
        MakeLeaf(node, list, n);
        return;
    }

    const int share = subtree_queue != nullptr && n >= shared_node_least ? build_threads : 1;
    SplitChoice choice;
    if (scratch.regular) {
        build::PrimitiveBounds bounds;
        for (int a = 0; a < 3; ++a) {
            bounds.lo[a] = scratch.lo[a];
            bounds.hi[a] = scratch.hi[a];
        }
        const build::OrderedList ordered = frame.ordered_list();
        build::SearchBuffers* const axis_buffers[3] = {&scratch.search, &scratch.axis_search[0],
                                                       &scratch.axis_search[1]};
        if (static_cast<int64_t>(n) < naive_search_limit)
            choice = build::swept_naive_search(*this, bounds, ordered, box, scratch.search);
        else if (share > 1 && !scratch.axis_search[1].rank_min.empty())
            choice = build::ordered_sorted_search_by_axis(*this, bounds, ordered, box, axis_buffers);
        else
            choice = build::ordered_sorted_search(*this, bounds, ordered, box, scratch.search);
    } else {
        build::ListBounds bounds;
        for (int a = 0; a < 3; ++a) {
            float* lo = scratch.list_lo[a].data();
            float* hi = scratch.list_hi[a].data();
            const float* all_lo = scratch.lo[a];
            const float* all_hi = scratch.hi[a];
            for (uint32_t i = 0; i < n; ++i) {
                lo[i] = all_lo[list[i]];
                hi[i] = all_hi[list[i]];
            }
            bounds.lo[a] = lo;
            bounds.hi[a] = hi;
        }
        bounds.n = n;
        choice = static_cast<int64_t>(n) < naive_search_limit
                     ? build::naive_search(*this, bounds, box, scratch.search)
                     : build::sorted_search(*this, bounds, box, scratch.sort, scratch.search);
    }
    if (!choice.split) {
        MakeLeaf(node, list, n);
        ++cost_forced_leaves;
        return;
    }

    KdTreeBox left_box = box, right_box = box;
    left_box.max[choice.axis] = choice.position;
    right_box.min[choice.axis] = choice.position;

    uint32_t child_n[2];
    if (share > 1) {
        // In parts of the list side by side, a few a thread for balance.
        const int n_parts = 4 * share;
        std::vector<uint32_t> part_n(2 * static_cast<std::size_t>(n_parts));
        uint32_t* counts = part_n.data();
        const int axis = choice.axis;
        share_out(n_parts, [=, &scratch](int part) {
            const auto bound = [=](int k) { return static_cast<uint32_t>(static_cast<uint64_t>(n) * k / n_parts); };
            uint32_t part_counts[2];
            classify(list, bound(part), bound(part + 1), n, left_box, right_box, axis, part_counts, scratch);
            counts[2 * part] = part_counts[0];
            counts[2 * part + 1] = part_counts[1];
        });
        child_n[0] = child_n[1] = 0;
        for (int part = 0; part < n_parts; ++part) {
            child_n[0] += counts[2 * part];
            child_n[1] += counts[2 * part + 1];
        }
    } else {
        classify(list, 0, n, n, left_box, right_box, choice.axis, child_n, scratch);
    }

    // A box without surface (a line or a point, as collinear triangles make)
    // or with one too large for a float costs every candidate as infinite or
    // undefined, and the search answers with its initial choice. When that
    // split separates nothing, splitting again and again to the depth budget
    // would double the references at every level until the node array or the
    // object list runs out, for a handful of triangles; the node is a leaf
    // instead.
    const float area = build::surface_area(box);
    if ((area == 0.0f || area == INFINITY) && child_n[0] == n && child_n[1] == n) {
        MakeLeaf(node, list, n);
        ++cost_forced_leaves;
        return;
    }

    kd_set_split(nodes[node], choice.position, choice.axis);
    const uint8_t* side_of = scratch.side_of.data();

    // Both child lists, keeping list order and the sorted orders. Only a
    // list that will be searched needs its orders.
    BuildScratch::Frame* child = scratch.frames[budget - 1];
    child[0].n = child_n[0];
    child[1].n = child_n[1];
    bool with_orders = false;
    for (int k = 0; k < 2; ++k)
        with_orders = with_orders ||
                      (scratch.regular && budget > 1 && static_cast<int64_t>(child[k].n) > leaf_prim_limit);
    for (int k = 0; k < 2; ++k)
        child[k].reserve(child[k].n, with_orders);
    // The list and its six orders part independently.
    const auto partition_list = [&frame, child, list, n, side_of](int k) {
        if (k == 0) {
            partition(list, n, side_of, child[0].ids.data(), child[1].ids.data());
            return;
        }
        const int a = (k - 1) / 2;
        if (k % 2 == 1)
            partition(frame.by_min[a].data(), n, side_of, child[0].by_min[a].data(), child[1].by_min[a].data());
        else
            partition(frame.by_max[a].data(), n, side_of, child[0].by_max[a].data(), child[1].by_max[a].data());
    };
    const int n_lists = with_orders ? 7 : 1;
    if (share > 1)
        share_out(n_lists, partition_list);
    else
        for (int k = 0; k < n_lists; ++k)
            partition_list(k);

    const uint32_t left_child = AllocChildren(node);
    for (int k = 0; k < 2; ++k) {
        if (child[k].n == 0)
            kd_set_leaf(nodes[left_child + k], kd_empty_leaf);
        else
            subdivide(left_child + k, k == 0 ? left_box : right_box, budget - 1, k, scratch);
    }
}

uint32_t KdTree::AllocChildren(uint32_t node)
{
    if (static_cast<uint64_t>(node_count) + 2 > node_array_size)
        GrowNodes(static_cast<uint64_t>(node_count) + 2);
    const uint32_t left = node_count;
    kd_set_left_child(nodes[node], left);
    kd_clear_leaf_bit(nodes[left]);
    kd_clear_leaf_bit(nodes[left + 1]);
    node_count += 2;
    return left;
}

// Past the fixed capacity only when growing; doubling keeps the copies few.
void KdTree::GrowNodes(uint64_t needed)
{
    // Child numbers have 29 bits.
    constexpr uint64_t most_nodes = static_cast<uint64_t>(kd_child_mask) + 1;
    if (!grow_on_demand || needed > most_nodes)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: out of range KdTreeNode array");
    const uint32_t size =
        static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(2ull * node_array_size, needed), most_nodes));
    KdTreeNode* grown = allocate_nodes(size);
    std::memcpy(grown, nodes, static_cast<std::size_t>(node_count) * sizeof(KdTreeNode));
    std::memset(grown + node_count, 0, static_cast<std::size_t>(size - node_count) * sizeof(KdTreeNode));
    TAU_MATH::aligned_free(nodes);
    nodes = grown;
    node_array_size = size;
}

// The list's end stays within what a leaf offset addresses.
void KdTree::GrowObjList(uint64_t needed)
{
    if (!grow_on_demand)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: out of memory in obj_list_data");
    if (needed >= kd_max_list_bytes)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: the object list would pass 2 GiB, the most leaf "
                                      "offsets address");
    const uint64_t size = std::min<uint64_t>(std::max<uint64_t>(2ull * obj_list_data_size, needed + 1),
                                             kd_max_list_bytes);
    unsigned char* grown = new unsigned char[size];
    if (obj_list_data_size > 0)
        std::memcpy(grown, obj_list_data, obj_list_data_size);
    delete[] obj_list_data;
    obj_list_data = grown;
    obj_list_data_size = static_cast<uint32_t>(size);
}

// Records count each kind in 16 bits: the low bytes at 0 and 1, the high
// bytes in the otherwise reserved bytes 2 and 3, so a leaf of more than 255
// triangles or spheres (budget exhausted or split refused) stays readable.
void KdTree::MakeLeaf(uint32_t node, const uint32_t* list, uint32_t n)
{
    uint32_t n_tri = 0, n_sph = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (list[i] < sphere_count)
            ++n_sph;
        else
            ++n_tri;
    }
    if (n_tri > kd_record_max_count || n_sph > kd_record_max_count)
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: more than 65535 triangles or spheres in one leaf");

    const uint32_t start = obj_list_data_top;
    kd_set_leaf(nodes[node], start);
    const uint64_t top = static_cast<uint64_t>(start) + kd_record_bytes(n_tri, n_sph);
    obj_list_data_top = static_cast<uint32_t>(std::min<uint64_t>(top, UINT32_MAX));
    if (top >= obj_list_data_size)
        GrowObjList(top);

    // Triangles, then spheres, each in list order.
    unsigned char* record = obj_list_data + start;
    kd_write_record_counts(record, n_tri, n_sph);
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
}

} // namespace RAYTR
