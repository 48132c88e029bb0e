// Kd-tree builder, step by step: the cost and split search rules against
// literal scans, the primitive wrappers and triangle-box tests, and the node
// and record format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kdtree_test_support.h"
#include "simd/simd.h"
#include "kdtree/geometry.h"
#include "kdtree/kdtree.h"

namespace {

using namespace kdtree_test;

TEST(KdTreeCost, WorkedExamples)
{
    KdTree tree;
    bool verdict = false;
    EXPECT_FLOAT_EQ(tree.SAHCost(make_box(0, 0, 0, 2, 1, 1), 1.0f, 0, 3, 1, 4, &verdict), 3.0f);
    EXPECT_TRUE(verdict);

    const float small = tree.SAHCost(make_box(0, 0, 0, 0.1f, 0.1f, 0.1f), 0.05f, 0, 5, 5, 10, &verdict);
    EXPECT_NEAR(small, 7.3333f, 1e-3f);
    EXPECT_FALSE(verdict) << "small nodes are refused although the plane separates";

    // A flat node is never split, however the plane divides it.
    tree.SAHCost(make_box(0, 0, 0, 100, 100, 0), 50.0f, 0, 1, 1, 1000, &verdict);
    EXPECT_FALSE(verdict);

    // Outside the box: the left box has a negative extent and area (-18).
    const float outside = tree.SAHCost(make_box(0, 0, 0, 10, 1, 1), -5.0f, 0, 0, 1, 1, &verdict);
    const float node_area = 2 * (10 + 10 + 1);
    EXPECT_FLOAT_EQ(outside, (62.0f * 1.5f + -18.0f * 0.5f) / node_area);
}

TEST(KdTreeCost, VerdictComparesUnroundedLeftSide)
{
    // Node area 10 and two primitives: the leaf side is 10 * 2 * 1.01 = 20.2
    // unrounded; a cost of exactly float(20.2) lies above 20.2 and below it
    // by turns as the rounding goes, so probe both neighbours.
    KdTree tree;
    const KdTreeBox box = make_box(0, 0, 0, 2, 1, 1);
    const double leaf_side = 10.0 * 2.0 * static_cast<double>(1.01f);
    for (uint32_t n_right = 0; n_right < 200; ++n_right) {
        bool verdict;
        const float cost = tree.SAHCost(box, 1.0f, 0, 0, n_right, 2, &verdict);
        EXPECT_EQ(verdict, leaf_side > static_cast<double>(cost)) << n_right;
    }
}

// The cost numerator is rounded once, after the division; the verdict's
// left side is not rounded at all. Each part scans for cases where rounding
// earlier would change the answer and requires that some exist.
TEST(KdTreeCost, RoundingHappensOnlyWhereStated)
{
    KdTree tree;
    const float dx = 0.3f, dy = 0.17f, dz = 0.09f;
    const KdTreeBox box = make_box(0, 0, 0, dx, dy, dz);
    const float area = ((dz + dy) * dx + dy * dz) * 2;
    auto expected_cost = [&](float position, uint32_t n_left, uint32_t n_right, bool early) {
        const float left_area = ((dz + dy) * (position - 0.0f) + dy * dz) * 2;
        const float right_area = ((dz + dy) * (dx - position) + dy * dz) * 2;
        const float bl = static_cast<float>(n_left) + 0.5f, br = static_cast<float>(n_right) + 0.5f;
        if (early)
            return (right_area * br + left_area * bl) / area;
        const double numerator = static_cast<double>(right_area) * br + static_cast<double>(left_area) * bl;
        return static_cast<float>(numerator / area);
    };

    int numerator_cases = 0;
    for (uint32_t n_right = 0; n_right < 3000; ++n_right)
        for (uint32_t n_left = 0; n_left < 40; n_left += 3) {
            const float position = 0.01f * static_cast<float>(1 + n_left % 29);
            const float expected = expected_cost(position, n_left, n_right, false);
            bool verdict;
            ASSERT_EQ(bits_of(tree.SAHCost(box, position, 0, n_left, n_right, 50, &verdict)), bits_of(expected))
                << n_right << " " << n_left;
            numerator_cases += expected != expected_cost(position, n_left, n_right, true);
        }
    EXPECT_GT(numerator_cases, 0);

    // Walk the position float by float through the break-even point, where
    // the cost meets area * n * 1.01.
    int verdict_cases = 0;
    for (uint32_t n = 30; n < 90; ++n) {
        float lo = 0.0f, hi = dx; // the cost falls as the position rises
        for (int i = 0; i < 60; ++i) {
            const float mid = (lo + hi) * 0.5f;
            bool v;
            (tree.SAHCost(box, mid, 0, 0, n, n, &v) > area * 1.01f * static_cast<float>(n) ? lo : hi) = mid;
        }
        float position = lo;
        for (int i = 0; i < 300; ++i)
            position = std::nextafter(position, -1.0f);
        for (int i = 0; i < 600; ++i, position = std::nextafter(position, 1.0f)) {
            bool verdict;
            const float cost = tree.SAHCost(box, position, 0, 0, n, n, &verdict);
            const double leaf_side = static_cast<double>(area) * n * static_cast<double>(1.01f);
            ASSERT_EQ(verdict, leaf_side > cost) << n << " " << position;
            verdict_cases += (leaf_side > cost) != (area * static_cast<float>(n) * 1.01f > cost);
        }
    }
    EXPECT_GT(verdict_cases, 0);
}

TEST(KdTreeSearch, NoFiniteCostGivesTheInitialChoice)
{
    SceneData s;
    for (int i = 0; i < 6; ++i)
        s.triangle(Vec4(i, 0, 0, 1), Vec4(i + 1.0f, 0, 0, 1), Vec4(i, 0, 0, 1));
    KdTree tree;
    attach(tree, s);
    Wrappers w(tree, s);
    const KdTreeBox point = make_box(1, 1, 1, 1, 1, 1); // zero area: every cost is +inf or NaN
    for (const SplitChoice c : {tree.FindSplitPosNaive(w.list, point), tree.FindSplitPosSAH(w.list, point)}) {
        EXPECT_EQ(bits_of(c.position), 0u);
        EXPECT_EQ(c.axis, 0);
        EXPECT_TRUE(c.split);
    }
}

// The fast searches against the literal ones on lists with ties, bounds
// outside the node box and sizes on both sides of the naive limit.
TEST(KdTreeSearch, FastSearchesMatchLiteralOnRandomLists)
{
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        const int n = 5 + static_cast<int>(rng() % 250);
        const int grid = seed % 3 == 0 ? 0 : 4 + static_cast<int>(rng() % 6);
        // Every fourth list sits on z = 0 in a node box flat in z: zero
        // margins and tied z bounds.
        const bool flat = seed % 4 == 1;
        SceneData s = random_scene(seed, flat ? n : n - n / 5, flat ? 0 : n / 5,
                                   1.0f + static_cast<float>(rng() % 50), grid, 0.4f);
        // Every other flat triangle rises from z = 0 at one corner, so equal
        // minima meet different maxima; zeros come with both signs.
        if (flat)
            for (std::size_t i = 0; i < s.vertices.size(); ++i)
                s.vertices[i].pos[2] = i % 6 == 5 ? 0.25f * static_cast<float>(1 + rng() % 3)
                                                  : (rng() % 2 ? -0.0f : 0.0f);
        KdTree tree;
        attach(tree, s);
        Wrappers w(tree, s);
        // Node boxes around part of the scene, so candidates fall outside;
        // some are inside out on an axis.
        const float lo = -0.5f * static_cast<float>(rng() % 3), hi = 0.3f + 0.3f * static_cast<float>(rng() % 3);
        const float sc = 1.0f + static_cast<float>(rng() % 50);
        KdTreeBox box = make_box(lo * sc, lo * sc, lo * sc, hi * sc, hi * sc, hi * sc);
        if (flat)
            box.min[2] = box.max[2] = 0.0f;
        if (seed % 7 == 3)
            std::swap(box.min[1], box.max[1]);
        // Only the winner is visible, so every list is searched in several
        // lengths, each with its own winner.
        for (int length = n; length >= 5; length -= 11) {
            const KdTree::PrimitiveList part(w.list.begin(), w.list.begin() + length);
            const SplitChoice sorted = tree.FindSplitPosSAH(part, box), ref = literal_sah(tree, part, box);
            EXPECT_EQ(bits_of(sorted.position), bits_of(ref.position)) << "seed " << seed << " n " << length;
            EXPECT_EQ(sorted.axis, ref.axis) << "seed " << seed << " n " << length;
            EXPECT_EQ(sorted.split, ref.split) << "seed " << seed << " n " << length;
            if (length < 80) {
                const SplitChoice fast = tree.FindSplitPosNaive(part, box), ref = literal_naive(tree, part, box);
                EXPECT_EQ(bits_of(fast.position), bits_of(ref.position)) << "seed " << seed << " n " << length;
                EXPECT_EQ(fast.axis, ref.axis) << "seed " << seed << " n " << length;
                EXPECT_EQ(fast.split, ref.split) << "seed " << seed << " n " << length;
            }
        }
    }
}

TEST(KdTreeSearch, SortedSearchWithNotANumberFollowsTheLiteralScan)
{
    SceneData s = random_scene(7, 90, 10, 3.0f, 5);
    s.vertices[4].pos[1] = std::nanf("");
    s.spheres[3].center[0] = std::nanf("");
    KdTree tree;
    attach(tree, s);
    Wrappers w(tree, s);
    const KdTreeBox box = make_box(-3, -3, -3, 3, 3, 3);
    const SplitChoice fast = tree.FindSplitPosSAH(w.list, box), ref = literal_sah(tree, w.list, box);
    EXPECT_EQ(bits_of(fast.position), bits_of(ref.position));
    EXPECT_EQ(fast.axis, ref.axis);
    EXPECT_EQ(fast.split, ref.split);
}

// 63 primitives go to the naive search, 64 to the sorted one: the root's
// plane tells which ran, on scenes where the two disagree.
TEST(KdTreeSearch, SixtyFourPrimitivesSwitchToTheSortedSearch)
{
    int checked = 0;
    for (uint32_t seed = 1; seed < 400 && checked < 2; ++seed) {
        const SceneData s64 = random_scene(seed, 64, 0, 100.0f, 6, 0.5f);
        SceneData s63 = s64;
        s63.indices.resize(63 * 3);
        KdTree t63, t64;
        attach(t63, s63);
        attach(t64, s64);
        // World boxes as the build computes them.
        build(t63, s63);
        build(t64, s64);
        Wrappers w63(t63, s63), w64(t64, s64);
        const SplitChoice naive63 = t63.FindSplitPosNaive(w63.list, t63.world_box);
        const SplitChoice sah63 = t63.FindSplitPosSAH(w63.list, t63.world_box);
        const SplitChoice naive64 = t64.FindSplitPosNaive(w64.list, t64.world_box);
        const SplitChoice sah64 = t64.FindSplitPosSAH(w64.list, t64.world_box);
        if (naive63.position == sah63.position || naive64.position == sah64.position || !naive63.split ||
            !sah64.split)
            continue;
        EXPECT_EQ(t63.nodes[0].word0, bits_of(naive63.position)) << "seed " << seed;
        EXPECT_EQ(t64.nodes[0].word0, bits_of(sah64.position)) << "seed " << seed;
        ++checked;
    }
    EXPECT_EQ(checked, 2) << "no scene separated the two searches";
}

TEST(KdTreePrimitives, TriangleBoundsCentreAndExtend)
{
    SceneData s;
    s.triangle(Vec4(2, 0, -1, 1), Vec4(0.5f, 3, 0, 1), Vec4(1, -2, 4, 1));
    KdTree tree;
    attach(tree, s);
    const KdTree::KTriangle t(&tree, 0);
    EXPECT_EQ(t.GetType(), 0);
    EXPECT_EQ(t.GetListBytes(), 12);
    EXPECT_EQ(t.GetMax(0), 2.0f);
    EXPECT_EQ(t.GetMin(1), -2.0f);
    EXPECT_EQ(t.GetMax(2), 4.0f);
    EXPECT_EQ(t.GetCenter()[0], (0.5f + 2.0f + 1.0f) * 0.33333334f);

    KdTreeBox box = make_box(0, -2, -1, 1, 3, 4);
    t.ExtendBox(box);
    EXPECT_EQ(box.max[0], 2.0f + 1e-6f); // 2.00000095: only a moving bound gets the margin
    EXPECT_EQ(box.max[0], 2.00000095f);
    EXPECT_EQ(box.min[0], 0.0f);
    EXPECT_EQ(box.min[1], -2.0f);
    EXPECT_EQ(box.max[2], 4.0f);
}

TEST(KdTreePrimitives, SphereOverlapIsTheStrictBoundingCube)
{
    SceneData s;
    s.sphere(2, 0, 0, 1);
    s.sphere(1.9f, 0, 0, 1);
    KdTree tree;
    attach(tree, s);
    const KdTreeBox unit = make_box(-1, -1, -1, 1, 1, 1);
    EXPECT_FALSE(KdTree::KSphere(&tree, 0).OverlapsBox(unit));
    EXPECT_TRUE(KdTree::KSphere(&tree, 1).OverlapsBox(unit));
    EXPECT_EQ(KdTree::KSphere(&tree, 1).GetMin(0), 0.9f);
    EXPECT_EQ(KdTree::KSphere(&tree, 1).GetListBytes(), 4);

    KdTreeBox box = make_box(0, 0, 0, 10, 10, 10);
    KdTree::KSphere(&tree, 0).ExtendBox(box);
    EXPECT_EQ(box.min[0], 0.0f);
    EXPECT_EQ(box.min[1], -1.0f - 1e-6f);
    EXPECT_EQ(box.max[1], 10.0f);
}

// The separating-axis test against clipping, away from touching cases: a
// triangle that meets a slightly smaller box overlaps, one that misses a
// slightly larger box does not. A triangle in a face of the box touches it.
TEST(KdTreePrimitives, TriangleBoxOverlapAgainstClipping)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-2.5f, 2.5f);
    const KdTreeBox box = make_box(-1, -1, -1, 1, 1, 1);
    int meets = 0, misses = 0;
    KdTree tree;
    for (int i = 0; i < 20000; ++i) {
        SceneData s;
        s.triangle(Vec4(u(rng), u(rng), u(rng), 1), Vec4(u(rng), u(rng), u(rng), 1), Vec4(u(rng), u(rng), u(rng), 1));
        attach(tree, s);
        const Vec4 corners[3] = {s.vertices[0].pos, s.vertices[1].pos, s.vertices[2].pos};
        const bool overlaps = KdTree::KTriangle(&tree, 0).OverlapsBox(box);
        if (clipped_triangle_meets_box(corners, 1.0 - 1e-4)) {
            EXPECT_TRUE(overlaps) << i;
            ++meets;
        } else if (!clipped_triangle_meets_box(corners, 1.0 + 1e-4)) {
            EXPECT_FALSE(overlaps) << i;
            ++misses;
        }
    }
    EXPECT_GT(meets, 1000);
    EXPECT_GT(misses, 1000);

    SceneData face;
    face.triangle(Vec4(-0.5f, -0.5f, 1, 1), Vec4(0.5f, -0.5f, 1, 1), Vec4(0, 0.5f, 1, 1));
    attach(tree, face);
    EXPECT_TRUE(KdTree::KTriangle(&tree, 0).OverlapsBox(box));
}

// The published triangle-box test written out step by step, with early
// exits, as the reference for the lane-type version the build runs.
bool literal_triangle_box(const Vec4& p0, const Vec4& p1, const Vec4& p2, const KdTreeBox& box)
{
    float m[3], h[3], t[3][3], e[3][3];
    for (int a = 0; a < 3; ++a) {
        m[a] = (box.min[a] + box.max[a]) * 0.5f;
        h[a] = (box.max[a] - box.min[a]) * 0.5f;
        t[0][a] = p0[a] - m[a];
        t[1][a] = p1[a] - m[a];
        t[2][a] = p2[a] - m[a];
    }
    for (int a = 0; a < 3; ++a) {
        e[0][a] = t[1][a] - t[0][a];
        e[1][a] = t[2][a] - t[1][a];
        e[2][a] = t[0][a] - t[2][a];
    }
    auto cross = [](const float* x, const float* y, float* r) {
        r[0] = x[1] * y[2] - x[2] * y[1];
        r[1] = x[2] * y[0] - x[0] * y[2];
        r[2] = x[0] * y[1] - x[1] * y[0];
    };
    auto dot = [](const float* x, const float* y) { return x[0] * y[0] + x[1] * y[1] + x[2] * y[2]; };
    for (int k = 0; k < 3; ++k)
        for (int axis = 0; axis < 3; ++axis) {
            float unit[3] = {0, 0, 0}, u[3];
            unit[axis] = 1;
            cross(unit, e[k], u);
            const float q[3] = {dot(u, t[0]), dot(u, t[1]), dot(u, t[2])};
            const float rad = h[0] * std::fabs(u[0]) + h[1] * std::fabs(u[1]) + h[2] * std::fabs(u[2]);
            if (std::min({q[0], q[1], q[2]}) > rad || std::max({q[0], q[1], q[2]}) < -rad)
                return false;
        }
    for (int a = 0; a < 3; ++a)
        if (std::min({t[0][a], t[1][a], t[2][a]}) > h[a] || std::max({t[0][a], t[1][a], t[2][a]}) < -h[a])
            return false;
    float n[3], vmin[3], vmax[3];
    cross(e[0], e[1], n);
    const float d = -dot(n, t[0]);
    for (int a = 0; a < 3; ++a) {
        vmin[a] = n[a] > 0 ? -h[a] : h[a];
        vmax[a] = n[a] > 0 ? h[a] : -h[a];
    }
    return dot(n, vmin) + d <= 0 && dot(n, vmax) + d >= 0;
}

// The build tests four triangles at a time, with a shorter form for finite
// inputs, after ruling children out by the box face on the split axis. All
// of it must give the literal answer bit for bit, so the cases crowd the
// boundaries: grid coordinates that touch exactly, flat and degenerate
// triangles, flat and inside-out boxes, and values that are not finite.
TEST(KdTreePrimitives, FourWideOverlapMatchesTheLiteralTest)
{
    using koru::simd::float4;
    std::mt19937 rng(5);
    auto grid = [&](int steps) { return static_cast<float>(static_cast<int>(rng() % (2 * steps + 1)) - steps) / 4; };
    const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              std::nanf(""), 3e38f, -0.0f};
    int overlaps = 0, apart = 0, faces = 0, whole_batches_inside = 0;
    for (int round = 0; round < 4000; ++round) {
        const bool wild = round % 10 == 9;
        KdTreeBox box = make_box(grid(8), grid(8), grid(8), 0, 0, 0);
        for (int a = 0; a < 3; ++a)
            box.max[a] = box.min[a] + std::fabs(grid(8));
        if (round % 7 == 3)
            box.max[1] = box.min[1]; // flat
        if (round % 11 == 5)
            std::swap(box.min[0], box.max[0]); // inside out
        // Every third round keeps the triangles within the box's bounds, often
        // on its faces, where a batch can be settled without the nine axes.
        const bool contained = round % 3 == 1;
        auto within = [&](int a) {
            const float lo = std::min(box.min[a], box.max[a]), hi = std::max(box.min[a], box.max[a]);
            const int steps = static_cast<int>((hi - lo) * 4);
            return lo + static_cast<float>(rng() % (steps + 1)) / 4;
        };
        Vec4 corners[4][3];
        for (auto& tri : corners) {
            for (auto& c : tri)
                c = contained ? Vec4(within(0), within(1), within(2), 1) : Vec4(grid(10), grid(10), grid(10), 1);
            if (rng() % 5 == 0)
                tri[2] = tri[rng() % 2]; // degenerate
            if (wild && rng() % 2)
                tri[rng() % 3][static_cast<int>(rng() % 3)] = specials[rng() % 5];
        }
        float4 lanes[3][3];
        for (int c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a) {
                alignas(16) float v[4];
                for (int l = 0; l < 4; ++l)
                    v[l] = corners[l][c][a];
                lanes[c][a] = float4::load(v);
            }
        const int general = koru::simd::movemask(RAYTR::build::triangle_box_overlap<float4>(lanes, box));
        const int finite = koru::simd::movemask(RAYTR::build::triangle_box_overlap<float4, true>(lanes, box));
        const int inside_first =
            koru::simd::movemask(RAYTR::build::triangle_box_overlap<float4, true>(lanes, box, true));
        int lanes_inside = 0;
        for (int l = 0; l < 4; ++l) {
            const Vec4(&tri)[3] = corners[l];
            const bool expected = literal_triangle_box(tri[0], tri[1], tri[2], box);
            SCOPED_TRACE("round " + std::to_string(round) + " lane " + std::to_string(l));
            EXPECT_EQ(RAYTR::build::triangle_overlaps_box(tri[0].v, tri[1].v, tri[2].v, box), expected);
            EXPECT_EQ((general >> l) & 1, expected ? 1 : 0);
            if (!wild) {
                EXPECT_EQ((finite >> l) & 1, expected ? 1 : 0);
                EXPECT_EQ((inside_first >> l) & 1, expected ? 1 : 0);
            }
            bool inside = true;
            for (const Vec4& c : tri)
                for (int a = 0; a < 3; ++a)
                    inside = inside && c[a] >= box.min[a] && c[a] <= box.max[a];
            lanes_inside += inside;
            for (int a = 0; a < 3; ++a) {
                const float m = (box.min[a] + box.max[a]) * 0.5f, h = (box.max[a] - box.min[a]) * 0.5f;
                if (RAYTR::build::apart_on_axis(tri[0][a] - m, tri[1][a] - m, tri[2][a] - m, h)) {
                    EXPECT_FALSE(expected) << "face " << a;
                    ++faces;
                }
            }
            (expected ? overlaps : apart) += 1;
        }
        whole_batches_inside += lanes_inside == 4;
    }
    EXPECT_GT(overlaps, 1000);
    EXPECT_GT(apart, 1000);
    EXPECT_GT(faces, 1000);
    EXPECT_GT(whole_batches_inside, 300);
}

TEST(KdTreeFormat, NodeBitsAndRecordCounts)
{
    const KdTreeNode inner{0x3F800000u, 0x20000005u};
    EXPECT_FALSE(RAYTR::kd_is_leaf(inner));
    EXPECT_EQ(RAYTR::kd_axis(inner), 1);
    EXPECT_EQ(RAYTR::kd_left_child(inner), 5u);
    EXPECT_EQ(RAYTR::kd_split_position(inner), 1.0f);
    EXPECT_TRUE(RAYTR::kd_is_leaf(KdTreeNode{0u, 0x80000000u}));
    EXPECT_LT(RAYTR::kd_leaf_offset(KdTreeNode{0xFFFFFFFFu, 0x9FFFFFFFu}), 0);
    EXPECT_EQ(RAYTR::kd_leaf_offset(KdTreeNode{0u, 0x9FFFFFFFu}), 0);
    const unsigned char record[4] = {44, 7, 1, 0};
    EXPECT_EQ(RAYTR::kd_record_triangle_count(record), 300u);
    EXPECT_EQ(RAYTR::kd_record_sphere_count(record), 7u);
}

} // namespace
