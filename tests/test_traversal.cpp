// The kd-tree walks of the CPU tracer: both against brute force over all
// triangles, the packet walk against the single-ray walk, and the cases where
// a walk can go wrong (leaf stretches, parallel rays, deep trees, packets that
// only partly enter the tree).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "cpu_test_support.h"
#include "simd/simd.h"

using namespace cpu_test;
using koru::rt::intersect_box;
using koru::rt::intersect_leaf;
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

Ray_Packet packet_of(const Ray4 rays[4])
{
    Ray_Packet p;
    for (int k = 0; k < 4; ++k)
        koru::cpu::set_lane(p, k, rays[k]);
    return p;
}

void expect_same_hit(const RAYTR::Hit& a, const RAYTR::Hit& b)
{
    EXPECT_EQ(0, std::memcmp(a.pos, b.pos, sizeof a.pos));
    EXPECT_EQ(0, std::memcmp(a.norm, b.norm, sizeof a.norm));
    EXPECT_EQ(a.material_id, b.material_id);
}

// A random scene with its kd-tree, in a fresh engine.
void build_random(Test_Tracer& engine, unsigned seed, int n_triangles)
{
    std::mt19937 rng(seed);
    engine.Init(8, 8);
    add_random_scene(engine, rng, n_triangles, 1, nullptr, 0);
    engine.BuildKdTree();
}

// Walls facing the z axis: corners (x - s, y - s, z), (x + s, y - s, z), (x, y + s, z).
void add_z_wall(std::vector<Vertex>& vertices, float x, float y, float z, float s)
{
    for (const auto& c : {std::make_pair(-s, -s), std::make_pair(s, -s), std::make_pair(0.0f, s)}) {
        Vertex v = make_vertex(x + c.first, y + c.second, z);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        vertices.push_back(v);
    }
}

std::vector<uint32_t> record(std::initializer_list<uint32_t> triangles_first_vertex)
{
    std::vector<uint32_t> r;
    r.push_back(static_cast<uint32_t>(triangles_first_vertex.size()));
    for (uint32_t first : triangles_first_vertex)
        for (uint32_t k = 0; k < 3; ++k)
            r.push_back(first + k);
    return r;
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
        std::mt19937 rng(seed);
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
            for (int k = 0; k < 16; ++k)
                if (quad_mask & (1u << k)) {
                    expect_same_hit(wide_hits[k], quad_hits[k]);
                    if (wider)
                        expect_same_hit(wider_hits[k], quad_hits[k]);
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

// ---------------------------------------------------------------------------
// Hand-made trees: each puts a triangle where only a faulty walk finds it.

namespace {

// A hand-made tree over the given triangles, traced alone and as packets.
struct Hand_Tree {
    Array_Tree arrays;
    koru::cpu::Packet_Tree tree;

    Hand_Tree(const std::vector<Vertex>& vertices, const std::vector<RAYTR::KdTreeNode>& nodes,
              const std::vector<uint32_t>& records, const RAYTR::KdTreeBox& box)
        : arrays{nodes, records, vertices, box}, tree(arrays.tree())
    {
    }

    // Traces the ray alone and as all four lanes of a packet; both must agree.
    bool trace(const Ray4& ray, RAYTR::Hit& hit)
    {
        const bool single = koru::rt::traverse_ray(tree.view, ray, &hit) != 0;
        const Ray4 rays[4] = {ray, ray, ray, ray};
        alignas(16) RAYTR::Hit hits[4];
        const unsigned mask = koru::cpu::kd_tree_traverse_packet(tree, packet_of(rays), hits);
        EXPECT_EQ(mask, single ? 0xFu : 0u);
        if (single && mask == 0xFu)
            for (int k = 0; k < 4; ++k)
                expect_same_hit(hits[k], hit);
        return single;
    }
};

} // namespace

// A ray with a zero x component that runs beside the split plane x = 0 sees
// only its own side. The upper leaf holds a decoy in the ray's path that only
// a walk into the wrong child finds. Both signs of zero.
TEST(TraversalHandTree, RayParallelToSplitVisitsOnlyItsSide)
{
    std::vector<Vertex> vertices;
    add_z_wall(vertices, -1.0f, 0.0f, -3.0f, 0.5f); // vertices 0-2: in the lower leaf, at z = -3
    add_z_wall(vertices, -1.0f, 0.0f, 0.0f, 0.5f);  // vertices 3-5: decoy, listed only in the upper leaf
    std::vector<uint32_t> records = record({0});
    const int32_t upper_offset = static_cast<int32_t>(records.size() * 4);
    for (uint32_t w : record({3}))
        records.push_back(w);
    Hand_Tree t(vertices, {inner_node(0, 0.0f, 1), leaf_node(0), leaf_node(upper_offset)}, records,
                make_box(-4, -4, -4, 4, 4, 4));

    for (float zero : {0.0f, -0.0f}) {
        SCOPED_TRACE(std::signbit(zero) ? "-0" : "+0");
        Ray4 ray = make_ray(-1.0f, 0.0f, 5.0f, 0.0f, 0.0f, -1.0f);
        ray.dir[0] = zero;
        RAYTR::Hit hit;
        ASSERT_TRUE(t.trace(ray, hit));
        EXPECT_FLOAT_EQ(hit.pos[2], -3.0f);
    }
}

// A ray lying in the split plane walks on: the triangle that crosses the
// plane (listed in both leaves) is found.
TEST(TraversalHandTree, RayInTheSplitPlaneFindsTheCrossingTriangle)
{
    std::vector<Vertex> vertices;
    add_z_wall(vertices, 0.0f, 0.0f, -3.0f, 0.5f);
    const std::vector<uint32_t> records = record({0});
    Hand_Tree t(vertices, {inner_node(0, 0.0f, 1), leaf_node(0), leaf_node(0)}, records,
                make_box(-4, -4, -4, 4, 4, 4));
    RAYTR::Hit hit;
    ASSERT_TRUE(t.trace(make_ray(0.0f, 0.0f, 5.0f, 0.0f, 0.0f, -1.0f), hit));
    EXPECT_FLOAT_EQ(hit.pos[2], -3.0f);
}

// A slanted triangle spans both leaves of the split x = 0 but meets the ray
// at x = 2; the lower leaf must not take that hit (it lies beyond the leaf's
// exit) and the nearer wall at x = 1 in the upper leaf wins.
TEST(TraversalHandTree, HitBeyondTheLeafIsNotTakenThere)
{
    std::vector<Vertex> vertices;
    vertices.push_back(make_vertex(-1.0f, -3.0f, -4.5f)); // plane z = 1.5 (x - 2)
    vertices.push_back(make_vertex(-1.0f, 3.0f, -4.5f));
    vertices.push_back(make_vertex(3.0f, 0.0f, 1.5f));
    std::vector<unsigned> unused;
    add_wall(vertices, unused, 1.0f, 0.0f, 0.0f, 1.0f); // vertices 3-5
    std::vector<uint32_t> records = record({0});
    const int32_t upper_offset = static_cast<int32_t>(records.size() * 4);
    for (uint32_t w : record({0, 3}))
        records.push_back(w);
    Hand_Tree t(vertices, {inner_node(0, 0.0f, 1), leaf_node(0), leaf_node(upper_offset)}, records,
                make_box(-5, -5, -5, 5, 5, 5));
    RAYTR::Hit hit;
    ASSERT_TRUE(t.trace(make_ray(-3.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f), hit));
    EXPECT_FLOAT_EQ(hit.pos[0], 1.0f);
    // From the other side the slanted triangle is nearest and found in the upper leaf.
    ASSERT_TRUE(t.trace(make_ray(4.0f, 0.0f, 0.0f, -1.0f, 0.0f, 0.0f), hit));
    EXPECT_FLOAT_EQ(hit.pos[0], 2.0f);
}

// Twenty nested splits (the builder's depth limit) that a ray along x crosses
// one after another: every level defers its upper child, so the walk fills its
// stack of twenty and unwinds it all to reach the only triangle, in the root's
// upper child.
TEST(TraversalHandTree, MaximumDepthTreeUsesTheWholeStack)
{
    std::vector<Vertex> vertices;
    std::vector<unsigned> unused;
    add_wall(vertices, unused, 0.75f, 0.0f, 0.0f, 1.0f);
    const std::vector<uint32_t> records = record({0});

    std::vector<RAYTR::KdTreeNode> nodes(2 * RAYTR::kd_max_depth + 1);
    float split = 0.5f;
    uint32_t inner = 0;
    for (int depth = 0; depth < RAYTR::kd_max_depth; ++depth) {
        const uint32_t lower = 1 + 2 * static_cast<uint32_t>(depth);
        nodes[inner] = inner_node(0, split, lower);
        nodes[lower + 1] = leaf_node(depth == 0 ? 0 : -1);
        nodes[lower] = leaf_node(-1); // replaced by the next level's inner node
        inner = lower;
        split *= 0.5f;
    }
    Hand_Tree t(vertices, nodes, records, make_box(0, -1, -1, 1, 1, 1));

    RAYTR::Hit hit;
    ASSERT_TRUE(t.trace(make_ray(-1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f), hit));
    EXPECT_FLOAT_EQ(hit.pos[0], 0.75f);

    // Four different lanes, each leaving at the same deep leaf.
    const Ray4 rays[4] = {make_ray(-1.0f, 0.01f, 0.01f, 1.0f, 0.0f, 0.0f), make_ray(-1.0f, -0.01f, 0.01f, 1.0f, 0.0f, 0.0f),
                          make_ray(-1.0f, 0.01f, -0.01f, 1.0f, 0.0f, 0.0f),
                          make_ray(-1.0f, -0.02f, -0.01f, 1.0f, 0.0f, 0.0f)};
    alignas(16) RAYTR::Hit hits[4];
    ASSERT_EQ(koru::cpu::kd_tree_traverse_packet(t.tree, packet_of(rays), hits), 0xFu);
    for (int k = 0; k < 4; ++k) {
        EXPECT_FLOAT_EQ(hits[k].pos[0], 0.75f);
        EXPECT_NEAR(hits[k].pos[1], rays[k].pos[1], 1e-6f);
    }
}

// A packet whose x directions mix signs (a block across the view axis) is
// traced ray by ray, with the single-ray answers.
TEST(TraversalPacket, MixedSignsGoRayByRay)
{
    Test_Tracer engine;
    build_random(engine, 21, 200);
    const koru::cpu::Packet_Tree tree = tree_view(engine);
    const Ray4 rays[4] = {make_ray(0, 0, 10, -0.01f, -0.01f, -1.0f), make_ray(0, 0, 10, 0.01f, -0.01f, -1.0f),
                          make_ray(0, 0, 10, -0.01f, 0.01f, -1.0f), make_ray(0, 0, 10, 0.01f, 0.01f, -1.0f)};
    alignas(16) RAYTR::Hit hits[4];
    CPU_Ray_Tracer::Frame_Stats stats;
    const unsigned mask = koru::cpu::trace_packet(tree, packet_of(rays), hits, stats);
    EXPECT_EQ(stats.packets, 1u);
    EXPECT_EQ(stats.coherent_packets, 0u);
    for (int k = 0; k < 4; ++k) {
        RAYTR::Hit single;
        const unsigned result = kd_tree_traverse(engine, rays[k], &single);
        ASSERT_EQ((mask >> k) & 1u, result & 1u) << k;
        if (result)
            expect_same_hit(hits[k], single);
    }
    engine.Release();
}

// A coherent packet in which one lane misses the world box, or only touches
// its edge (tfar = tnear): the lanes that do enter still get their hits. The
// packet walk alone takes the four rays in together or not at all; a ray that
// touches the box counts as entering it (a flat scene has a box without
// thickness).
TEST(TraversalPacket, PartlyMissingPacketKeepsTheOtherLanesHits)
{
    std::vector<Vertex> vertices;
    for (const auto& c : {std::make_pair(-1.0f, -1.0f), std::make_pair(1.0f, -1.0f), std::make_pair(1.0f, 1.0f),
                          std::make_pair(-1.0f, 1.0f)}) {
        Vertex v = make_vertex(0.0f, c.first, c.second); // the wall x = 0
        v.norm = V4(-1.0f, 0.0f, 0.0f, 0.0f);
        vertices.push_back(v);
    }
    // Two triangles in one leaf: records hold the count, then the corners.
    const Array_Tree arrays{{leaf_node(0)}, {2, 0, 1, 2, 0, 2, 3}, vertices, make_box(-1, -1, -1, 1, 1, 1)};
    const koru::cpu::Packet_Tree tree = arrays.tree();
    CPU_Ray_Tracer::Frame_Stats stats;

    const float s = 0.70710677f;
    Ray4 entering[3];
    const float origins[3][3] = {{-1.5f, -1.0f, -0.2f}, {-1.5f, -1.1f, 0.0f}, {-1.5f, -0.9f, 0.2f}};
    for (int k = 0; k < 3; ++k) {
        entering[k].pos = V4(origins[k][0], origins[k][1], origins[k][2], 1.0f);
        entering[k].dir = V4(s, s, 0.0f, 0.0f);
    }
    Ray4 touching;
    touching.pos = V4(-2.0f, 0.0f, 0.0f, 1.0f); // meets the box only at its edge (-1, 1, z)
    touching.dir = V4(s, s, 0.0f, 0.0f);
    float tnear, tfar;
    ASSERT_TRUE(intersect_box(touching, tree.view.world_box, tnear, tfar));
    ASSERT_EQ(tnear, tfar);
    Ray4 missing = touching;
    missing.pos = V4(-2.0f, 5.0f, 0.0f, 1.0f);

    for (int variant = 0; variant < 2; ++variant) {
        const Ray4& odd = variant == 0 ? touching : missing;
        const Ray4 rays[4] = {entering[0], entering[1], odd, entering[2]};
        const Ray_Packet packet = packet_of(rays);
        alignas(16) RAYTR::Hit hits[4];
        RAYTR::Hit odd_hit;
        EXPECT_EQ(koru::rt::traverse_ray(tree.view, odd, &odd_hit), 0u);
        EXPECT_EQ(koru::cpu::trace_packet(tree, packet, hits, stats), 0xBu);
        for (int k : {0, 1, 3}) {
            RAYTR::Hit single;
            ASSERT_EQ(koru::rt::traverse_ray(tree.view, rays[k], &single), 0xFFFFFFFFu);
            expect_same_hit(hits[k], single);
            EXPECT_FLOAT_EQ(hits[k].pos[0], 0.0f);
        }
        // The packet walk alone enters with all four lanes or none.
        EXPECT_EQ(koru::cpu::kd_tree_traverse_packet(tree, packet, hits), variant == 0 ? 0xBu : 0u);
    }
    // Of the two packets, the touching one went as a packet, the missing one
    // ray by ray.
    EXPECT_EQ(stats.packets, 2u);
    EXPECT_EQ(stats.coherent_packets, 1u);
}

// ---------------------------------------------------------------------------
// Ray-triangle and the leaf test.

TEST(TraversalLeaf, LeafDistancesAndTieOrder)
{
    std::vector<Vertex> vertices;
    std::vector<unsigned> unused;
    add_wall(vertices, unused, 2.0f, 0.0f, 0.0f, 1.0f, 0);
    add_wall(vertices, unused, 2.0f, 0.0f, 0.0f, 1.0f, 1); // the same wall, another material
    add_wall(vertices, unused, 4.0f, 0.0f, 0.0f, 1.0f, 2);
    const std::vector<uint32_t> records = record({6, 0, 3});
    const Ray4 ray = make_ray(0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    RAYTR::Hit hit{};

    EXPECT_EQ(intersect_leaf(ray, leaf_node(-1), nullptr, vertices.data(), &hit), 1e38f);
    const Ray4 away = make_ray(0.0f, 0.0f, 0.0f, -1.0f, 0.0f, 0.0f);
    EXPECT_EQ(intersect_leaf(away, leaf_node(0), reinterpret_cast<const unsigned char*>(records.data()),
                             vertices.data(), &hit),
              1e19f);
    const float d = intersect_leaf(ray, leaf_node(0), reinterpret_cast<const unsigned char*>(records.data()),
                                   vertices.data(), &hit);
    EXPECT_FLOAT_EQ(d, 2.0f);
    EXPECT_EQ(hit.material_id, 1); // equal distance: the later of the two in the record
    EXPECT_EQ(hit.untextured, 0);
    EXPECT_EQ(hit.prim_id, -1);

    // Starting on the wall: nearer than 1e-4 is no hit; the farther wall is.
    const Ray4 on_wall = make_ray(2.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(intersect_leaf(on_wall, leaf_node(0), reinterpret_cast<const unsigned char*>(records.data()),
                                   vertices.data(), &hit),
                    2.0f);
    EXPECT_EQ(hit.material_id, 2);
}

// Counts above 255 come from the record's high bytes.
TEST(TraversalLeaf, RecordsWithMoreThan255Triangles)
{
    std::vector<Vertex> vertices;
    std::vector<unsigned> unused;
    const int n = 300;
    for (int i = 0; i < n; ++i)
        add_wall(vertices, unused, 100.0f - static_cast<float>(i) * 0.25f, 0.0f, 0.0f, 1.0f, i % 7);
    std::vector<uint32_t> records;
    records.push_back((static_cast<uint32_t>(n) & 0xFF) | ((static_cast<uint32_t>(n) >> 8) << 16));
    for (uint32_t i = 0; i < static_cast<uint32_t>(3 * n); ++i)
        records.push_back(i);
    RAYTR::Hit hit{};
    const float d = intersect_leaf(make_ray(0, 0, 0, 1, 0, 0), leaf_node(0),
                                   reinterpret_cast<const unsigned char*>(records.data()), vertices.data(), &hit);
    EXPECT_FLOAT_EQ(d, 100.0f - 299 * 0.25f); // the last and nearest
    EXPECT_EQ(hit.material_id, 299 % 7);
}

TEST(TraversalLeaf, TriangleTestIsTwoSidedWithTolerance)
{
    const V4 a(0, -1, -1, 1), b(0, 1, -1, 1), c(0, 0, 1, 1);
    float w[3];
    EXPECT_TRUE(intersect_triangle(make_ray(-1, 0, 0, 1, 0, 0), a, b, c, w));
    EXPECT_TRUE(intersect_triangle(make_ray(1, 0, 0, -1, 0, 0), a, b, c, w)); // the back
    EXPECT_FLOAT_EQ(w[0] + w[1] + w[2], 1.0f);
    EXPECT_FALSE(intersect_triangle(make_ray(0, 0, -5, 0, 0, 1), a, b, c, w)); // in the plane
    // Just outside the edge z = -1, within the 0.001 tolerance, and well outside it.
    EXPECT_TRUE(intersect_triangle(make_ray(-1, 0, -1.0015f, 1, 0, 0), a, b, c, w));
    EXPECT_FALSE(intersect_triangle(make_ray(-1, 0, -1.01f, 1, 0, 0), a, b, c, w));
}
