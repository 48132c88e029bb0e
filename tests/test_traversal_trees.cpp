// The kd-tree walks of the CPU tracer where a walk can go wrong, on trees
// made by hand (rays beside or in a split plane, hits beyond a leaf, the
// deepest tree), packets that mix signs or only partly enter the tree, and
// the leaf and ray-triangle tests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "cpu_test_support.h"
#include "simd/simd.h"
#include "traversal_test_support.h"

using namespace cpu_test;
using namespace traversal_test;
using koru::rt::intersect_box;
using koru::rt::intersect_leaf;
using koru::rt::intersect_triangle;

namespace {

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

namespace {

// Lanes alternating between the two rays, traced as one packet of N: the hit
// and shadow masks must be the single-ray answers lane by lane.
template <int N>
void expect_lanes_match_single_rays(const koru::cpu::Packet_Tree& tree, const Ray4& even, const Ray4& odd)
{
    SCOPED_TRACE(N);
    Ray_Packet_Of<N> packet;
    unsigned expected = 0;
    for (int k = 0; k < N; ++k) {
        const Ray4& ray = k % 2 == 0 ? even : odd;
        koru::cpu::set_lane(packet, k, ray);
        RAYTR::Hit single;
        if (koru::rt::traverse_ray(tree.view, ray, &single))
            expected |= 1u << k;
    }
    CPU_Ray_Tracer::Frame_Stats stats;
    alignas(16) RAYTR::Hit hits[N];
    EXPECT_EQ(koru::cpu::trace_packet(tree, packet, hits, stats), expected);
    EXPECT_EQ(koru::cpu::trace_shadow_packet(tree, packet, stats), expected);
    EXPECT_EQ(stats.coherent_packets, 2u * (N / 4));
}

} // namespace

// A lane whose stretch ends before a split that the rest of the packet
// crosses never visits the far child: there it would meet the tolerance band
// of a triangle that lies wholly beyond the split, which its own leaf does
// not list. The grazing ray meets the plane of the triangle (x from 5 to 10)
// at x = 4.997, inside the band, and leaves the box through its floor before
// reaching x = 5.
TEST(TraversalPacket, LaneEndingBeforeTheSplitDoesNotVisitTheFarChild)
{
    std::vector<Vertex> vertices;
    for (const auto& c : {std::make_pair(5.0f, 0.0f), std::make_pair(10.0f, 0.0f), std::make_pair(5.0f, 10.0f)}) {
        Vertex v = make_vertex(c.first, c.second, 5.0f);
        v.norm = V4(0.0f, 0.0f, 1.0f, 0.0f);
        vertices.push_back(v);
    }
    const Array_Tree arrays{{inner_node(0, 5.0f, 1), leaf_node(-1), leaf_node(0)}, record({0}), vertices,
                            make_box(0, 0, 4.99f, 10, 10, 10)};
    const koru::cpu::Packet_Tree tree = arrays.tree();
    const Ray4 crossing = make_ray(4.0f, 5.0f, 8.0f, 1.0f, 0.0f, -1.0f); // meets the triangle at x = 7
    const Ray4 grazing = make_ray(4.994f, 5.0f, 8.0f, 0.001f, 0.0f, -1.0f);
    RAYTR::Hit hit;
    ASSERT_NE(koru::rt::traverse_ray(tree.view, crossing, &hit), 0u);
    ASSERT_EQ(koru::rt::traverse_ray(tree.view, grazing, &hit), 0u);
    // The band is there: the triangle test alone accepts the grazing ray.
    float weights[3];
    ASSERT_TRUE(intersect_triangle(grazing, vertices[0].pos, vertices[1].pos, vertices[2].pos, weights));

    expect_lanes_match_single_rays<4>(tree, crossing, grazing);
#if KORU_SIMD_WIDE
    if (koru::simd::widest_lanes() >= 8)
        expect_lanes_match_single_rays<8>(tree, crossing, grazing);
    if (koru::simd::widest_lanes() >= 16)
        expect_lanes_match_single_rays<16>(tree, crossing, grazing);
#endif
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
