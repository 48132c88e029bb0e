// The flattened kd-tree as the tracers read it: 8-byte nodes and the object
// list records. Plain inline helpers, usable on the host and the GPU.
#pragma once

#include <cstdint>
#include <cstring>

#include "../engine/host_device.h"
#include "../engine/tau_math.h"

namespace RAYTR {

// An axis-aligned box; only x, y, z are meaningful.
struct KdTreeBox {
    TAU_MATH::VECTOR<4, float> min;
    TAU_MATH::VECTOR<4, float> max;
};

// Word 0: split position (float bits) of an inner node, or the byte offset of
// a leaf's record (-1 for an empty leaf). Word 1: bit 31 leaf flag, bits 29-30
// split axis, bits 0-28 the left child (the right child is left + 1).
struct KdTreeNode {
    uint32_t word0;
    uint32_t word1;
};

constexpr uint32_t kd_leaf_bit = 0x80000000u;
constexpr uint32_t kd_child_mask = 0x1FFFFFFFu;
constexpr int kd_axis_shift = 29;
constexpr uint32_t kd_axis_bits = 3u << kd_axis_shift;
constexpr uint32_t kd_empty_leaf = 0xFFFFFFFFu;
constexpr int kd_max_depth = 20;
// An unbounded distance in traversal and hit search.
constexpr float KD_INFINITY = 1e38f;

KORU_HD bool kd_is_leaf(const KdTreeNode& n) { return (n.word1 & kd_leaf_bit) != 0; }
KORU_HD int kd_axis(const KdTreeNode& n) { return static_cast<int>((n.word1 >> kd_axis_shift) & 3u); }
KORU_HD uint32_t kd_left_child(const KdTreeNode& n) { return n.word1 & kd_child_mask; }
KORU_HD int32_t kd_leaf_offset(const KdTreeNode& n) { return static_cast<int32_t>(n.word0); }

KORU_HD float kd_split_position(const KdTreeNode& n)
{
    float position;
    std::memcpy(&position, &n.word0, sizeof position);
    return position;
}

// Object list record: byte 0 and byte 2 hold the low and high bytes of the
// triangle count T, bytes 1 and 3 those of the sphere count S (the high bytes
// are 0 for every leaf of up to 255 of each kind). Then T triples of vertex
// indices, then S sphere indices, all 32-bit.
KORU_HD unsigned kd_record_triangle_count(const unsigned char* record)
{
    return static_cast<unsigned>(record[0]) | (static_cast<unsigned>(record[2]) << 8);
}

KORU_HD unsigned kd_record_sphere_count(const unsigned char* record)
{
    return static_cast<unsigned>(record[1]) | (static_cast<unsigned>(record[3]) << 8);
}

KORU_HD const uint32_t* kd_record_triangles(const unsigned char* record)
{
    return reinterpret_cast<const uint32_t*>(record + 4);
}

KORU_HD const uint32_t* kd_record_spheres(const unsigned char* record)
{
    return reinterpret_cast<const uint32_t*>(record + 4) + 3 * kd_record_triangle_count(record);
}

// Writers, for the builder. Each changes only its own fields of a node.
inline void kd_set_split(KdTreeNode& n, float position, int axis)
{
    std::memcpy(&n.word0, &position, sizeof position);
    n.word1 = (n.word1 & ~kd_axis_bits) | (static_cast<uint32_t>(axis) << kd_axis_shift);
}

// Also marks the node as inner.
inline void kd_set_left_child(KdTreeNode& n, uint32_t left) { n.word1 = (n.word1 & kd_axis_bits) | left; }

inline void kd_clear_leaf_bit(KdTreeNode& n) { n.word1 &= ~kd_leaf_bit; }

// word0: the record's byte offset, or kd_empty_leaf.
inline void kd_set_leaf(KdTreeNode& n, uint32_t word0)
{
    n.word1 |= kd_leaf_bit;
    n.word0 = word0;
}

// A leaf's word 0 read as a signed offset: the object list ends before 2 GiB.
constexpr uint32_t kd_max_list_bytes = 0x7FFFFFFFu;

// The most triangles, and the most spheres, one record can count.
constexpr uint32_t kd_record_max_count = 0xFFFFu;

inline uint64_t kd_record_bytes(uint32_t n_triangles, uint32_t n_spheres)
{
    return 4u + 12ull * n_triangles + 4ull * n_spheres;
}

inline void kd_write_record_counts(unsigned char* record, uint32_t n_triangles, uint32_t n_spheres)
{
    record[0] = static_cast<unsigned char>(n_triangles & 0xFFu);
    record[1] = static_cast<unsigned char>(n_spheres & 0xFFu);
    record[2] = static_cast<unsigned char>(n_triangles >> 8);
    record[3] = static_cast<unsigned char>(n_spheres >> 8);
}

static_assert(sizeof(KdTreeNode) == 8, "KdTreeNode is two 32-bit words");
static_assert(sizeof(KdTreeBox) == 32 && alignof(KdTreeBox) == 16, "KdTreeBox is 32 bytes, 16-byte aligned");

} // namespace RAYTR
