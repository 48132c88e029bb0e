// One ray against a leaf's triangles, a lane type's width of them at a time.
// Where only a few of a packet's rays reach a leaf (a mesh of a million
// triangles puts a few in each pixel), the packet test would take the leaf's
// triangles one by one with most of its lanes idle; a lone ray fills the
// lanes with triangles instead. Each lane makes the operations of the packet
// test, so a ray gets the same answer either way.
//
// The lane kernels include this through packet_walk.h.
#pragma once

#include <cstdint>
#include <cstring>

#include "../kdtree/kdtree_format.h"
#include "../rt/intersect.h"
#include "../simd/simd.h"
#include "leaf_blocks.h"

namespace koru {
namespace cpu {
namespace {

template <class F>
using Mask = rt::mask_of<F>;

// The lanes set in bits, as a lane mask.
template <class F>
Mask<F> lanes_of(unsigned bits)
{
    return Mask<F>::from_bits(bits);
}

// The first count lanes (all of them for count >= F::size).
template <class F>
Mask<F> first_lanes(uint32_t count)
{
    alignas(64) static const float lane[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return F::load(lane) < F(count < 16 ? static_cast<float>(count) : 16.0f);
}

// A triangle's slot in the leaf blocks travels in a float lane as its bits,
// which a select keeps: a float counts exactly only to 2^24.
constexpr uint32_t no_triangle = 0xFFFFFFFFu;

inline float triangle_lane(uint32_t triangle)
{
    float lane;
    std::memcpy(&lane, &triangle, sizeof lane);
    return lane;
}

inline uint32_t lane_triangle(float lane)
{
    uint32_t triangle;
    std::memcpy(&triangle, &lane, sizeof triangle);
    return triangle;
}

// The triangle of a slot (row 0 of its block plus the slot), corner by
// corner, for a packet's test.
struct Slot_Triangle {
    float a[3], b[3], c[3];

    explicit Slot_Triangle(const float* slot)
    {
        constexpr uint32_t row = Leaf_Blocks::block_size;
        for (int i = 0; i < 3; ++i) {
            a[i] = slot[i * row];
            b[i] = slot[(3 + i) * row];
            c[i] = slot[(6 + i) * row];
        }
    }
};

// The slots of blocks [b, b + F::size / 4), lane by lane.
template <class F>
struct Slot_Lanes {
    F a[3], b[3], c[3], order;

    Slot_Lanes(const Leaf_Blocks& blocks, uint32_t block)
    {
        const float* p = blocks.row(block, 0);
        const std::size_t stride = Leaf_Blocks::block_floats;
        for (int i = 0; i < 3; ++i) {
            a[i] = F::load_quads(p + i * Leaf_Blocks::block_size, stride);
            b[i] = F::load_quads(p + (3 + i) * Leaf_Blocks::block_size, stride);
            c[i] = F::load_quads(p + (6 + i) * Leaf_Blocks::block_size, stride);
        }
        order = F::load_quads(p + Leaf_Blocks::order_row * Leaf_Blocks::block_size, stride);
    }
};

// A lone ray's nearest accepted hit so far: its squared distance, the
// triangle (its slot) with its place in the record and its weights u and v.
struct Lone_Hit {
    float best = RAYTR::KD_INFINITY;
    float order = -1.0f;
    uint32_t triangle = no_triangle;
    float u = 0.0f, v = 0.0f;
};

// Whether to test the active lanes' rays one by one against the node's
// triangles, a lane type's width at a time: when that takes at most twice as
// many tests as the packet has blocks to look at (a block costs the packet
// a box test and up to four triangle tests). On a mesh of a million
// triangles most leaves are reached by two to four rays of a packet of 16.
inline bool lone_rays_pay(const Leaf_Blocks& blocks, uint32_t node, int active, int lanes)
{
    const uint32_t node_blocks = blocks.last_block(node) - blocks.first_block(node);
    const uint32_t per_test = static_cast<uint32_t>(lanes) / Leaf_Blocks::block_size;
    const uint32_t tests = (node_blocks + per_test - 1) / per_test;
    return static_cast<uint32_t>(__builtin_popcount(static_cast<unsigned>(active))) * tests <= 2 * node_blocks;
}

// The lanes of blocks [b, last) among those from block b on: their
// non-empty slots.
template <class F>
Mask<F> slots_in(const Slot_Lanes<F>& slots, uint32_t b, uint32_t last)
{
    return first_lanes<F>((last - b) * Leaf_Blocks::block_size) & (slots.order >= F(0.0f));
}

// Calls hits(tri, b, met, u, v) for each lane type's width of the node's
// triangles (from block b on) of which some meet one ray (the same in every
// lane), with the lanes that met it and their weights; stops when hits
// answers true, and answers whether it did.
template <class F, class Hits>
bool for_each_met(const Leaf_Blocks& blocks, uint32_t node, const F origin[3], const F dir[3], const Hits& hits)
{
    constexpr uint32_t step = F::size / Leaf_Blocks::block_size;
    const uint32_t last = blocks.last_block(node);
    for (uint32_t b = blocks.first_block(node); b < last; b += step) {
        const Slot_Lanes<F> tri(blocks, b);
        F u(0.0f), v(0.0f);
        const Mask<F> met = rt::moller_trumbore<F, F>(origin, dir, tri.a, tri.b, tri.c, slots_in(tri, b, last), u, v);
        if (!simd::none(met) && hits(tri, b, met, u, v))
            return true;
    }
    return false;
}

// One ray (the same in every lane) against the node's triangles: the nearest
// hit that the record-order test would accept, a tie going to the later
// triangle of the record.
template <class F>
void lone_nearest(const Leaf_Blocks& blocks, uint32_t node, const F origin[3], const F dir[3], Lone_Hit& hit)
{
    for_each_met<F>(blocks, node, origin, dir, [&](const Slot_Lanes<F>& tri, uint32_t b, Mask<F> met, F u, F v) {
        constexpr int n = F::size;
        F d2;
        const Mask<F> ok = rt::accept_hit<F, F>(origin, dir, tri.a, tri.b, tri.c, met, u, v, F(hit.best), d2);
        unsigned accepted = static_cast<unsigned>(simd::movemask(ok));
        if (accepted == 0)
            return false;
        alignas(F) float lane_d2[n], lane_u[n], lane_v[n], order[n];
        d2.store(lane_d2);
        u.store(lane_u);
        v.store(lane_v);
        tri.order.store(order);
        for (; accepted != 0; accepted &= accepted - 1) {
            const int k = __builtin_ctz(accepted);
            if (lane_d2[k] < hit.best || (lane_d2[k] == hit.best && order[k] > hit.order)) {
                hit.best = lane_d2[k];
                hit.order = order[k];
                hit.triangle = b * Leaf_Blocks::block_size + static_cast<uint32_t>(k);
                hit.u = lane_u[k];
                hit.v = lane_v[k];
            }
        }
        return false;
    });
}

// Whether one ray (the same in every lane) meets any of the node's triangles
// within its stretch, which ends at tfar.
template <class F>
bool lone_occluded(const Leaf_Blocks& blocks, uint32_t node, const F origin[3], const F dir[3], float tfar,
                   float scale)
{
    const F unbounded(RAYTR::KD_INFINITY);
    return for_each_met<F>(blocks, node, origin, dir, [&](const Slot_Lanes<F>& tri, uint32_t, Mask<F> met, F u, F v) {
        F d2;
        const Mask<F> accepted = rt::accept_hit<F, F>(origin, dir, tri.a, tri.b, tri.c, met, u, v, unbounded, d2);
        return !simd::none(accepted & rt::hit_in_leaf(simd::sqrt(d2), F(tfar), scale));
    });
}

} // namespace
} // namespace cpu
} // namespace koru
