// Leaf blocks: the CPU tracer's copy of each leaf's triangles, made once after
// the kd-tree is built. A leaf's triangles are grouped by place into blocks of
// up to four, each with a box around everything its triangles can answer, and
// the blocks into groups of up to four, so that a packet skips what it
// misses; the corners are stored with the triangle, so the test reads no
// index. The kd-tree's own records stay as
// they are: large leaves are what its rules give on meshes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "../rt/walk.h"

namespace koru {
namespace cpu {

struct Block_Triangle {
    float a[3], b[3], c[3];
    float order;              // position in the leaf's record: the later triangle wins a tie
    const uint32_t* corners;  // its vertex indices in the record, for the hit
};

struct Triangle_Block {
    RAYTR::KdTreeBox box; // holds every point the triangle test can accept
    uint32_t first;       // into Leaf_Blocks::triangles
    uint32_t count;       // 1 to block_size
};

// Up to four neighbouring blocks of a leaf under one box, so that a large
// leaf is skipped four blocks at a time.
struct Block_Group {
    RAYTR::KdTreeBox box;
    uint32_t first; // into Leaf_Blocks::blocks
    uint32_t count; // 1 to group_size
};

struct Leaf_Blocks {
    static constexpr uint32_t block_size = 4;
    static constexpr uint32_t group_size = 4;

    // The tree they were made for; a tree installed later does not match.
    const RAYTR::KdTreeNode* nodes = nullptr;
    uint32_t node_count = 0;
    const unsigned char* obj_list = nullptr;

    std::vector<uint32_t> node_first_block; // blocks of node n: [n], [n + 1])
    std::vector<uint32_t> node_first_group; // groups of node n: [n], [n + 1])
    std::vector<Block_Group> groups;
    std::vector<Triangle_Block> blocks;
    std::vector<Block_Triangle> triangles;

    bool made_for(const rt::Tree_View& tree) const
    {
        return tree.nodes == nodes && tree.node_count == node_count && tree.obj_list == obj_list;
    }
};

std::unique_ptr<Leaf_Blocks> make_leaf_blocks(const rt::Tree_View& tree);

} // namespace cpu
} // namespace koru
