// Kd-tree walks of the CPU tracer: a packet of four rays that share a
// direction octant walks the tree once with four-wide arithmetic; any other
// packet is walked ray by ray with the shared single-ray core.
#include <cmath>

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

// The leaf test of koru::rt::intersect_leaf for the active lanes of a packet
// at once: the same Moller-Trumbore steps in the same order per lane, so each
// lane gets exactly the single-ray answer. dist receives the lane's nearest
// accepted distance (kd_infinity for an empty leaf, no_hit_distance when
// nothing was accepted); hits are filled for the lanes that accepted one.
void intersect_leaf_packet(const koru::rt::Tree_View& tree, const RAYTR::KdTreeNode& leaf, const float4 origin[3],
                           const float4 direction[3], mask4 active, Hit hits[4], float dist[4])
{
    const int32_t offset = RAYTR::kd_leaf_offset(leaf);
    if (offset < 0) {
        for (int k = 0; k < 4; ++k)
            dist[k] = koru::rt::kd_infinity;
        return;
    }
    const unsigned char* record = tree.obj_list + offset;
    const unsigned n_triangles = RAYTR::kd_record_triangle_count(record);
    const uint32_t* triangles = RAYTR::kd_record_triangles(record);

    const float4 eps(koru::rt::determinant_epsilon), low(-koru::rt::barycentric_tolerance),
        high(1.0f + koru::rt::barycentric_tolerance), min_d2(koru::rt::min_hit_distance2), one(1.0f);
    float4 best(koru::rt::kd_infinity);
    int best_triangle[4] = {-1, -1, -1, -1};
    alignas(16) float best_w[3][4];

    for (unsigned t = 0; t < n_triangles; ++t) {
        const uint32_t* corner = triangles + 3 * t;
        const koru::rt::Vec4& a = tree.vertices[corner[0]].pos;
        const koru::rt::Vec4& b = tree.vertices[corner[1]].pos;
        const koru::rt::Vec4& c = tree.vertices[corner[2]].pos;
        float4 e1[3], e2[3], p[3], s[3], q[3];
        for (int i = 0; i < 3; ++i) {
            e1[i] = float4(b[i] - a[i]);
            e2[i] = float4(c[i] - a[i]);
        }
        p[0] = direction[1] * e2[2] - direction[2] * e2[1];
        p[1] = direction[2] * e2[0] - direction[0] * e2[2];
        p[2] = direction[0] * e2[1] - direction[1] * e2[0];
        const float4 det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
        mask4 ok = andnot(active, (det > float4(0.0f) - eps) & (det < eps));
        if (koru::simd::none(ok))
            continue;
        const float4 inv = one / det;
        for (int i = 0; i < 3; ++i)
            s[i] = origin[i] - float4(a[i]);
        const float4 u = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) * inv;
        ok = andnot(andnot(ok, u < low), u > high);
        if (koru::simd::none(ok))
            continue;
        q[0] = s[1] * e1[2] - s[2] * e1[1];
        q[1] = s[2] * e1[0] - s[0] * e1[2];
        q[2] = s[0] * e1[1] - s[1] * e1[0];
        const float4 v = (direction[0] * q[0] + direction[1] * q[1] + direction[2] * q[2]) * inv;
        ok = andnot(andnot(ok, v < low), u + v > high);
        if (koru::simd::none(ok))
            continue;
        const float4 w0 = one - u - v;
        float4 to_point[3];
        for (int i = 0; i < 3; ++i)
            to_point[i] = ((float4(a[i]) * w0 + float4(b[i]) * u) + float4(c[i]) * v) - origin[i];
        const float4 d2 = to_point[0] * to_point[0] + to_point[1] * to_point[1] + to_point[2] * to_point[2];
        const float4 ahead = direction[0] * to_point[0] + direction[1] * to_point[1] + direction[2] * to_point[2];
        // Too near, farther than the best so far, or behind the origin.
        ok = andnot(andnot(ok & (ahead > min_d2), d2 < min_d2), d2 > best);
        const int accepted = koru::simd::movemask(ok);
        if (!accepted)
            continue;
        best = koru::simd::select(ok, d2, best);
        alignas(16) float lane_w[3][4];
        w0.store(lane_w[0]);
        u.store(lane_w[1]);
        v.store(lane_w[2]);
        for (int k = 0; k < 4; ++k)
            if (accepted & (1 << k)) {
                best_triangle[k] = static_cast<int>(t);
                for (int i = 0; i < 3; ++i)
                    best_w[i][k] = lane_w[i][k];
            }
    }

    alignas(16) float best_d2[4];
    best.store(best_d2);
    for (int k = 0; k < 4; ++k) {
        dist[k] = std::sqrt(best_d2[k]);
        if (best_triangle[k] >= 0)
            koru::rt::fill_hit(tree.vertices, triangles + 3 * best_triangle[k], best_w[0][k], best_w[1][k],
                               best_w[2][k], &hits[k]);
    }
}

// Four rays, one walk, front to back; the child order comes from lane 0 (the
// caller guarantees that all lanes share its octant). Lanes leave the walk as
// they find their hit; a lane's hit is never overwritten afterwards.
int walk_packet(const koru::rt::Tree_View& tree, const Ray_Packet& packet, const float4 origin[3],
                const float4 direction[3], const float4 inv[3], float4 tnear, float4 tfar, Hit hits[4])
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

        alignas(16) float dist[4];
        intersect_leaf_packet(tree, *n, origin, direction, active, hits, dist);
        // A lane is done when its nearest hit lies within this leaf's stretch
        // (inactive lanes count as no hit).
        const float4 exit = tfar + (tfar + float4(tree.scale)) * float4(koru::rt::leaf_exit_tolerance);
        const float4 lane_dist = float4::load(dist);
        done = done | (active & (lane_dist < float4(koru::rt::no_hit_distance)) & (lane_dist <= exit));

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
    return static_cast<unsigned>(walk_packet(tree, packet, origin, direction, inv, entry.tnear, entry.tfar, hits));
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
            return static_cast<unsigned>(walk_packet(tree, packet, origin, direction, inv, entry.tnear, entry.tfar, hits));
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
