// Kd-tree walks of the CPU tracer. A packet of four rays whose directions
// share an octant walks the tree once with four-wide arithmetic; any other
// packet is walked ray by ray with the shared single-ray walk
// (koru::rt::traverse_ray). On processors with AVX2 (AVX-512), packets of
// eight (sixteen) walk the same way with eight-wide (sixteen-wide)
// arithmetic.
#pragma once

#include "../engine/engines.h"
#include "../rt/scene_walk.h"
#include "leaf_blocks.h"
#include "ray_packet.h"

namespace koru {
namespace cpu {

// What the packet walks read: the shared tree view and, when the engine made
// them for this very tree, its leaf blocks (else the records are read).
struct Packet_Tree {
    rt::Tree_View view;
    const Leaf_Blocks* blocks;
};

// What the walks read of an engine's scene store and kd-tree; a tree that is
// not built yet has no nodes, and every ray misses it.
rt::Tree_View tree_view(const Common_Graphics_Engine& engine);
Packet_Tree packet_tree(const CPU_Ray_Tracer& engine);

// The lane mask of hits (bit k for lane k), with hits[k] filled for them.
// Counts the packet, and whether it was walked as one, in stats.
unsigned trace_packet(const Packet_Tree& tree, const Ray_Packet& packet, RAYTR::Hit hits[4],
                      CPU_Ray_Tracer::Frame_Stats& stats);

// The lane mask of rays that hit anything: the same answer as trace_packet's
// mask, found without looking for the nearest hit.
unsigned trace_shadow_packet(const Packet_Tree& tree, const Ray_Packet& packet,
                             CPU_Ray_Tracer::Frame_Stats& stats);

// Whether this processor runs the wide walks below (AVX2), and the wider
// ones (AVX-512); when it does not, they must not be called.
bool wide_packets_available();
bool wider_packets_available();

// trace_packet and trace_shadow_packet for eight (sixteen) rays at once, bit
// k for lane k: the same answers as the packets of four of lanes 0 to 3, 4 to
// 7 (and so on), lane by lane. Only where wide_packets_available()
// (wider_packets_available()) answers true.
unsigned trace_packet(const Packet_Tree& tree, const Wide_Ray_Packet& packet, RAYTR::Hit hits[8],
                      CPU_Ray_Tracer::Frame_Stats& stats);
unsigned trace_shadow_packet(const Packet_Tree& tree, const Wide_Ray_Packet& packet,
                             CPU_Ray_Tracer::Frame_Stats& stats);
unsigned trace_packet(const Packet_Tree& tree, const Wider_Ray_Packet& packet, RAYTR::Hit hits[16],
                      CPU_Ray_Tracer::Frame_Stats& stats);
unsigned trace_shadow_packet(const Packet_Tree& tree, const Wider_Ray_Packet& packet,
                             CPU_Ray_Tracer::Frame_Stats& stats);

// The packet walk alone, for a packet whose direction signs agree per axis:
// the four rays enter the tree together or, when one misses the world box,
// not at all (empty mask).
unsigned kd_tree_traverse_packet(const Packet_Tree& tree, const Ray_Packet& packet, RAYTR::Hit hits[4]);

} // namespace cpu
} // namespace koru
