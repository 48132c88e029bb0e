// The packet walks of the CPU tracer, written once over the lane type F
// (simd::vfloat<N>: four, eight or sixteen lanes). A packet whose directions
// share an octant and whose rays all enter the tree walks it once; a wider
// packet that cannot goes as its two halves, a packet of four ray by ray
// with the shared single-ray walk.
//
// Only the lane kernels (lane_kernels.cpp) include this: it is compiled into
// their entry points, once per lane type, for that lane type's instructions.
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/engines.h"
#include "../kdtree/kdtree_format.h"
#include "../rt/scene_walk.h"
#include "../simd/simd.h"
#include "leaf_blocks.h"
#include "leaf_records.h"
#include "lone_rays.h"
#include "ray_packet.h"
#include "traversal.h"

namespace koru {
namespace cpu {
namespace {

using RAYTR::Hit;
using Frame_Stats = CPU_Ray_Tracer::Frame_Stats;

// Each lane type's entry points (lane_kernels.cpp). A wider packet that
// cannot be walked as one hands its halves to the narrower walks' entries,
// which stay calls: inlining every width into the widest would multiply the
// code for the rare packet that splits.
#define KORU_LANE_ENTRY_4 __attribute__((noinline))
#define KORU_LANE_ENTRY_8 KORU_WIDE_ENTRY __attribute__((noinline))
#define KORU_LANE_ENTRY_16 KORU_WIDER_ENTRY __attribute__((noinline))
#define KORU_DECLARE_WALK_ENTRIES(N)                                                                            \
    KORU_LANE_ENTRY_##N unsigned nearest_entry(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, unsigned own,  \
                                               Hit hits[], Frame_Stats& stats);                                   \
    KORU_LANE_ENTRY_##N unsigned any_entry(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, unsigned own,      \
                                           Frame_Stats& stats);
KORU_DECLARE_WALK_ENTRIES(4)
#if KORU_SIMD_WIDE
KORU_DECLARE_WALK_ENTRIES(8)
#endif
#undef KORU_DECLARE_WALK_ENTRIES

template <class F>
constexpr int all_lanes = (1 << F::size) - 1;

// One deferred far child of the packet walk.
template <class F>
struct Packet_Stack_Entry {
    F tfar;
    Mask<F> active;
    uint32_t node;
};

// A block's entry distance is compared with distances to hits, which the
// test rebuilds from weights: the comparison allows for that rounding, as
// the blocks' boxes do.
constexpr float block_slack = 1e-4f;
constexpr float block_slack2 = (1.0f + block_slack) * (1.0f + block_slack);

template <class F>
F block_reach(F tfar, float scale)
{
    const F exit = rt::leaf_exit(tfar, scale);
    return exit + (exit + F(scale)) * F(block_slack);
}

// Calls visit(b, lanes) for each block b of the leaf that lanes_in(box,
// lanes) keeps some lanes for, testing a group's box before its blocks' in
// leaves of more than one group; stops when visit answers false.
template <class M, class Lanes_In, class Visit>
void for_each_block(const Leaf_Blocks& blocks, uint32_t node, M active, const Lanes_In& lanes_in,
                    const Visit& visit)
{
    const uint32_t first_group = blocks.node_start[node].group, last_group = blocks.node_start[node + 1].group;
    if (last_group - first_group <= 1) {
        for (uint32_t b = blocks.first_block(node); b < blocks.last_block(node); ++b) {
            const M lanes = lanes_in(blocks.blocks[b].box, active);
            if (!simd::none(lanes) && !visit(b, lanes))
                return;
        }
        return;
    }
    for (uint32_t g = first_group; g < last_group; ++g) {
        const Block_Group& group = blocks.groups[g];
        const M group_lanes = lanes_in(group.box, active);
        if (simd::none(group_lanes))
            continue;
        for (uint32_t b = group.first; b < group.first + group.count; ++b) {
            const M lanes = lanes_in(blocks.blocks[b].box, group_lanes);
            if (!simd::none(lanes) && !visit(b, lanes))
                return;
        }
    }
}

// The nearest accepted hit of each lane in a leaf: its distance (no_hit_distance
// when nothing was accepted), the triangle (its slot in the leaf blocks, as
// triangle_lane gives it; no_triangle for none) and the weights u and v.
template <class F>
struct Leaf_Answer {
    F dist, triangle, u, v;
    F best; // the squared distance of dist
};

// The leaf test of the active lanes, each ray on its own (lone_nearest).
// Calls test(k, origin, dir) for each active lane k with its ray in every
// lane.
template <class F, class Test>
void for_each_lone_ray(const Packet_Rays<F>& rays, int active, const Test& test)
{
    constexpr int n = F::size;
    alignas(F) float origin[3][n], dir[3][n];
    for (int a = 0; a < 3; ++a) {
        rays.origin[a].store(origin[a]);
        rays.direction[a].store(dir[a]);
    }
    for (unsigned lanes = static_cast<unsigned>(active); lanes != 0; lanes &= lanes - 1) {
        const int k = __builtin_ctz(lanes);
        const F o[3] = {F(origin[0][k]), F(origin[1][k]), F(origin[2][k])};
        const F d[3] = {F(dir[0][k]), F(dir[1][k]), F(dir[2][k])};
        test(k, o, d);
    }
}

template <class F>
Leaf_Answer<F> lone_leaf_answer(const Leaf_Blocks& blocks, uint32_t node, const Packet_Rays<F>& rays, int active)
{
    constexpr int n = F::size;
    alignas(F) float best[n], triangle[n], u[n], v[n];
    for (int k = 0; k < n; ++k) {
        const Lone_Hit none;
        best[k] = none.best;
        triangle[k] = triangle_lane(none.triangle);
        u[k] = none.u;
        v[k] = none.v;
    }
    for_each_lone_ray(rays, active, [&](int k, const F o[3], const F d[3]) {
        Lone_Hit hit;
        lone_nearest<F>(blocks, node, o, d, hit);
        best[k] = hit.best;
        triangle[k] = triangle_lane(hit.triangle);
        u[k] = hit.u;
        v[k] = hit.v;
    });
    Leaf_Answer<F> answer;
    answer.best = F::load(best);
    answer.dist = simd::sqrt(answer.best);
    answer.triangle = F::load(triangle);
    answer.u = F::load(u);
    answer.v = F::load(v);
    return answer;
}

// The same leaf test over the leaf's blocks: a block no active lane meets is
// skipped, and since blocks group triangles by place rather than by record
// order, a tie goes to the later triangle of the record explicitly. Few
// active lanes go ray by ray, where that takes fewer tests.
template <class F>
Leaf_Answer<F> intersect_leaf_blocks(const Leaf_Blocks& blocks, uint32_t node, const Packet_Rays<F>& rays,
                                     Mask<F> active, F exit)
{
    if (lone_rays_pay(blocks, node, simd::movemask(active), F::size))
        return lone_leaf_answer(blocks, node, rays, simd::movemask(active));
    F best(RAYTR::KD_INFINITY), best_order(-1.0f);
    Leaf_Answer<F> answer{F(0.0f), F(triangle_lane(no_triangle)), F(0.0f), F(0.0f), F(0.0f)};
    // A box that starts beyond the leaf's exit, or beyond the nearest hit so
    // far, holds nothing that can settle the lane or beat its hit.
    const auto lanes_in = [&](const RAYTR::KdTreeBox& box, Mask<F> lanes) {
        const rt::Box_Stretch<F> stretch = rt::slab_stretch<F>(box, rays.origin, rays.inv);
        const F entry = simd::max_or_bound(stretch.tnear, F(0.0f));
        return lanes & rt::meets_box(stretch) & (entry <= exit) & (entry * entry <= best * F(block_slack2));
    };
    for_each_block(blocks, node, active, lanes_in, [&](uint32_t b, Mask<F> lanes) {
        const float* slots = blocks.row(b, 0);
        const float* order = blocks.row(b, Leaf_Blocks::order_row);
        const uint32_t count = blocks.blocks[b].count;
        for (uint32_t j = 0; j < count; ++j) {
            const Slot_Triangle triangle(slots + j);
            F u(0.0f), v(0.0f), d2;
            const Mask<F> met =
                rt::moller_trumbore<F>(rays.origin, rays.direction, triangle.a, triangle.b, triangle.c, lanes, u, v);
            if (simd::none(met))
                continue;
            Mask<F> ok =
                rt::accept_hit<F>(rays.origin, rays.direction, triangle.a, triangle.b, triangle.c, met, u, v, best, d2);
            ok = andnot(ok, (d2 == best) & (F(order[j]) < best_order));
            if (simd::none(ok))
                continue;
            best = simd::select(ok, d2, best);
            best_order = simd::select(ok, F(order[j]), best_order);
            answer.triangle = simd::select(ok, F(triangle_lane(b * Leaf_Blocks::block_size + j)), answer.triangle);
            answer.u = simd::select(ok, u, answer.u);
            answer.v = simd::select(ok, v, answer.v);
        }
        return true;
    });
    answer.best = best;
    answer.dist = simd::sqrt(best);
    return answer;
}

// The lanes of a shadow packet that meet anything in the leaf within its
// stretch. A lane's nearest hit lies within the stretch exactly when some
// accepted hit does, so the first one found settles the lane.
template <class F>
Mask<F> leaf_occludes(const Leaf_Blocks& blocks, uint32_t node, const Packet_Rays<F>& rays, Mask<F> active, F tfar,
                      float scale)
{
    if (lone_rays_pay(blocks, node, simd::movemask(active), F::size)) {
        alignas(F) float lane_tfar[F::size];
        tfar.store(lane_tfar);
        unsigned occluded = 0;
        for_each_lone_ray(rays, simd::movemask(active), [&](int k, const F o[3], const F d[3]) {
            if (lone_occluded<F>(blocks, node, o, d, lane_tfar[k], scale))
                occluded |= 1u << k;
        });
        return lanes_of<F>(occluded);
    }
    const F exit = block_reach(tfar, scale);
    Mask<F> occluded(false);
    const F unbounded(RAYTR::KD_INFINITY);
    const auto lanes_in = [&](const RAYTR::KdTreeBox& box, Mask<F> lanes) {
        const rt::Box_Stretch<F> stretch = rt::slab_stretch<F>(box, rays.origin, rays.inv);
        return andnot(lanes, occluded) & rt::meets_box(stretch) & (stretch.tnear <= exit);
    };
    for_each_block(blocks, node, active, lanes_in, [&](uint32_t b, Mask<F> lanes) {
        const float* slots = blocks.row(b, 0);
        const uint32_t count = blocks.blocks[b].count;
        for (uint32_t j = 0; j < count && !simd::none(lanes); ++j) {
            const Slot_Triangle triangle(slots + j);
            F u(0.0f), v(0.0f), d2;
            const Mask<F> met =
                rt::moller_trumbore<F>(rays.origin, rays.direction, triangle.a, triangle.b, triangle.c, lanes, u, v);
            if (simd::none(met))
                continue;
            const Mask<F> accepted = rt::accept_hit<F>(rays.origin, rays.direction, triangle.a, triangle.b,
                                                       triangle.c, met, u, v, unbounded, d2);
            // d2 is known only once accept_hit has returned.
            const Mask<F> hit = accepted & rt::hit_in_leaf(simd::sqrt(d2), tfar, scale);
            occluded = occluded | hit;
            lanes = andnot(lanes, hit);
        }
        return simd::movemask(occluded) != simd::movemask(active);
    });
    return occluded;
}

// What a leaf settles for the walk: the lanes that are done there. Over leaf
// blocks the winning triangle of each lane is kept and its hit filled once,
// after the walk.
template <class F>
struct Nearest_Hit {
    const Packet_Tree& tree;
    Hit* hits;
    // The winner of each settled lane: a triangle with its weights, or a
    // sphere (index, -1 for none) with its distance.
    F triangle{triangle_lane(no_triangle)}, u{0.0f}, v{0.0f}, sphere{-1.0f}, t{0.0f};

    Mask<F> operator()(uint32_t node, const Packet_Rays<F>& rays, Mask<F> active, F tfar)
    {
        if (tree.blocks == nullptr) {
            const F dist = intersect_leaf_records(tree.view, tree.spheres, tree.view.nodes[node], rays, active, hits);
            // Inactive lanes count as no hit.
            return active & rt::hit_in_leaf(dist, tfar, tree.view.scale);
        }
        Leaf_Answer<F> answer =
            intersect_leaf_blocks(*tree.blocks, node, rays, active, block_reach(tfar, tree.view.scale));
        F leaf_sphere(-1.0f), leaf_t(0.0f);
        if (tree.spheres != nullptr) {
            const unsigned char* record = tree.view.obj_list + RAYTR::kd_leaf_offset(tree.view.nodes[node]);
            if (RAYTR::kd_record_sphere_count(record) != 0 &&
                !simd::none(leaf_spheres(tree.spheres, record, rays, active, answer.best, leaf_sphere, leaf_t)))
                answer.dist = simd::sqrt(answer.best);
        }
        const Mask<F> done = active & rt::hit_in_leaf(answer.dist, tfar, tree.view.scale);
        triangle = simd::select(done, answer.triangle, triangle);
        u = simd::select(done, answer.u, u);
        v = simd::select(done, answer.v, v);
        if (tree.spheres != nullptr) {
            sphere = simd::select(done, leaf_sphere, sphere);
            t = simd::select(done, leaf_t, t);
        }
        return done;
    }

    template <class Packet>
    void fill_hits(unsigned done, const Packet& packet) const
    {
        if (tree.blocks == nullptr || done == 0)
            return;
        constexpr int n = F::size;
        alignas(F) float lane_triangle[n], lane_u[n], lane_v[n], lane_w0[n], lane_sphere[n], lane_t[n];
        triangle.store(lane_triangle);
        u.store(lane_u);
        v.store(lane_v);
        (F(1.0f) - u - v).store(lane_w0);
        const bool with_spheres = tree.spheres != nullptr;
        if (with_spheres) {
            sphere.store(lane_sphere);
            t.store(lane_t);
        }
        // A packet walked ray by ray has its hits filled already (no triangle
        // or sphere here). The lanes' corners and vertices lie far apart in
        // a large mesh: all lanes' loads are started before the first hit
        // waits for its own.
        const uint32_t* lane_corners[n];
        unsigned triangles = 0, spheres = 0;
        for (unsigned left = done; left != 0; left &= left - 1) {
            const int k = __builtin_ctz(left);
            const uint32_t index = cpu::lane_triangle(lane_triangle[k]);
            if (with_spheres && lane_sphere[k] >= 0.0f) {
                spheres |= 1u << k;
            } else if (index != no_triangle) {
                lane_corners[k] = tree.blocks->corners(index);
                triangles |= 1u << k;
            }
        }
        for (unsigned left = triangles; left != 0; left &= left - 1) {
            const uint32_t* corners = lane_corners[__builtin_ctz(left)];
            for (int i = 0; i < 3; ++i) {
                const char* vertex = reinterpret_cast<const char*>(tree.view.vertices + corners[i]);
                __builtin_prefetch(vertex);
                __builtin_prefetch(vertex + sizeof(rt::Vertex) - 1);
            }
        }
        for (unsigned left = triangles; left != 0; left &= left - 1) {
            const int k = __builtin_ctz(left);
            rt::fill_hit(tree.view.vertices, lane_corners[k], lane_w0[k], lane_u[k], lane_v[k], &hits[k]);
        }
        for (unsigned left = spheres; left != 0; left &= left - 1) {
            const int k = __builtin_ctz(left);
            const rt::Ray4 ray = lane_ray(packet, k);
            const uint32_t index = static_cast<uint32_t>(lane_sphere[k]);
            rt::fill_sphere_hit(ray.pos.v, ray.dir.v, lane_t[k], tree.spheres[index], index, &hits[k]);
        }
    }
};

template <class F>
struct Any_Hit {
    const Packet_Tree& tree;

    Mask<F> operator()(uint32_t node, const Packet_Rays<F>& rays, Mask<F> active, F tfar)
    {
        if (tree.blocks) {
            Mask<F> occluded = leaf_occludes(*tree.blocks, node, rays, active, tfar, tree.view.scale);
            if (tree.spheres != nullptr) {
                const unsigned char* record = tree.view.obj_list + RAYTR::kd_leaf_offset(tree.view.nodes[node]);
                const Mask<F> open = andnot(active, occluded);
                if (RAYTR::kd_record_sphere_count(record) != 0 && !simd::none(open))
                    occluded = occluded | spheres_occlude(tree.spheres, record, rays, open, tfar, tree.view.scale);
            }
            return occluded;
        }
        Hit hits[F::size];
        const F dist = intersect_leaf_records(tree.view, tree.spheres, tree.view.nodes[node], rays, active, hits);
        return active & rt::hit_in_leaf(dist, tfar, tree.view.scale);
    }
};

// The rays of the packet's own lanes (bit k for lane k, not none), one walk,
// front to back; the child order comes from lane 0 (the caller guarantees
// that all lanes share its octant). Lanes leave the walk as the leaf test
// settles them; a settled lane is never active again, so its hit is never
// overwritten. The other lanes only borrow rays to keep the packet
// coherent: they are never active.
template <class F, class Packet, class Leaf_Test>
int walk_packet(const rt::Tree_View& tree, const Packet& packet, const Packet_Rays<F>& rays,
                const rt::Box_Stretch<F>& stretch, unsigned own, Leaf_Test& leaf_test)
{
    uint32_t upper_is_far[3];
    for (int a = 0; a < 3; ++a)
        upper_is_far[a] = rt::far_child_is_upper(packet.direction[a][0]);

    Packet_Stack_Entry<F> stack[rt::walk_stack_size];
    int depth = 0;
    F tnear = simd::max_or_bound(stretch.tnear, F(0.0f));
    F tfar = stretch.tfar;
    const Mask<F> own_lanes = lanes_of<F>(own);
    Mask<F> active = own_lanes;
    Mask<F> done(false);
    uint32_t node = 0;
    for (;;) {
        const RAYTR::KdTreeNode* n = &tree.nodes[node];
        while (!RAYTR::kd_is_leaf(*n)) {
            const int a = RAYTR::kd_axis(*n);
            const uint32_t lower = RAYTR::kd_left_child(*n);
            const uint32_t far_child = lower + upper_is_far[a];
            const uint32_t near_child = lower + 1u - upper_is_far[a];
            const F t = rt::split_distance(RAYTR::kd_split_position(*n), rays.origin[a], rays.inv[a]);
            // Each lane takes the children that the single-ray walk takes:
            // the far one alone when the split lies at or before its entry,
            // the near one alone when the split lies at or beyond its exit.
            // A lane never visits a child its own stretch does not reach,
            // where a hit on a triangle's tolerance band would settle it.
            const Mask<F> near_lanes = active & (tnear < t);
            const Mask<F> far_lanes = active & ((t <= tnear) | (t < tfar));
            if (simd::none(near_lanes)) {
                node = far_child;
            } else if (simd::none(far_lanes)) {
                node = near_child;
            } else {
                // Enqueue the far child for the lanes that reach it.
                stack[depth].tfar = tfar;
                stack[depth].active = far_lanes;
                stack[depth].node = far_child;
                ++depth;
                active = near_lanes;
                tfar = simd::select(t < tfar, t, tfar);
                node = near_child;
            }
            n = &tree.nodes[node];
        }

        // An empty leaf settles nothing.
        if (RAYTR::kd_leaf_offset(*n) >= 0)
            done = done | leaf_test(node, rays, active, tfar);
        tnear = simd::select(andnot(active, done), tfar, tnear);
        // Pop the next far child that some lane still needs.
        do {
            if (depth == 0 || simd::none(andnot(own_lanes, done)))
                return simd::movemask(done);
            --depth;
            active = andnot(stack[depth].active, done);
        } while (simd::none(active));
        tfar = stack[depth].tfar;
        node = stack[depth].node;
    }
}

// Walks the packet as one when its directions share an octant and all its
// rays enter the tree (or none does), counting it as that many 2x2 blocks;
// otherwise answers what apart() does. Only the own lanes' answers are
// sought (the others' bits stay clear).
template <class F, class Packet, class Leaf_Test, class Apart>
unsigned trace(const Packet_Tree& tree, const Packet& packet, unsigned own, Frame_Stats& stats,
               Leaf_Test& leaf_test, const Apart& apart)
{
    constexpr unsigned blocks = F::size / 4;
    if (tree.view.node_count == 0) {
        stats.packets += blocks;
        return 0;
    }
    const Packet_Rays<F> rays(packet);

    // Coherent: on every axis the sign bits agree.
    bool coherent = true;
    for (int a = 0; a < 3; ++a) {
        const int signs = simd::sign_bits(rays.direction[a]);
        coherent = coherent && (signs == 0 || signs == all_lanes<F>);
    }
    if (coherent) {
        const rt::Box_Stretch<F> stretch = rt::slab_stretch<F>(tree.view.world_box, rays.origin, rays.inv);
        const int entering = simd::movemask(rt::meets_box(stretch));
        // The packet walk needs all rays inside the tree; a packet of which
        // only some enter goes apart.
        if (entering == all_lanes<F>) {
            stats.packets += blocks;
            stats.coherent_packets += blocks;
            if (own == 0)
                return 0;
            return static_cast<unsigned>(walk_packet(tree.view, packet, rays, stretch, own, leaf_test));
        }
        if (entering == 0) {
            stats.packets += blocks;
            stats.coherent_packets += blocks;
            return 0;
        }
    }
    return apart();
}

// The single-ray walk of the shared core over what the packet walks test.
inline bool walk_ray(const Packet_Tree& tree, const rt::Ray4& ray, Hit* hit)
{
    if (tree.spheres != nullptr)
        return rt::walk_scene(rt::Tree_Primitives{{tree.view}, tree.spheres}, tree.view.world_box, ray, hit);
    return rt::traverse_ray(tree.view, ray, hit) != 0;
}

// The first (h = 0) or second half of a packet's lanes as a packet.
template <int N>
Ray_Packet_Of<N / 2> half_packet(const Ray_Packet_Of<N>& packet, int h)
{
    Ray_Packet_Of<N / 2> half;
    for (int a = 0; a < 3; ++a)
        for (int k = 0; k < N / 2; ++k) {
            half.origin[a][k] = packet.origin[a][N / 2 * h + k];
            half.direction[a][k] = packet.direction[a][N / 2 * h + k];
        }
    return half;
}

// The lane mask of hits (bit k for lane k) among the own lanes, with
// hits[k] filled for them.
template <int N>
unsigned nearest_hits(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, unsigned own, Hit hits[],
                      Frame_Stats& stats)
{
    using F = simd::vfloat<N>;
    Nearest_Hit<F> nearest{tree, hits};
    const unsigned done = trace<F>(tree, packet, own, stats, nearest, [&] {
        unsigned mask = 0;
        if constexpr (N == 4) {
            ++stats.packets;
            for (int k = 0; k < 4; ++k)
                if ((own >> k & 1u) && walk_ray(tree, lane_ray(packet, k), &hits[k]))
                    mask |= 1u << k;
        } else {
            constexpr unsigned half = (1u << N / 2) - 1u;
            mask = nearest_entry(tree, half_packet(packet, 0), own & half, hits, stats) |
                   nearest_entry(tree, half_packet(packet, 1), own >> N / 2, hits + N / 2, stats) << N / 2;
        }
        return mask;
    });
    nearest.fill_hits(done, packet);
    return done;
}

// The lane mask of own lanes' rays that hit anything: the same answer as
// nearest_hits' mask, found without looking for the nearest hit.
template <int N>
unsigned any_hits(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, unsigned own, Frame_Stats& stats)
{
    using F = simd::vfloat<N>;
    Any_Hit<F> any{tree};
    return trace<F>(tree, packet, own, stats, any, [&] {
        unsigned mask = 0;
        if constexpr (N == 4) {
            ++stats.packets;
            for (int k = 0; k < 4; ++k) {
                Hit hit;
                if ((own >> k & 1u) && walk_ray(tree, lane_ray(packet, k), &hit))
                    mask |= 1u << k;
            }
        } else {
            constexpr unsigned half = (1u << N / 2) - 1u;
            mask = any_entry(tree, half_packet(packet, 0), own & half, stats) |
                   any_entry(tree, half_packet(packet, 1), own >> N / 2, stats) << N / 2;
        }
        return mask;
    });
}

} // namespace
} // namespace cpu
} // namespace koru
