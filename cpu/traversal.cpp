// Kd-tree walks of the CPU tracer: a packet of four rays that share a
// direction octant walks the tree once with four-wide arithmetic; any other
// packet is walked ray by ray with the shared single-ray core.
#include "../kdtree/kdtree.h"
#include "engine/engines.h"
#include "ray_packet.h"
#include "rt_core.h"
#include "simd.h"

using koru::simd::float4;
using koru::simd::mask4;
using RAYTR::Hit;

namespace {

constexpr int all_lanes = 0xF;
constexpr int packet_stack_size = RAYTR::kd_max_depth;

// One deferred far child of the packet walk.
struct alignas(16) Packet_Stack_Entry {
    float4 tfar;
    mask4 active;
    uint32_t node;
};

struct Packet_Box_Entry {
    float4 tnear; // already raised to 0
    float4 tfar;
    int entering; // lanes that meet the box ahead (on its surface at least)
};

// The slab test of koru::rt::intersect_box, four lanes at once.
Packet_Box_Entry packet_box_entry(const RAYTR::KdTreeBox& box, const float4 origin[3], const float4 inv[3])
{
    const float4 lower_bound(-koru::rt::kd_infinity), upper_bound(koru::rt::kd_infinity);
    float4 tnear(0.0f), tfar(0.0f);
    for (int a = 0; a < 3; ++a) {
        const float4 t0 = (float4(box.min[a]) - origin[a]) * inv[a];
        const float4 t1 = (float4(box.max[a]) - origin[a]) * inv[a];
        // max and min give the bound where t is NaN.
        const float4 entry = koru::simd::min(koru::simd::max(t0, lower_bound), koru::simd::max(t1, lower_bound));
        const float4 exit = koru::simd::max(koru::simd::min(t0, upper_bound), koru::simd::min(t1, upper_bound));
        tnear = a == 0 ? entry : koru::simd::max(tnear, entry);
        tfar = a == 0 ? exit : koru::simd::min(tfar, exit);
    }
    Packet_Box_Entry result;
    result.entering = koru::simd::movemask((tfar >= tnear) & (tfar >= float4(0.0f)));
    result.tnear = koru::simd::max(tnear, float4(0.0f));
    result.tfar = tfar;
    return result;
}

// Four rays, one walk, front to back; the child order comes from lane 0 (the
// caller guarantees that all lanes share its octant). Lanes leave the walk as
// they find their hit; a lane's hit is never overwritten afterwards.
int walk_packet(const koru::rt::Tree_View& tree, const Ray_Packet& packet, const float4 origin[3],
                const float4 inv[3], float4 tnear, float4 tfar, Hit hits[4])
{
    uint32_t up[3];
    for (int a = 0; a < 3; ++a)
        up[a] = koru::rt::heads_up(packet.direction[a][0]);

    Packet_Stack_Entry stack[packet_stack_size];
    int depth = 0;
    mask4 active(true);
    mask4 done(false);
    uint32_t node = 0;
    const float4 infinity(INFINITY);
    for (;;) {
        const RAYTR::KdTreeNode* n = &tree.nodes[node];
        while (!RAYTR::kd_is_leaf(*n)) {
            const int a = RAYTR::kd_axis(*n);
            const uint32_t lower = RAYTR::kd_left_child(*n);
            const uint32_t far_child = lower + up[a];
            const uint32_t near_child = lower + 1u - up[a];
            // NaN (origin on the plane of a parallel ray) stays on the near side.
            const float4 t = koru::simd::min((float4(RAYTR::kd_split_position(*n)) - origin[a]) * inv[a], infinity);
            if (koru::simd::none(andnot(active, t < tnear))) {
                node = far_child;
            } else if (koru::simd::none(andnot(active, tfar <= t))) {
                node = near_child;
            } else {
                // Enqueue the far child for the lanes active now.
                stack[depth].tfar = tfar;
                stack[depth].active = active;
                stack[depth].node = far_child;
                ++depth;
                active = active & (tnear < t);
                tfar = koru::simd::select(t < tfar, t, tfar);
                node = near_child;
            }
            n = &tree.nodes[node];
        }

        alignas(16) float dist[4] = {koru::rt::kd_infinity, koru::rt::kd_infinity, koru::rt::kd_infinity,
                                     koru::rt::kd_infinity};
        const int lanes = koru::simd::movemask(active);
        for (int k = 0; k < 4; ++k)
            if (lanes & (1 << k))
                dist[k] = koru::rt::intersect_leaf(koru::rt::lane_ray(packet, k), *n, tree.obj_list, tree.vertices,
                                                   &hits[k]);
        // A lane is done when its nearest hit lies within this leaf's stretch.
        const float4 exit = tfar + (tfar + float4(tree.scale)) * float4(koru::rt::leaf_exit_tolerance);
        done = done | (active & (float4::load(dist) <= exit));

        if (depth == 0 || koru::simd::all(done))
            return koru::simd::movemask(done);
        tnear = koru::simd::select(andnot(active, done), tfar, tnear);
        --depth;
        tfar = stack[depth].tfar;
        active = andnot(stack[depth].active, done);
        node = stack[depth].node;
    }
}

void load_packet(const Ray_Packet& packet, float4 origin[3], float4 direction[3], float4 inv[3])
{
    for (int a = 0; a < 3; ++a) {
        origin[a] = float4::load(packet.origin[a]);
        direction[a] = float4::load(packet.direction[a]);
        inv[a] = float4(1.0f) / direction[a];
    }
}

} // namespace

koru::rt::Tree_View CPU_Ray_Tracer::tree_view() const
{
    koru::rt::Tree_View view;
    view.nodes = kd_tree ? kd_tree->nodes : nullptr;
    view.node_count = kd_tree && kd_tree->nodes ? kd_tree->node_count : 0;
    if (kd_tree)
        view.world_box = kd_tree->world_box;
    view.obj_list = kd_tree ? kd_tree->obj_list_data : nullptr;
    view.vertices = vertices;
    view.scale = kd_tree ? koru::rt::box_scale(kd_tree->world_box) : 0.0f;
    return view;
}

unsigned CPU_Ray_Tracer::kd_tree_traverse(const TAU_MATH::RAY<4, float>& ray, Hit* hit)
{
    return koru::rt::traverse_ray(tree_view(), ray, hit);
}

unsigned CPU_Ray_Tracer::kd_tree_traverse_packet(const Ray_Packet& packet, Hit hits[4],
                                                 const koru::rt::Tree_View& tree)
{
    if (tree.node_count == 0)
        return 0;
    float4 origin[3], direction[3], inv[3];
    load_packet(packet, origin, direction, inv);
    const Packet_Box_Entry entry = packet_box_entry(tree.world_box, origin, inv);
    if (entry.entering != all_lanes)
        return 0;
    return static_cast<unsigned>(walk_packet(tree, packet, origin, inv, entry.tnear, entry.tfar, hits));
}

unsigned CPU_Ray_Tracer::trace_packet(const Ray_Packet& packet, Hit hits[4], const koru::rt::Tree_View& tree)
{
    ++stats.packets;
    if (tree.node_count == 0)
        return 0;
    float4 origin[3], direction[3], inv[3];
    load_packet(packet, origin, direction, inv);

    // Coherent: on every axis the four sign bits agree.
    bool coherent = true;
    for (int a = 0; a < 3; ++a) {
        const int signs = koru::simd::sign_bits(direction[a]);
        coherent = coherent && (signs == 0 || signs == all_lanes);
    }
    if (coherent) {
        const Packet_Box_Entry entry = packet_box_entry(tree.world_box, origin, inv);
        // The packet walk needs all four rays inside the tree; a packet of
        // which only some enter goes ray by ray below.
        if (entry.entering == all_lanes) {
            ++stats.coherent_packets;
            return static_cast<unsigned>(walk_packet(tree, packet, origin, inv, entry.tnear, entry.tfar, hits));
        }
        if (entry.entering == 0) {
            ++stats.coherent_packets;
            return 0;
        }
    }

    unsigned mask = 0;
    for (int k = 0; k < 4; ++k)
        if (koru::rt::traverse_ray(tree, koru::rt::lane_ray(packet, k), &hits[k]))
            mask |= 1u << k;
    return mask;
}
