// Kd-tree construction: depth-first subdivision into a fixed node array and
// object list under a depth budget, leaf records, then the statistics and the
// breadth-first renumbering (statistics.cpp, renumber.cpp).
#include "kdtree.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "../engine/tau_error.h"
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

struct KdTree::BuildScratch {
    // Bounds of every primitive by id, per axis, as GetMin/GetMax give them.
    std::vector<float> lo[3], hi[3];
    // Triangle corners by triangle number (id - sphere count), x y z each.
    std::vector<float> corners;
    // Bounds of the current node's list, gathered for the search.
    std::vector<float> list_lo[3], list_hi[3];
    build::SortBuffers sort;
    // Child lists of the node being split at each depth budget; a node's
    // right list waits here while its left subtree is built below it.
    struct Level {
        std::vector<uint32_t> left, right;
    };
    Level levels[kd_max_depth + 1];
};

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
            std::memcpy(&scratch.corners[9 * t + 3 * c], vertices[indices[3 * t + c]].pos.v, 3 * sizeof(float));
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

    build::ListBounds bounds;
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
                                   ? build::naive_search(*this, bounds, box)
                                   : build::sorted_search(*this, bounds, box, scratch.sort);
    if (!choice.split) {
        MakeLeaf(node, list, n);
        ++cost_forced_leaves;
        return;
    }

    kd_set_split(nodes[node], choice.position, choice.axis);

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
            in_left = build::sphere_overlaps_box(s.center, s.radius, left_box);
            in_right = build::sphere_overlaps_box(s.center, s.radius, right_box);
        } else {
            const float* c = &scratch.corners[9 * static_cast<std::size_t>(id - sphere_count)];
            in_left = build::triangle_overlaps_box(c, c + 3, c + 6, left_box);
            in_right = build::triangle_overlaps_box(c, c + 3, c + 6, right_box);
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
            kd_set_leaf(nodes[child], kd_empty_leaf);
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
    kd_set_left_child(nodes[node], left);
    kd_clear_leaf_bit(nodes[left]);
    kd_clear_leaf_bit(nodes[left + 1]);
    node_count += 2;
    return left;
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
        throw TAU_ERROR::Out_Of_Range("KdTree::subdivide: out of memory in obj_list_data");

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
