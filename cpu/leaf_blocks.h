// Leaf blocks: the CPU tracer's copy of each leaf's triangles, made once after
// the kd-tree is built. A leaf's triangles are grouped by place into blocks of
// up to four, each with a box around everything its triangles can answer, and
// the blocks into groups of up to four, so that a packet skips what it
// misses. A block stores its four triangles coordinate by coordinate, so that
// a packet reads one triangle at a time and a lone ray four per block; the
// test reads no index. The kd-tree's own records stay as they are: large
// leaves are what its rules give on meshes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "../rt/walk.h"

namespace koru {
namespace cpu {

struct Triangle_Block {
    RAYTR::KdTreeBox box; // holds every point the triangle test can accept
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
    // Block b's slots: block_size lanes of each coordinate a.x, a.y, a.z,
    // b.x, ... c.z, then of each triangle's place in its leaf's record (the
    // later triangle wins a tie) as a float; an empty slot has a zero
    // triangle at place -1. Triangle s is slot s % 4 of block s / 4.
    static constexpr int order_row = 9;
    static constexpr int slot_rows = 10;
    static constexpr std::size_t block_floats = slot_rows * block_size;
    // Blocks past the last, so that the lanes of a lane type read from any
    // block stay inside.
    static constexpr uint32_t padding_blocks = 4;

    // The tree they were made for; a tree installed later does not match.
    const RAYTR::KdTreeNode* nodes = nullptr;
    uint32_t node_count = 0;
    const unsigned char* obj_list = nullptr;

    // Where node n's blocks and groups start; they end where node n + 1's
    // start.
    struct Node_Start {
        uint32_t block, group;
    };
    std::vector<Node_Start> node_start;
    // Sized once from the record counts; each leaf writes every entry of its
    // own share, so nothing is cleared beforehand.
    std::unique_ptr<Block_Group[]> groups;
    std::unique_ptr<Triangle_Block[]> blocks;
    std::unique_ptr<float[]> slots;             // block_floats for each block, and the padding
    std::unique_ptr<uint32_t[]> corner_offsets; // of each slot: the byte offset of its vertex indices in the object list

    // Blocks [first_block(n), last_block(n)) are node n's.
    uint32_t first_block(uint32_t n) const { return node_start[n].block; }
    uint32_t last_block(uint32_t n) const { return node_start[n + 1].block; }

    // Row r (a coordinate, or order_row) of block b: four lanes.
    const float* row(uint32_t b, int r) const { return slots.get() + b * block_floats + r * block_size; }

    // Triangle s's vertex indices in its leaf's record.
    const uint32_t* corners(uint32_t s) const
    {
        return reinterpret_cast<const uint32_t*>(obj_list + corner_offsets[s]);
    }

    bool made_for(const rt::Tree_View& tree) const
    {
        return tree.nodes == nodes && tree.node_count == node_count && tree.obj_list == obj_list;
    }
};

// The leaves are grouped on `threads` threads (the same blocks on any number).
std::unique_ptr<Leaf_Blocks> make_leaf_blocks(const rt::Tree_View& tree, int threads = 1);

} // namespace cpu
} // namespace koru
