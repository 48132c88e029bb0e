// Grouping each leaf's triangles into blocks by place.
#include "leaf_blocks.h"

#include <algorithm>
#include <cmath>
#include <numeric>

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
// their centres along the widest axis until each group fits a block.
void group(std::vector<uint32_t>& order, uint32_t from, uint32_t to, const std::vector<Leaf_Triangle>& leaf,
           std::vector<Group>& groups)
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
    std::nth_element(first, order.begin() + middle, last, [&](uint32_t x, uint32_t y) {
        const float cx = centre(x, axis), cy = centre(y, axis);
        return cx < cy || (cx == cy && x < y);
    });
    group(order, from, middle, leaf, groups);
    group(order, middle, to, leaf, groups);
}

} // namespace

std::unique_ptr<Leaf_Blocks> make_leaf_blocks(const rt::Tree_View& tree)
{
    auto result = std::make_unique<Leaf_Blocks>();
    Leaf_Blocks& out = *result;
    out.nodes = tree.nodes;
    out.node_count = tree.node_count;
    out.obj_list = tree.obj_list;
    out.node_first_block.assign(static_cast<std::size_t>(tree.node_count) + 1, 0);
    out.node_first_group.assign(static_cast<std::size_t>(tree.node_count) + 1, 0);

    const auto record_of = [&](const RAYTR::KdTreeNode& n) -> const unsigned char* {
        if (!RAYTR::kd_is_leaf(n) || RAYTR::kd_leaf_offset(n) < 0)
            return nullptr;
        return tree.obj_list + RAYTR::kd_leaf_offset(n);
    };
    std::size_t total_blocks = 0;
    for (uint32_t node = 0; node < tree.node_count; ++node)
        if (const unsigned char* record = record_of(tree.nodes[node]))
            total_blocks += (RAYTR::kd_record_triangle_count(record) + Leaf_Blocks::block_size - 1) /
                            Leaf_Blocks::block_size;
    out.blocks.reserve(total_blocks);
    out.slots.assign((total_blocks + Leaf_Blocks::padding_blocks) * Leaf_Blocks::block_floats, 0.0f);
    out.corner_offsets.assign(total_blocks * Leaf_Blocks::block_size, 0);

    std::vector<Leaf_Triangle> leaf;
    std::vector<uint32_t> order;
    std::vector<Group> groups;
    for (uint32_t node = 0; node < tree.node_count; ++node) {
        out.node_first_block[node] = static_cast<uint32_t>(out.blocks.size());
        out.node_first_group[node] = static_cast<uint32_t>(out.groups.size());
        const unsigned char* record = record_of(tree.nodes[node]);
        if (record == nullptr)
            continue;
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
        groups.clear();
        if (n_triangles > 0)
            group(order, 0, n_triangles, leaf, groups);
        for (const Group& g : groups) {
            const uint32_t b = static_cast<uint32_t>(out.blocks.size());
            Triangle_Block block;
            for (int a = 0; a < 3; ++a) {
                block.box.min[a] = INFINITY;
                block.box.max[a] = -INFINITY;
            }
            block.count = g.last - g.first;
            float* slot = out.slots.data() + b * Leaf_Blocks::block_floats;
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
            out.blocks.push_back(block);
        }
        // Blocks come out of the split in order of place: neighbours share a group.
        const uint32_t first_block = static_cast<uint32_t>(out.blocks.size() - groups.size());
        for (uint32_t b = first_block; b < out.blocks.size(); b += Leaf_Blocks::group_size) {
            Block_Group g;
            g.first = b;
            g.count = std::min<uint32_t>(Leaf_Blocks::group_size, static_cast<uint32_t>(out.blocks.size()) - b);
            g.box = out.blocks[b].box;
            for (uint32_t i = b + 1; i < b + g.count; ++i)
                for (int a = 0; a < 3; ++a) {
                    g.box.min[a] = std::min(g.box.min[a], out.blocks[i].box.min[a]);
                    g.box.max[a] = std::max(g.box.max[a], out.blocks[i].box.max[a]);
                }
            out.groups.push_back(g);
        }
    }
    out.node_first_block[tree.node_count] = static_cast<uint32_t>(out.blocks.size());
    out.node_first_group[tree.node_count] = static_cast<uint32_t>(out.groups.size());
    return result;
}

} // namespace cpu
} // namespace koru
