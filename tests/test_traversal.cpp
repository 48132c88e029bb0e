// The kd-tree walks of the CPU tracer on built scenes: both against brute
// force over all triangles, the packet walk against the single-ray walk (wide
// packets, large leaves and ties included), and rays that start inside the
// tree or run parallel to a slab.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "cpu_test_support.h"
#include "traversal_test_support.h"
#include "simd/simd.h"
#include "cpu/lone_rays.h"

using namespace cpu_test;
using namespace traversal_test;
using koru::rt::intersect_box;
using koru::rt::intersect_triangle;

namespace {

struct Brute_Hit {
    bool found = false;
    float pos[3] = {0, 0, 0};
    bool ambiguous = false; // near an edge, or two candidates at almost the same distance
};

Brute_Hit brute_force(const Test_Tracer& engine, const Ray4& ray)
{
    Brute_Hit best;
    float best_d2 = 1e38f;
    std::vector<float> candidates;
    bool near_edge = false;
    const Vertex* v = engine.Vertices();
    const unsigned* idx = engine.Indices();
    for (int k = 0; k + 2 < engine.IndexCount(); k += 3) {
        float w[3];
        const V4 &a = v[idx[k]].pos, &b = v[idx[k + 1]].pos, &c = v[idx[k + 2]].pos;
        if (!intersect_triangle(ray, a, b, c, w))
            continue;
        const V4 p = (a * w[0] + b * w[1]) + c * w[2];
        const V4 d = p - ray.pos;
        const float d2 = TAU_MATH::Dot3(d, d);
        if (d2 < 1e-8f || !(TAU_MATH::Dot3(ray.dir, d) > 1e-8f))
            continue;
        candidates.push_back(d2);
        near_edge = near_edge || std::fmin(w[0], std::fmin(w[1], w[2])) < 2e-4f;
        if (d2 <= best_d2) {
            best_d2 = d2;
            best.found = true;
            for (int i = 0; i < 3; ++i)
                best.pos[i] = p[i];
        }
    }
    int close = 0;
    for (float d2 : candidates)
        close += std::fabs(d2 - best_d2) <= 1e-4f * best_d2;
    best.ambiguous = near_edge || close > 1;
    return best;
}

} // namespace

// ---------------------------------------------------------------------------
// Properties on random scenes.

TEST(TraversalRandom, SingleRayWalkFindsTheBruteForceHit)
{
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int compared = 0, hits = 0;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        Test_Tracer engine;
        build_random(engine, seed, 100 * static_cast<int>(seed));
        std::mt19937 rng(seed + 100);
        for (int i = 0; i < 3000; ++i) {
            // Origins both inside and outside the scene's box.
            const Ray4 ray = make_ray(6.0f * unit(rng), 5.0f * unit(rng), 6.0f * unit(rng), unit(rng), unit(rng),
                                      unit(rng));
            const Brute_Hit expected = brute_force(engine, ray);
            if (expected.ambiguous)
                continue;
            RAYTR::Hit hit;
            const unsigned result = kd_tree_traverse(engine, ray, &hit);
            ASSERT_EQ(result, expected.found ? 0xFFFFFFFFu : 0u) << "seed " << seed << " ray " << i;
            if (expected.found) {
                ASSERT_EQ(0, std::memcmp(hit.pos, expected.pos, sizeof hit.pos)) << "seed " << seed << " ray " << i;
                ++hits;
            }
            ++compared;
        }
        engine.Release();
    }
    EXPECT_GT(compared, 11000);
    EXPECT_GT(hits, 2000); // the rays do meet the scenes
}

// Packets of four nearby rays (one octant) walked as one give exactly what
// the four single-ray walks give.
TEST(TraversalRandom, PacketWalkAgreesWithSingleRays)
{
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int coherent = 0, lanes_hit = 0;
    for (unsigned seed = 5; seed <= 8; ++seed) {
        Test_Tracer engine;
        build_random(engine, seed, 150);
        const koru::cpu::Packet_Tree tree = tree_view(engine);
        std::mt19937 rng(seed);
        for (int i = 0; i < 2000; ++i) {
            const float spread = i % 2 ? 0.02f : 0.3f;
            const float ox = 2.0f * unit(rng), oy = 2.0f * unit(rng), oz = 9.0f + unit(rng);
            const float dx = 0.4f * unit(rng), dy = 0.3f * unit(rng);
            Ray4 rays[4];
            for (int k = 0; k < 4; ++k) {
                // Same signs as lane 0, on every axis.
                const float jx = dx + spread * unit(rng), jy = dy + spread * unit(rng);
                rays[k] = make_ray(ox + 0.05f * unit(rng), oy + 0.05f * unit(rng), oz,
                                   k ? std::copysign(jx, rays[0].dir[0]) : jx,
                                   k ? std::copysign(jy, rays[0].dir[1]) : jy, -1.0f);
            }
            const Ray_Packet packet = packet_of(rays);
            alignas(16) RAYTR::Hit hits[4];
            CPU_Ray_Tracer::Frame_Stats stats;
            const unsigned mask = koru::cpu::trace_packet(tree, packet, hits, stats);
            coherent += stats.coherent_packets > 0;
            for (int k = 0; k < 4; ++k) {
                RAYTR::Hit single;
                const bool single_hit = kd_tree_traverse(engine, koru::cpu::lane_ray(packet, k), &single) != 0;
                ASSERT_EQ(((mask >> k) & 1u) != 0, single_hit) << "seed " << seed << " packet " << i << " lane " << k;
                if (single_hit) {
                    expect_same_hit(hits[k], single);
                    ++lanes_hit;
                }
            }
        }
        engine.Release();
    }
    EXPECT_GT(coherent, 4000); // most packets took the packet walk
    EXPECT_GT(lanes_hit, 4000);
}

// A tangle of triangles that cross the whole scene leaves no split worth
// making, so its leaves hold hundreds of triangles (more than 255 in one),
// and pairs of coincident triangles make ties.
namespace {
void build_tangle(Test_Tracer& engine, std::mt19937& rng)
{
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    engine.Init(8, 8);
    for (int m = 0; m < 2; ++m)
        engine.AddMaterial(make_material(0.1f, 0.5f, 0.2f, 10.0f));
    std::vector<Vertex> vertices;
    for (int t = 0; t < 400; ++t)
        for (int k = 0; k < 3; ++k)
            vertices.push_back(make_vertex(2.0f * unit(rng), 2.0f * unit(rng), 2.0f * unit(rng)));
    // The same triangles once more, in the other material: exact ties.
    for (int v = 0; v < 3 * 60; ++v) {
        Vertex twin = vertices[static_cast<std::size_t>(v)];
        twin.material_id = 1;
        vertices.push_back(twin);
    }
    std::vector<unsigned> indices(vertices.size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = static_cast<unsigned>(i);
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
    testing::internal::CaptureStderr();
    engine.BuildKdTree();
    testing::internal::GetCapturedStderr();
}
} // namespace

// The packet walk over the tangle's leaf blocks still gives each lane the
// single-ray walk's hit, the later triangle of a tie included, and the shadow
// walk the same mask.
TEST(TraversalRandom, LargeLeavesAndTiesAgreeWithSingleRays)
{
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    Test_Tracer engine;
    build_tangle(engine, rng);
    const koru::cpu::Packet_Tree tree = tree_view(engine);
    ASSERT_NE(tree.blocks, nullptr);
    unsigned largest = 0;
    for (uint32_t n = 0; n < tree.view.node_count; ++n)
        if (RAYTR::kd_is_leaf(tree.view.nodes[n]) && RAYTR::kd_leaf_offset(tree.view.nodes[n]) >= 0)
            largest = std::max(largest, RAYTR::kd_record_triangle_count(tree.view.obj_list +
                                                                        RAYTR::kd_leaf_offset(tree.view.nodes[n])));
    EXPECT_GT(largest, 255u);

    int lanes_hit = 0, ties_won_by_later = 0;
    for (int i = 0; i < 3000; ++i) {
        // Half the packets start inside the tangle, inside blocks' boxes.
        const float ox = 0.5f * unit(rng), oy = 0.5f * unit(rng), oz = i % 2 ? 5.0f : 0.5f * unit(rng);
        Ray4 rays[4];
        for (int k = 0; k < 4; ++k) {
            const float jx = 0.3f * unit(rng), jy = 0.3f * unit(rng);
            rays[k] = make_ray(ox, oy, oz, k ? std::copysign(jx, rays[0].dir[0]) : jx,
                               k ? std::copysign(jy, rays[0].dir[1]) : jy, -1.0f);
            // Unit-length directions, as the walks need.
            rays[k].dir = TAU_MATH::Normalize(rays[k].dir);
        }
        const Ray_Packet packet = packet_of(rays);
        alignas(16) RAYTR::Hit hits[4];
        CPU_Ray_Tracer::Frame_Stats stats, shadow_stats;
        const unsigned mask = koru::cpu::trace_packet(tree, packet, hits, stats);
        EXPECT_EQ(koru::cpu::trace_shadow_packet(tree, packet, shadow_stats), mask) << "packet " << i;
        for (int k = 0; k < 4; ++k) {
            RAYTR::Hit single;
            const bool single_hit = kd_tree_traverse(engine, koru::cpu::lane_ray(packet, k), &single) != 0;
            ASSERT_EQ(((mask >> k) & 1u) != 0, single_hit) << "packet " << i << " lane " << k;
            if (single_hit) {
                expect_same_hit(hits[k], single);
                ++lanes_hit;
                ties_won_by_later += hits[k].material_id == 1;
            }
        }
    }
    EXPECT_GT(lanes_hit, 8000);
    EXPECT_GT(ties_won_by_later, 200);
    engine.Release();
}

// A lone ray tested against a leaf's blocks, four triangles at a time, finds
// the hit of the record-order leaf test: the same distance, the later
// triangle of a tie (the twins are in the other material), and it is
// occluded exactly when that hit lies within the stretch.
TEST(TraversalRandom, LoneRayLeafTestAgreesWithTheRecordOrderTest)
{
    using F = koru::simd::float4;
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    Test_Tracer engine;
    build_tangle(engine, rng);
    const koru::cpu::Packet_Tree tree = tree_view(engine);
    ASSERT_NE(tree.blocks, nullptr);
    const koru::cpu::Leaf_Blocks& blocks = *tree.blocks;
    std::vector<uint32_t> leaves;
    for (uint32_t n = 0; n < tree.view.node_count; ++n)
        if (RAYTR::kd_is_leaf(tree.view.nodes[n]) && RAYTR::kd_leaf_offset(tree.view.nodes[n]) >= 0)
            leaves.push_back(n);
    ASSERT_FALSE(leaves.empty());

    int hits = 0, later_twins = 0, occluded = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t node = leaves[static_cast<std::size_t>(i) % leaves.size()];
        // Aim at a corner of the leaf's record, often a twin's.
        const unsigned char* record = tree.view.obj_list + RAYTR::kd_leaf_offset(tree.view.nodes[node]);
        const uint32_t n_triangles = RAYTR::kd_record_triangle_count(record);
        const uint32_t* corners = RAYTR::kd_record_triangles(record) + 3 * (static_cast<uint32_t>(i) % n_triangles);
        float target[3];
        for (int a = 0; a < 3; ++a)
            target[a] = (engine.Vertices()[corners[0]].pos[a] + engine.Vertices()[corners[1]].pos[a] +
                         engine.Vertices()[corners[2]].pos[a]) / 3.0f + 0.02f * unit(rng);
        Ray4 ray = make_ray(3.0f * unit(rng), 3.0f * unit(rng), 3.0f * unit(rng), 0.0f, 0.0f, 1.0f);
        for (int a = 0; a < 3; ++a)
            ray.dir[a] = target[a] - ray.pos[a];
        ray.dir = TAU_MATH::Normalize(ray.dir);

        RAYTR::Hit expected;
        const float dist = koru::rt::intersect_leaf(ray, tree.view.nodes[node], tree.view.obj_list,
                                                    engine.Vertices(), &expected);
        const F origin[3] = {F(ray.pos[0]), F(ray.pos[1]), F(ray.pos[2])};
        const F dir[3] = {F(ray.dir[0]), F(ray.dir[1]), F(ray.dir[2])};
        koru::cpu::Lone_Hit lone;
        koru::cpu::lone_nearest<F>(blocks, node, origin, dir, lone);
        const float tfar = 2.0f;
        const bool expect_occluded = koru::rt::hit_in_leaf(dist, tfar, tree.view.scale);
        ASSERT_EQ(koru::cpu::lone_occluded<F>(blocks, node, origin, dir, tfar, tree.view.scale), expect_occluded)
            << "ray " << i;
        occluded += expect_occluded;
        if (dist >= koru::rt::no_hit_distance) {
            EXPECT_EQ(lone.triangle, koru::cpu::no_triangle) << "ray " << i;
            continue;
        }
        ASSERT_NE(lone.triangle, koru::cpu::no_triangle) << "ray " << i;
        EXPECT_EQ(std::sqrt(lone.best), dist) << "ray " << i;
        RAYTR::Hit found;
        koru::rt::fill_hit(engine.Vertices(), blocks.corners(lone.triangle), 1.0f - lone.u - lone.v, lone.u, lone.v,
                           &found);
        expect_same_hit(found, expected);
        ++hits;
        later_twins += expected.material_id == 1;
    }
    EXPECT_GT(hits, 15000);
    EXPECT_GT(later_twins, 1000);
    EXPECT_GT(occluded, 5000);
    engine.Release();
}

// The leaves' blocks come out the same, byte for byte, whether one thread
// makes them or several share the leaves out.
TEST(TraversalRandom, LeafBlocksAreTheSameOnAnyNumberOfThreads)
{
    Test_Tracer engine;
    testing::internal::CaptureStderr();
    build_random(engine, 29, 20000);
    testing::internal::GetCapturedStderr();
    const koru::rt::Tree_View view = tree_view(engine).view;
    const auto one = koru::cpu::make_leaf_blocks(view, 1);
    const auto three = koru::cpu::make_leaf_blocks(view, 3);
    ASSERT_GT(view.node_count, 3u * 4096u); // more than one share for each thread
    ASSERT_EQ(one->node_start.size(), three->node_start.size());
    const auto bytes = [](const auto* first, std::size_t count) {
        const auto* p = reinterpret_cast<const unsigned char*>(first);
        return std::vector<unsigned char>(p, p + count * sizeof *first);
    };
    EXPECT_EQ(bytes(one->node_start.data(), one->node_start.size()),
              bytes(three->node_start.data(), three->node_start.size()));
    const std::size_t n_blocks = one->node_start.back().block, n_groups = one->node_start.back().group;
    ASSERT_GT(n_groups, 0u);
    const auto same_box = [](const RAYTR::KdTreeBox& a, const RAYTR::KdTreeBox& b) {
        return std::memcmp(&a.min, &b.min, sizeof a.min) == 0 && std::memcmp(&a.max, &b.max, sizeof a.max) == 0;
    };
    for (std::size_t g = 0; g < n_groups; ++g) {
        const koru::cpu::Block_Group &a = one->groups[g], &b = three->groups[g];
        ASSERT_TRUE(same_box(a.box, b.box) && a.first == b.first && a.count == b.count) << "group " << g;
    }
    for (std::size_t k = 0; k < n_blocks; ++k)
        ASSERT_TRUE(same_box(one->blocks[k].box, three->blocks[k].box) && one->blocks[k].count == three->blocks[k].count)
            << "block " << k;
    const std::size_t n_floats = (n_blocks + koru::cpu::Leaf_Blocks::padding_blocks) * koru::cpu::Leaf_Blocks::block_floats;
    EXPECT_EQ(bytes(one->slots.get(), n_floats), bytes(three->slots.get(), n_floats));
    EXPECT_EQ(bytes(one->corner_offsets.get(), n_blocks * koru::cpu::Leaf_Blocks::block_size),
              bytes(three->corner_offsets.get(), n_blocks * koru::cpu::Leaf_Blocks::block_size));
    engine.Release();
}

// Packets of eight and of sixteen give, lane by lane, what their packets of
// four give: the hit mask, the hits and the shadow mask, over random scenes
// and a tangle of large leaves, for packets that walk as one and for packets
// whose parts head into different octants or start inside and outside the
// scene.
TEST(TraversalRandom, WidePacketsAgreeWithPacketsOfFour)
{
#if KORU_SIMD_WIDE
    if (koru::simd::widest_lanes() < 8)
        GTEST_SKIP() << "this processor has no AVX2";
    const bool wider = koru::simd::widest_lanes() >= 16;
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int walked_as_one = 0, lanes_hit = 0;
    for (unsigned seed = 30; seed <= 32; ++seed) {
        Test_Tracer engine;
        std::mt19937 scene_rng(seed);
        if (seed == 32)
            build_tangle(engine, scene_rng); // leaves of hundreds of triangles
        else
            build_random(engine, seed, 150);
        const koru::cpu::Packet_Tree tree = tree_view(engine);
        std::mt19937 rng(seed), own_rng(seed + 1000);
        for (int i = 0; i < 1000; ++i) {
            const float spread = i % 3 == 0 ? 0.02f : 0.3f;
            const float ox = 2.0f * unit(rng), oy = 2.0f * unit(rng), oz = i % 5 == 0 ? unit(rng) : 9.0f;
            const float dx = 0.4f * unit(rng), dy = 0.3f * unit(rng);
            Ray_Packet_Of<16> rays;
            for (int k = 0; k < 16; ++k) {
                float jx = dx + spread * unit(rng), jy = dy + spread * unit(rng);
                if (i % 4 != 0 && k > 0) { // else the octants may differ
                    jx = std::copysign(jx, rays.direction[0][0]);
                    jy = std::copysign(jy, rays.direction[1][0]);
                }
                Ray4 ray = make_ray(ox + 0.05f * unit(rng), oy + 0.05f * unit(rng), oz, jx, jy, -1.0f);
                ray.dir = TAU_MATH::Normalize(ray.dir);
                koru::cpu::set_lane(rays, k, ray);
            }
            CPU_Ray_Tracer::Frame_Stats stats;
            alignas(16) RAYTR::Hit quad_hits[16], wide_hits[16], wider_hits[16];
            unsigned quad_mask = 0, quad_shadow = 0, wide_mask = 0, wide_shadow = 0;
            for (int q = 0; q < 4; ++q) {
                Ray_Packet quad;
                for (int k = 0; k < 4; ++k)
                    koru::cpu::set_lane(quad, k, koru::cpu::lane_ray(rays, 4 * q + k));
                quad_mask |= koru::cpu::trace_packet(tree, quad, quad_hits + 4 * q, stats) << (4 * q);
                quad_shadow |= koru::cpu::trace_shadow_packet(tree, quad, stats) << (4 * q);
            }
            for (int h = 0; h < 2; ++h) {
                Ray_Packet_Of<8> wide;
                for (int k = 0; k < 8; ++k)
                    koru::cpu::set_lane(wide, k, koru::cpu::lane_ray(rays, 8 * h + k));
                CPU_Ray_Tracer::Frame_Stats wide_stats;
                wide_mask |= koru::cpu::trace_packet(tree, wide, wide_hits + 8 * h, wide_stats) << (8 * h);
                walked_as_one += wide_stats.coherent_packets == 2 && wide_stats.packets == 2;
                wide_shadow |= koru::cpu::trace_shadow_packet(tree, wide, stats) << (8 * h);
            }
            ASSERT_EQ(wide_mask, quad_mask) << "seed " << seed << " packet " << i;
            EXPECT_EQ(wide_shadow, quad_shadow) << "packet " << i;
            unsigned wider_mask = quad_mask;
            if (wider) {
                wider_mask = koru::cpu::trace_packet(tree, rays, wider_hits, stats);
                ASSERT_EQ(wider_mask, quad_mask) << "seed " << seed << " packet " << i;
                EXPECT_EQ(koru::cpu::trace_shadow_packet(tree, rays, stats), quad_shadow) << "packet " << i;
            }
            // A few own lanes, the rest only keeping the packet coherent,
            // give those lanes' answers of the whole packet (of sixteen, or
            // of the first eight without AVX-512).
            const unsigned own = own_rng() & own_rng() & (wider ? 0xFFFFu : 0xFFu);
            alignas(16) RAYTR::Hit own_hits[16];
            unsigned own_mask, own_shadow;
            if (wider) {
                own_mask = koru::cpu::trace_packet(tree, rays, own_hits, stats, own);
                own_shadow = koru::cpu::trace_shadow_packet(tree, rays, stats, own);
            } else {
                Ray_Packet_Of<8> first;
                for (int k = 0; k < 8; ++k)
                    koru::cpu::set_lane(first, k, koru::cpu::lane_ray(rays, k));
                own_mask = koru::cpu::trace_packet(tree, first, own_hits, stats, own);
                own_shadow = koru::cpu::trace_shadow_packet(tree, first, stats, own);
            }
            ASSERT_EQ(own_mask, quad_mask & own) << "seed " << seed << " packet " << i;
            EXPECT_EQ(own_shadow, quad_shadow & own) << "packet " << i;
            for (int k = 0; k < 16; ++k)
                if (quad_mask & (1u << k)) {
                    expect_same_hit(wide_hits[k], quad_hits[k]);
                    if (wider)
                        expect_same_hit(wider_hits[k], quad_hits[k]);
                    if (own_mask & (1u << k))
                        expect_same_hit(own_hits[k], quad_hits[k]);
                    ++lanes_hit;
                }
        }
        engine.Release();
    }
    EXPECT_GT(walked_as_one, 3500);
    EXPECT_GT(lanes_hit, 18000);
#else
    GTEST_SKIP() << "this build has no lanes wider than four";
#endif
}

// ---------------------------------------------------------------------------
// Edge cases on built scenes.

TEST(TraversalEdge, OriginInsideTheBoxAndRaysPointingAway)
{
    Test_Tracer engine;
    engine.Init(4, 4);
    engine.AddMaterial(make_material(0.1f, 0.1f, 0.1f, 1.0f));
    std::vector<Vertex> vertices;
    std::vector<unsigned> indices;
    add_wall(vertices, indices, -2.0f, 0.0f, 0.0f, 1.0f);
    add_wall(vertices, indices, 2.0f, 0.0f, 0.0f, 1.0f);
    engine.AddTriangles(vertices.data(), 6, indices.data(), 6);
    engine.BuildKdTree();

    RAYTR::Hit hit;
    ASSERT_EQ(kd_tree_traverse(engine, make_ray(0.5f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f), &hit), 0xFFFFFFFFu);
    EXPECT_FLOAT_EQ(hit.pos[0], 2.0f); // ahead, not the wall behind
    ASSERT_EQ(kd_tree_traverse(engine, make_ray(0.5f, 0.0f, 0.0f, -1.0f, 0.0f, 0.0f), &hit), 0xFFFFFFFFu);
    EXPECT_FLOAT_EQ(hit.pos[0], -2.0f);
    // Outside and heading away: the box lies behind (tfar < 0).
    EXPECT_EQ(kd_tree_traverse(engine, make_ray(5.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f), &hit), 0u);
    engine.Release();
}

TEST(TraversalEdge, SlabTestBoundsParallelRays)
{
    const RAYTR::KdTreeBox box = make_box(-1, -1, -1, 1, 1, 1);
    float tnear, tfar;
    // Parallel to x and on the slab plane x = 1: that axis bounds nothing.
    Ray4 ray = make_ray(1.0f, 0.0f, 5.0f, 0.0f, 0.0f, -1.0f);
    ASSERT_TRUE(intersect_box(ray, box, tnear, tfar));
    EXPECT_FLOAT_EQ(tnear, 4.0f);
    EXPECT_FLOAT_EQ(tfar, 6.0f);
    // Parallel and outside the slab.
    ray = make_ray(1.5f, 0.0f, 5.0f, 0.0f, 0.0f, -1.0f);
    EXPECT_FALSE(intersect_box(ray, box, tnear, tfar));
    // Inside: the entry lies behind the origin.
    ray = make_ray(0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
    ASSERT_TRUE(intersect_box(ray, box, tnear, tfar));
    EXPECT_FLOAT_EQ(tnear, -1.0f);
    EXPECT_FLOAT_EQ(tfar, 1.0f);
}
