// Grouping each leaf's triangles into blocks by place.
#include "leaf_blocks.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <numeric>

#include "../kdtree/radix_sort.h"

namespace koru {
namespace cpu {
namespace {

// The triangle test accepts weights down to -barycentric_tolerance, so it
// answers for a triangle grown by up to three times that share of its edges
// on each axis; rounding adds a little of the coordinates' size.
constexpr float edge_share = 4.0f * rt::barycentric_tolerance;
constexpr float rounding_share = 1e-5f;

// A leaf's triangle while its blocks are made.
struct Leaf_Triangle {
    float a[3], b[3], c[3];
    float centre[3]; // a + b + c: three times the centre
};

void grow_block(Triangle_Block& block, const Leaf_Triangle& t)
{
    for (int a = 0; a < 3; ++a) {
        const float lo = std::min({t.a[a], t.b[a], t.c[a]});
        const float hi = std::max({t.a[a], t.b[a], t.c[a]});
        const float margin = edge_share * (hi - lo) + rounding_share * (std::fabs(lo) + std::fabs(hi) + 1.0f);
        block.box.min[a] = std::min(block.box.min[a], lo - margin);
        block.box.max[a] = std::max(block.box.max[a], hi + margin);
    }
}

// A block's triangles: positions [first, last) of the leaf's `order`.
struct Group {
    uint32_t first, last;
};

// Splits the leaf's triangles (by position in `order`) at the median of
// their centres along the widest axis, equal centres by triangle, until each
// group fits a block. keys: room for the leaf's triangles.
void group(std::vector<uint32_t>& order, std::vector<uint64_t>& keys, uint32_t from, uint32_t to,
           const std::vector<Leaf_Triangle>& leaf, std::vector<Group>& groups)
{
    const uint32_t n = to - from;
    if (n <= Leaf_Blocks::block_size) {
        groups.push_back(Group{from, to});
        return;
    }
    const auto first = order.begin() + from, last = order.begin() + to;
    const auto centre = [&](uint32_t i, int a) { return leaf[i].centre[a]; };
    int axis = 0;
    float widest = -1.0f;
    for (int a = 0; a < 3; ++a) {
        float lo = INFINITY, hi = -INFINITY;
        for (auto it = first; it != last; ++it) {
            lo = std::min(lo, centre(*it, a));
            hi = std::max(hi, centre(*it, a));
        }
        if (hi - lo > widest) {
            widest = hi - lo;
            axis = a;
        }
    }
    // Halves in whole blocks, so that only the last block of a leaf is short.
    const uint32_t blocks = (n + Leaf_Blocks::block_size - 1) / Leaf_Blocks::block_size;
    const uint32_t middle = from + (blocks / 2) * Leaf_Blocks::block_size;
    // One integer compare a step: the centre's order bits, then the triangle.
    uint64_t* key = keys.data();
    for (uint32_t i = from; i < to; ++i)
        key[i] = static_cast<uint64_t>(RAYTR::build::ordered_bits(centre(order[i], axis))) << 32 | order[i];
    std::nth_element(key + from, key + middle, key + to);
    for (uint32_t i = from; i < to; ++i)
        order[i] = static_cast<uint32_t>(key[i]);
    group(order, keys, from, middle, leaf, groups);
    group(order, keys, middle, to, leaf, groups);
}

// The record of a leaf with something in it, else null.
const unsigned char* record_of(const rt::Tree_View& tree, uint32_t node)
{
    const RAYTR::KdTreeNode& n = tree.nodes[node];
    if (!RAYTR::kd_is_leaf(n) || RAYTR::kd_leaf_offset(n) < 0)
        return nullptr;
    return tree.obj_list + RAYTR::kd_leaf_offset(n);
}

// Node `node`'s blocks and groups, written where out.node_start places
// them; leaf, order, keys and groups are the calling thread's scratch.
void fill_leaf(const rt::Tree_View& tree, uint32_t node, Leaf_Blocks& out, std::vector<Leaf_Triangle>& leaf,
               std::vector<uint32_t>& order, std::vector<uint64_t>& keys, std::vector<Group>& groups)
{
    const unsigned char* record = record_of(tree, node);
    if (record == nullptr)
        return;
    const uint32_t n_triangles = RAYTR::kd_record_triangle_count(record);
    const uint32_t* corners = RAYTR::kd_record_triangles(record);
    leaf.resize(n_triangles);
    for (uint32_t k = 0; k < n_triangles; ++k)
        for (int a = 0; a < 3; ++a) {
            leaf[k].a[a] = tree.vertices[corners[3 * k]].pos[a];
            leaf[k].b[a] = tree.vertices[corners[3 * k + 1]].pos[a];
            leaf[k].c[a] = tree.vertices[corners[3 * k + 2]].pos[a];
            leaf[k].centre[a] = leaf[k].a[a] + leaf[k].b[a] + leaf[k].c[a];
        }
    order.resize(n_triangles);
    std::iota(order.begin(), order.end(), 0u);
    keys.resize(n_triangles);
    groups.clear();
    if (n_triangles > 0)
        group(order, keys, 0, n_triangles, leaf, groups);

    const uint32_t first_block = out.first_block(node);
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const Group& g = groups[i];
        const uint32_t b = first_block + static_cast<uint32_t>(i);
        Triangle_Block& block = out.blocks[b];
        for (int a = 0; a < 3; ++a) {
            block.box.min[a] = INFINITY;
            block.box.max[a] = -INFINITY;
        }
        block.box.min[3] = block.box.max[3] = 0.0f;
        block.count = g.last - g.first;
        float* slot = out.slots.get() + b * Leaf_Blocks::block_floats;
        std::fill(slot, slot + Leaf_Blocks::block_floats, 0.0f);
        std::fill(out.corner_offsets.get() + b * Leaf_Blocks::block_size,
                  out.corner_offsets.get() + (b + 1) * Leaf_Blocks::block_size, 0u);
        for (uint32_t j = 0; j < Leaf_Blocks::block_size; ++j)
            slot[Leaf_Blocks::order_row * Leaf_Blocks::block_size + j] = -1.0f;
        for (uint32_t j = 0; j < block.count; ++j) {
            const uint32_t k = order[g.first + j];
            const Leaf_Triangle& t = leaf[k];
            for (int a = 0; a < 3; ++a) {
                slot[a * Leaf_Blocks::block_size + j] = t.a[a];
                slot[(3 + a) * Leaf_Blocks::block_size + j] = t.b[a];
                slot[(6 + a) * Leaf_Blocks::block_size + j] = t.c[a];
            }
            slot[Leaf_Blocks::order_row * Leaf_Blocks::block_size + j] = static_cast<float>(k);
            out.corner_offsets[b * Leaf_Blocks::block_size + j] =
                static_cast<uint32_t>(reinterpret_cast<const unsigned char*>(corners + 3 * k) - tree.obj_list);
            grow_block(block, t);
        }
    }
    // Blocks come out of the split in order of place: neighbours share a group.
    const uint32_t last_block = out.last_block(node);
    uint32_t group_index = out.node_start[node].group;
    for (uint32_t b = first_block; b < last_block; b += Leaf_Blocks::group_size) {
        Block_Group& g = out.groups[group_index++];
        g.first = b;
        g.count = std::min(Leaf_Blocks::group_size, last_block - b);
        g.box = out.blocks[b].box;
        for (uint32_t i = b + 1; i < b + g.count; ++i)
            for (int a = 0; a < 3; ++a) {
                g.box.min[a] = std::min(g.box.min[a], out.blocks[i].box.min[a]);
                g.box.max[a] = std::max(g.box.max[a], out.blocks[i].box.max[a]);
            }
    }
}

} // namespace

std::unique_ptr<Leaf_Blocks> make_leaf_blocks(const rt::Tree_View& tree, int threads)
{
    auto result = std::make_unique<Leaf_Blocks>();
    Leaf_Blocks& out = *result;
    out.nodes = tree.nodes;
    out.node_count = tree.node_count;
    out.obj_list = tree.obj_list;

    // A leaf of n triangles takes n / 4 blocks, rounded up, and those a
    // group per four: where each leaf's share starts is known before any
    // is made, so the leaves are independent.
    out.node_start.resize(static_cast<std::size_t>(tree.node_count) + 1);
    uint32_t total_blocks = 0, total_groups = 0;
    for (uint32_t node = 0; node < tree.node_count; ++node) {
        out.node_start[node] = {total_blocks, total_groups};
        if (const unsigned char* record = record_of(tree, node)) {
            const uint32_t blocks = (RAYTR::kd_record_triangle_count(record) + Leaf_Blocks::block_size - 1) /
                                    Leaf_Blocks::block_size;
            total_blocks += blocks;
            total_groups += (blocks + Leaf_Blocks::group_size - 1) / Leaf_Blocks::group_size;
        }
    }
    out.node_start[tree.node_count] = {total_blocks, total_groups};
    const std::size_t slot_floats = (static_cast<std::size_t>(total_blocks) + Leaf_Blocks::padding_blocks) *
                                    Leaf_Blocks::block_floats;
    out.groups.reset(new Block_Group[total_groups]);
    out.blocks.reset(new Triangle_Block[total_blocks]);
    out.slots.reset(new float[slot_floats]);
    out.corner_offsets.reset(new uint32_t[static_cast<std::size_t>(total_blocks) * Leaf_Blocks::block_size]);
    std::fill(out.slots.get() + static_cast<std::size_t>(total_blocks) * Leaf_Blocks::block_floats,
              out.slots.get() + slot_floats, 0.0f);

    // Each thread writes its leaves' own blocks; a failure leaves the
    // region as a value.
    std::exception_ptr failure;
    const int64_t node_count = tree.node_count;
#pragma omp parallel num_threads(std::max(threads, 1)) if (threads > 1)
    {
        std::vector<Leaf_Triangle> leaf;
        std::vector<uint32_t> order;
        std::vector<uint64_t> keys;
        std::vector<Group> groups;
#pragma omp for schedule(dynamic, 4096)
        for (int64_t node = 0; node < node_count; ++node) {
            try {
                fill_leaf(tree, static_cast<uint32_t>(node), out, leaf, order, keys, groups);
            } catch (...) {
#pragma omp critical(leaf_block_failure)
                failure = std::current_exception();
            }
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

} // namespace cpu
} // namespace koru
