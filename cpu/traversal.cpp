// Kd-tree walks of the CPU tracer: the packet walk and the choice between it
// and the single-ray walk.
#include "traversal.h"

#include <cmath>

#include "../kdtree/kdtree.h"
#include "../rt/simd.h"

namespace koru {
namespace cpu {
namespace {

using RAYTR::Hit;
using simd::float4;
using simd::mask4;

constexpr int all_lanes = 0xF;

// One deferred far child of the packet walk.
struct alignas(16) Packet_Stack_Entry {
    float4 tfar;
    mask4 active;
    uint32_t node;
};

struct Packet_Rays {
    float4 origin[3];
    float4 direction[3];
    float4 inv[3];

    explicit Packet_Rays(const Ray_Packet& packet)
    {
        for (int a = 0; a < 3; ++a) {
            origin[a] = float4::load(packet.origin[a]);
            direction[a] = float4::load(packet.direction[a]);
            inv[a] = float4(1.0f) / direction[a];
        }
    }
};

// The leaf test of rt::intersect_leaf for the active lanes of a packet at
// once: the same triangle test per lane, so each lane gets exactly the
// single-ray answer. Returns each lane's nearest accepted distance
// (KD_INFINITY for an empty leaf, no_hit_distance when nothing was accepted);
// hits are filled for the lanes that accepted one.
float4 intersect_leaf_records(const rt::Tree_View& tree, const RAYTR::KdTreeNode& leaf, const Packet_Rays& rays,
                             mask4 active, Hit hits[4])
{
    const int32_t offset = RAYTR::kd_leaf_offset(leaf);
    if (offset < 0)
        return float4(RAYTR::KD_INFINITY);
    const unsigned char* record = tree.obj_list + offset;
    const unsigned n_triangles = RAYTR::kd_record_triangle_count(record);
    const uint32_t* triangles = RAYTR::kd_record_triangles(record);

    float4 best(RAYTR::KD_INFINITY);
    int best_triangle[4] = {-1, -1, -1, -1};
    alignas(16) float best_w[3][4];

    for (unsigned t = 0; t < n_triangles; ++t) {
        const uint32_t* corner = triangles + 3 * t;
        const float* a = tree.vertices[corner[0]].pos.v;
        const float* b = tree.vertices[corner[1]].pos.v;
        const float* c = tree.vertices[corner[2]].pos.v;
        float4 u, v, d2;
        const mask4 met = rt::moller_trumbore<float4>(rays.origin, rays.direction, a, b, c, active, u, v);
        if (simd::none(met))
            continue;
        const mask4 ok = rt::accept_hit<float4>(rays.origin, rays.direction, a, b, c, met, u, v, best, d2);
        const int accepted = simd::movemask(ok);
        if (!accepted)
            continue;
        best = simd::select(ok, d2, best);
        alignas(16) float lane_w[3][4];
        (float4(1.0f) - u - v).store(lane_w[0]);
        u.store(lane_w[1]);
        v.store(lane_w[2]);
        for (int k = 0; k < 4; ++k)
            if (accepted & (1 << k)) {
                best_triangle[k] = static_cast<int>(t);
                for (int i = 0; i < 3; ++i)
                    best_w[i][k] = lane_w[i][k];
            }
    }

    alignas(16) float dist[4];
    best.store(dist);
    for (int k = 0; k < 4; ++k) {
        dist[k] = std::sqrt(dist[k]);
        if (best_triangle[k] >= 0)
            rt::fill_hit(tree.vertices, triangles + 3 * best_triangle[k], best_w[0][k], best_w[1][k], best_w[2][k],
                         &hits[k]);
    }
    return float4::load(dist);
}

// A block's entry distance is compared with distances to hits, which the
// test rebuilds from weights: the comparison allows for that rounding, as
// the blocks' boxes do.
constexpr float block_slack = 1e-4f;
constexpr float block_slack2 = (1.0f + block_slack) * (1.0f + block_slack);

float4 block_reach(float4 tfar, float scale)
{
    const float4 exit = rt::leaf_exit(tfar, scale);
    return exit + (exit + float4(scale)) * float4(block_slack);
}

// Calls visit(block, lanes) for each block of the leaf that lanes_in(box,
// lanes) keeps some lanes for, testing a group's box before its blocks' in
// leaves of more than one group; stops when visit answers false.
template <class Lanes_In, class Visit>
void for_each_block(const Leaf_Blocks& blocks, uint32_t node, mask4 active, const Lanes_In& lanes_in,
                    const Visit& visit)
{
    const uint32_t first_group = blocks.node_first_group[node], last_group = blocks.node_first_group[node + 1];
    if (last_group - first_group <= 1) {
        for (uint32_t b = blocks.node_first_block[node]; b < blocks.node_first_block[node + 1]; ++b) {
            const mask4 lanes = lanes_in(blocks.blocks[b].box, active);
            if (!simd::none(lanes) && !visit(blocks.blocks[b], lanes))
                return;
        }
        return;
    }
    for (uint32_t g = first_group; g < last_group; ++g) {
        const Block_Group& group = blocks.groups[g];
        const mask4 group_lanes = lanes_in(group.box, active);
        if (simd::none(group_lanes))
            continue;
        for (uint32_t b = group.first; b < group.first + group.count; ++b) {
            const mask4 lanes = lanes_in(blocks.blocks[b].box, group_lanes);
            if (!simd::none(lanes) && !visit(blocks.blocks[b], lanes))
                return;
        }
    }
}

// The nearest accepted hit of each lane in a leaf: its distance (no_hit_distance
// when nothing was accepted), the triangle (its place in Leaf_Blocks::triangles,
// -1 for none) and the weights u and v.
struct Leaf_Answer {
    float4 dist, triangle, u, v;
};

// The same leaf test over the leaf's blocks: a block no active lane meets is
// skipped, and since blocks group triangles by place rather than by record
// order, a tie goes to the later triangle of the record explicitly.
Leaf_Answer intersect_leaf_blocks(const Leaf_Blocks& blocks, uint32_t node, const Packet_Rays& rays, mask4 active,
                                  float4 exit)
{
    float4 best(RAYTR::KD_INFINITY), best_order(-1.0f);
    Leaf_Answer answer{float4(0.0f), float4(-1.0f), float4(0.0f), float4(0.0f)};
    // A box that starts beyond the leaf's exit, or beyond the nearest hit so
    // far, holds nothing that can settle the lane or beat its hit.
    const auto lanes_in = [&](const RAYTR::KdTreeBox& box, mask4 lanes) {
        const rt::Box_Stretch<float4> stretch = rt::slab_stretch<float4>(box, rays.origin, rays.inv);
        const float4 entry = simd::max_or_bound(stretch.tnear, float4(0.0f));
        return lanes & rt::meets_box(stretch) & (entry <= exit) & (entry * entry <= best * float4(block_slack2));
    };
    for_each_block(blocks, node, active, lanes_in, [&](const Triangle_Block& block, mask4 lanes) {
        for (uint32_t t = block.first; t < block.first + block.count; ++t) {
            const Block_Triangle& triangle = blocks.triangles[t];
            float4 u(0.0f), v(0.0f), d2;
            const mask4 met =
                rt::moller_trumbore<float4>(rays.origin, rays.direction, triangle.a, triangle.b, triangle.c, lanes, u, v);
            if (simd::none(met))
                continue;
            mask4 ok = rt::accept_hit<float4>(rays.origin, rays.direction, triangle.a, triangle.b, triangle.c, met, u, v,
                                              best, d2);
            ok = andnot(ok, (d2 == best) & (float4(triangle.order) < best_order));
            if (simd::none(ok))
                continue;
            best = simd::select(ok, d2, best);
            best_order = simd::select(ok, float4(triangle.order), best_order);
            answer.triangle = simd::select(ok, float4(static_cast<float>(t)), answer.triangle);
            answer.u = simd::select(ok, u, answer.u);
            answer.v = simd::select(ok, v, answer.v);
        }
        return true;
    });
    answer.dist = simd::sqrt(best);
    return answer;
}

// The lanes of a shadow packet that meet anything in the leaf within its
// stretch. A lane's nearest hit lies within the stretch exactly when some
// accepted hit does, so the first one found settles the lane.
mask4 leaf_occludes(const Leaf_Blocks& blocks, uint32_t node, const Packet_Rays& rays, mask4 active, float4 tfar,
                    float scale)
{
    const float4 exit = block_reach(tfar, scale);
    mask4 occluded(false);
    const float4 unbounded(RAYTR::KD_INFINITY);
    const auto lanes_in = [&](const RAYTR::KdTreeBox& box, mask4 lanes) {
        const rt::Box_Stretch<float4> stretch = rt::slab_stretch<float4>(box, rays.origin, rays.inv);
        return andnot(lanes, occluded) & rt::meets_box(stretch) & (stretch.tnear <= exit);
    };
    for_each_block(blocks, node, active, lanes_in, [&](const Triangle_Block& block, mask4 lanes) {
        const Block_Triangle* triangle = &blocks.triangles[block.first];
        for (uint32_t t = 0; t < block.count && !simd::none(lanes); ++t, ++triangle) {
            float4 u(0.0f), v(0.0f), d2;
            const mask4 met =
                rt::moller_trumbore<float4>(rays.origin, rays.direction, triangle->a, triangle->b, triangle->c, lanes, u, v);
            if (simd::none(met))
                continue;
            const mask4 accepted = rt::accept_hit<float4>(rays.origin, rays.direction, triangle->a, triangle->b,
                                                          triangle->c, met, u, v, unbounded, d2);
            // d2 is known only once accept_hit has returned.
            const mask4 hit = accepted & rt::hit_in_leaf(simd::sqrt(d2), tfar, scale);
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
struct Nearest_Hit {
    const Packet_Tree& tree;
    Hit* hits;
    float4 triangle{-1.0f}, u{0.0f}, v{0.0f};

    mask4 operator()(uint32_t node, const Packet_Rays& rays, mask4 active, float4 tfar)
    {
        if (tree.blocks == nullptr) {
            const float4 dist = intersect_leaf_records(tree.view, tree.view.nodes[node], rays, active, hits);
            // Inactive lanes count as no hit.
            return active & rt::hit_in_leaf(dist, tfar, tree.view.scale);
        }
        const Leaf_Answer answer =
            intersect_leaf_blocks(*tree.blocks, node, rays, active, block_reach(tfar, tree.view.scale));
        const mask4 done = active & rt::hit_in_leaf(answer.dist, tfar, tree.view.scale);
        triangle = simd::select(done, answer.triangle, triangle);
        u = simd::select(done, answer.u, u);
        v = simd::select(done, answer.v, v);
        return done;
    }

    void fill_hits(unsigned done) const
    {
        if (tree.blocks == nullptr)
            return;
        alignas(16) float lane_triangle[4], lane_u[4], lane_v[4], lane_w0[4];
        triangle.store(lane_triangle);
        u.store(lane_u);
        v.store(lane_v);
        (float4(1.0f) - u - v).store(lane_w0);
        // A packet walked ray by ray has its hits filled already (no triangle here).
        for (int k = 0; k < 4; ++k)
            if ((done & (1u << k)) && lane_triangle[k] >= 0.0f)
                rt::fill_hit(tree.view.vertices, tree.blocks->triangles[static_cast<uint32_t>(lane_triangle[k])].corners,
                             lane_w0[k], lane_u[k], lane_v[k], &hits[k]);
    }
};

struct Any_Hit {
    const Packet_Tree& tree;

    mask4 operator()(uint32_t node, const Packet_Rays& rays, mask4 active, float4 tfar)
    {
        if (tree.blocks)
            return leaf_occludes(*tree.blocks, node, rays, active, tfar, tree.view.scale);
        Hit hits[4];
        const float4 dist = intersect_leaf_records(tree.view, tree.view.nodes[node], rays, active, hits);
        return active & rt::hit_in_leaf(dist, tfar, tree.view.scale);
    }
};

// Four rays, one walk, front to back; the child order comes from lane 0 (the
// caller guarantees that all lanes share its octant). Lanes leave the walk as
// the leaf test settles them; a settled lane is never active again, so its
// hit is never overwritten.
template <class Leaf_Test>
int walk_packet(const rt::Tree_View& tree, const Ray_Packet& packet, const Packet_Rays& rays,
                const rt::Box_Stretch<float4>& stretch, Leaf_Test& leaf_test)
{
    uint32_t upper_is_far[3];
    for (int a = 0; a < 3; ++a)
        upper_is_far[a] = rt::far_child_is_upper(packet.direction[a][0]);

    Packet_Stack_Entry stack[rt::walk_stack_size];
    int depth = 0;
    float4 tnear = simd::max_or_bound(stretch.tnear, float4(0.0f));
    float4 tfar = stretch.tfar;
    mask4 active(true);
    mask4 done(false);
    uint32_t node = 0;
    for (;;) {
        const RAYTR::KdTreeNode* n = &tree.nodes[node];
        while (!RAYTR::kd_is_leaf(*n)) {
            const int a = RAYTR::kd_axis(*n);
            const uint32_t lower = RAYTR::kd_left_child(*n);
            const uint32_t far_child = lower + upper_is_far[a];
            const uint32_t near_child = lower + 1u - upper_is_far[a];
            const float4 t = rt::split_distance(RAYTR::kd_split_position(*n), rays.origin[a], rays.inv[a]);
            if (simd::none(andnot(active, t < tnear))) {
                node = far_child;
            } else if (simd::none(andnot(active, tfar <= t))) {
                node = near_child;
            } else {
                // Enqueue the far child for the lanes active now.
                stack[depth].tfar = tfar;
                stack[depth].active = active;
                stack[depth].node = far_child;
                ++depth;
                active = active & (tnear < t);
                tfar = simd::select(t < tfar, t, tfar);
                node = near_child;
            }
            n = &tree.nodes[node];
        }

        // An empty leaf settles nothing.
        if (RAYTR::kd_leaf_offset(*n) >= 0)
            done = done | leaf_test(node, rays, active, tfar);
        if (depth == 0 || simd::all(done))
            return simd::movemask(done);
        tnear = simd::select(andnot(active, done), tfar, tnear);
        --depth;
        tfar = stack[depth].tfar;
        active = andnot(stack[depth].active, done);
        node = stack[depth].node;
    }
}

// A packet walked as one when its directions share an octant and all four
// rays enter the tree, ray by ray otherwise.
template <class Leaf_Test, class Ray_Walk>
unsigned trace(const Packet_Tree& tree, const Ray_Packet& packet, CPU_Ray_Tracer::Frame_Stats& stats,
               Leaf_Test& leaf_test, const Ray_Walk& ray_walk)
{
    ++stats.packets;
    if (tree.view.node_count == 0)
        return 0;
    const Packet_Rays rays(packet);

    // Coherent: on every axis the four sign bits agree.
    bool coherent = true;
    for (int a = 0; a < 3; ++a) {
        const int signs = simd::sign_bits(rays.direction[a]);
        coherent = coherent && (signs == 0 || signs == all_lanes);
    }
    if (coherent) {
        const rt::Box_Stretch<float4> stretch = rt::slab_stretch<float4>(tree.view.world_box, rays.origin, rays.inv);
        const int entering = simd::movemask(rt::meets_box(stretch));
        // The packet walk needs all four rays inside the tree; a packet of
        // which only some enter goes ray by ray below.
        if (entering == all_lanes) {
            ++stats.coherent_packets;
            return static_cast<unsigned>(walk_packet(tree.view, packet, rays, stretch, leaf_test));
        }
        if (entering == 0) {
            ++stats.coherent_packets;
            return 0;
        }
    }

    unsigned mask = 0;
    for (int k = 0; k < 4; ++k)
        if (ray_walk(k))
            mask |= 1u << k;
    return mask;
}

} // namespace

rt::Tree_View tree_view(const Common_Graphics_Engine& engine)
{
    const RAYTR::KdTree* kd_tree = engine.KdTreeData();
    rt::Tree_View view;
    view.nodes = kd_tree ? kd_tree->nodes : nullptr;
    view.node_count = kd_tree ? kd_tree->node_count : 0;
    if (kd_tree)
        view.world_box = kd_tree->world_box;
    view.obj_list = kd_tree ? kd_tree->obj_list_data : nullptr;
    view.vertices = engine.Vertices();
    view.scale = kd_tree ? rt::box_scale(kd_tree->world_box) : 0.0f;
    return view;
}

Packet_Tree packet_tree(const CPU_Ray_Tracer& engine)
{
    Packet_Tree tree;
    tree.view = tree_view(engine);
    const Leaf_Blocks* blocks = engine.LeafBlocks();
    tree.blocks = blocks != nullptr && blocks->made_for(tree.view) ? blocks : nullptr;
    return tree;
}

unsigned kd_tree_traverse_packet(const Packet_Tree& tree, const Ray_Packet& packet, Hit hits[4])
{
    if (tree.view.node_count == 0)
        return 0;
    const Packet_Rays rays(packet);
    const rt::Box_Stretch<float4> stretch = rt::slab_stretch<float4>(tree.view.world_box, rays.origin, rays.inv);
    if (simd::movemask(rt::meets_box(stretch)) != all_lanes)
        return 0;
    Nearest_Hit nearest{tree, hits};
    const unsigned done = static_cast<unsigned>(walk_packet(tree.view, packet, rays, stretch, nearest));
    nearest.fill_hits(done);
    return done;
}

unsigned trace_packet(const Packet_Tree& tree, const Ray_Packet& packet, Hit hits[4],
                      CPU_Ray_Tracer::Frame_Stats& stats)
{
    Nearest_Hit nearest{tree, hits};
    const unsigned done = trace(tree, packet, stats, nearest, [&](int k) {
        return rt::traverse_ray(tree.view, lane_ray(packet, k), &hits[k]) != 0;
    });
    nearest.fill_hits(done);
    return done;
}

unsigned trace_shadow_packet(const Packet_Tree& tree, const Ray_Packet& packet, CPU_Ray_Tracer::Frame_Stats& stats)
{
    Any_Hit any{tree};
    return trace(tree, packet, stats, any, [&](int k) {
        Hit hit;
        return rt::traverse_ray(tree.view, lane_ray(packet, k), &hit) != 0;
    });
}

} // namespace cpu
} // namespace koru
