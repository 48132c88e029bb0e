// Kd-tree walks of the CPU tracer. A packet of N rays (four, eight or
// sixteen) whose directions share an octant walks the tree once with N-wide
// arithmetic; a wider packet that cannot goes as its two halves, a packet of
// four ray by ray with the shared single-ray walk (koru::rt::traverse_ray).
#pragma once

#include "../engine/engines.h"
#include "../rt/scene_walk.h"
#include "leaf_blocks.h"
#include "ray_packet.h"

namespace koru {
namespace cpu {

// What the packet walks read: the shared tree view and, when the engine made
// them for this very tree, its leaf blocks (else the records are read).
// With spheres, the walks test the spheres that the leaf records list as well
// (the whole scene); without, triangles only (the CPU tracer's own picture).
struct Packet_Tree {
    rt::Tree_View view;
    const Leaf_Blocks* blocks;
    const rt::Sphere* spheres = nullptr;
};

// What the walks read of an engine's scene store and kd-tree; a tree that is
// not built yet has no nodes, and every ray misses it.
rt::Tree_View tree_view(const Common_Graphics_Engine& engine);
Packet_Tree packet_tree(const CPU_Ray_Tracer& engine);

// The lane mask of hits (bit k for lane k), with hits[k] filled for them.
// Counts the packet, and whether it was walked as one, in stats. N is 4, 8
// or 16, and at most simd::widest_lanes(): the walk of N lanes is compiled
// for the instructions of N-wide lanes. A packet of N gives, lane by lane,
// the answers of its packets of four. Only the lanes of own are walked; the
// others keep their bits clear and their hits unwritten, and their rays only
// decide whether the packet walks as one.
template <int N>
unsigned trace_packet(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, RAYTR::Hit hits[],
                      CPU_Ray_Tracer::Frame_Stats& stats, unsigned own = (1u << N) - 1u);

// The lane mask of rays that hit anything: the same answer as trace_packet's
// mask, found without looking for the nearest hit.
template <int N>
unsigned trace_shadow_packet(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet,
                             CPU_Ray_Tracer::Frame_Stats& stats, unsigned own = (1u << N) - 1u);

// The packet walk alone, for a packet of four whose direction signs agree
// per axis: the four rays enter the tree together or, when one misses the
// world box, not at all (empty mask).
unsigned kd_tree_traverse_packet(const Packet_Tree& tree, const Ray_Packet& packet, RAYTR::Hit hits[4]);

} // namespace cpu
} // namespace koru
