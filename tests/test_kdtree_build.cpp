// Kd-tree builder, whole builds: leaf records, statistics, limits, and
// whole trees compared against a slow, literal builder on seeded random
// scenes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "kdtree_test_support.h"
#include "engine/tau_error.h"
#include "kdtree/kdtree.h"

namespace {

using namespace kdtree_test;

std::string statistics_text(const std::vector<std::string>& values)
{
    static const char* const labels[8] = {
        "Nodes:                     ", "Leafes:                    ", "Empty(leafes):             ",
        "Not Empty(leafes):         ", "Avg_Prim (not empty l-fs): ", "Cost forced leafes         ",
        "KdTree.obj_list_data_top:  ", "KdTree.obj_list_data_size: "};
    std::string text = "\n";
    for (int i = 0; i < 8; ++i)
        text += labels[i] + values[i] + "\n";
    return text;
}

// A literal depth-first builder: nodes as a tree of records, object records
// in the order their leaves are made.
struct LiteralTree {
    struct Node {
        bool leaf = true;
        float position = 0;
        int axis = 0;
        int left = -1;
        int32_t offset = -1;
    };
    const KdTree& tree;
    std::vector<Node> nodes;
    std::vector<unsigned char> records;
    int cost_forced = 0;

    explicit LiteralTree(const KdTree& t) : tree(t) {}

    void leaf(int node, const KdTree::PrimitiveList& list)
    {
        uint32_t t = 0, s = 0;
        for (const auto* q : list)
            (q->GetType() == 0 ? t : s) += 1;
        nodes[node].offset = static_cast<int32_t>(records.size());
        records.push_back(static_cast<unsigned char>(t & 255));
        records.push_back(static_cast<unsigned char>(s & 255));
        records.push_back(static_cast<unsigned char>(t >> 8));
        records.push_back(static_cast<unsigned char>(s >> 8));
        auto word = [&](uint32_t w) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(&w);
            records.insert(records.end(), b, b + 4);
        };
        for (const auto* q : list)
            if (q->GetType() == 0)
                for (int c = 0; c < 3; ++c)
                    word(tree.indices[q->GetIndex() + c]);
        for (const auto* q : list)
            if (q->GetType() == 1)
                word(q->GetIndex());
    }

    void subdivide(int node, const KdTreeBox& box, int budget, const KdTree::PrimitiveList& list)
    {
        if (budget == 0 || list.size() <= 4) {
            leaf(node, list);
            return;
        }
        const SplitChoice c = list.size() < 64 ? literal_naive(tree, list, box) : literal_sah(tree, list, box);
        if (!c.split) {
            leaf(node, list);
            ++cost_forced;
            return;
        }
        KdTreeBox lb = box, rb = box;
        lb.max[c.axis] = c.position;
        rb.min[c.axis] = c.position;
        KdTree::PrimitiveList l, r;
        for (const auto* q : list) {
            if (q->OverlapsBox(lb))
                l.push_back(q);
            if (q->OverlapsBox(rb))
                r.push_back(q);
        }
        const int left = static_cast<int>(nodes.size());
        nodes[node] = Node{false, c.position, c.axis, left, 0};
        nodes.emplace_back();
        nodes.emplace_back();
        if (!l.empty())
            subdivide(left, lb, budget - 1, l);
        if (!r.empty())
            subdivide(left + 1, rb, budget - 1, r);
    }

    void run(const KdTree::PrimitiveList& root, const KdTreeBox& world)
    {
        nodes.assign(1, Node{});
        subdivide(0, world, 20, root);
    }
};

// The built tree must equal the literal one entry by entry and byte by byte.
void expect_same_tree(const KdTree& tree, const LiteralTree& ref)
{
    ASSERT_EQ(tree.node_count, ref.nodes.size());
    ASSERT_EQ(tree.obj_list_data_top, ref.records.size());
    EXPECT_EQ(0, std::memcmp(tree.obj_list_data, ref.records.data(), ref.records.size()));
    EXPECT_EQ(tree.cost_forced_leaves, ref.cost_forced);
    std::vector<std::pair<uint32_t, int>> pending{{0u, 0}};
    while (!pending.empty()) {
        const auto [entry, ref_index] = pending.back();
        pending.pop_back();
        const KdTreeNode& n = tree.nodes[entry];
        const LiteralTree::Node& r = ref.nodes[ref_index];
        ASSERT_EQ(RAYTR::kd_is_leaf(n), r.leaf) << "entry " << entry;
        if (r.leaf) {
            ASSERT_EQ(RAYTR::kd_leaf_offset(n), r.offset) << "entry " << entry;
        } else {
            ASSERT_EQ(n.word0, bits_of(r.position)) << "entry " << entry;
            ASSERT_EQ(RAYTR::kd_axis(n), r.axis) << "entry " << entry;
            pending.push_back({RAYTR::kd_left_child(n), r.left});
            pending.push_back({RAYTR::kd_left_child(n) + 1, r.left + 1});
        }
    }
}

// Structural invariants of a finished tree; returns the deepest leaf depth.
int check_structure(const KdTree& tree, const SceneData& s)
{
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> triangle_at;
    for (uint32_t k = 0; k + 2 < s.indices.size(); k += 3)
        triangle_at.emplace(std::make_tuple(s.indices[k], s.indices[k + 1], s.indices[k + 2]), k);

    EXPECT_EQ(tree.node_count % 2, 1u);
    std::vector<int> depth(tree.node_count, 0);
    std::vector<std::pair<uint32_t, uint32_t>> extents; // record offset, size
    uint32_t next = 1;
    int deepest = 0, leaves = 0, empty = 0, prims = 0;
    for (uint32_t i = 0; i < tree.node_count; ++i) {
        const KdTreeNode& n = tree.nodes[i];
        if (!RAYTR::kd_is_leaf(n)) {
            // Breadth-first: children are handed out in entry order, in pairs.
            EXPECT_LE(RAYTR::kd_axis(n), 2) << "entry " << i;
            EXPECT_EQ(RAYTR::kd_left_child(n), next) << "entry " << i;
            if (RAYTR::kd_left_child(n) != next || next + 1 >= tree.node_count)
                return -1;
            depth[next] = depth[next + 1] = depth[i] + 1;
            next += 2;
            continue;
        }
        EXPECT_EQ(n.word1, 0x9FFFFFFFu) << "entry " << i;
        deepest = std::max(deepest, depth[i]);
        ++leaves;
        const int32_t offset = RAYTR::kd_leaf_offset(n);
        if (offset < 0) {
            EXPECT_EQ(n.word0, 0xFFFFFFFFu);
            ++empty;
            continue;
        }
        EXPECT_EQ(offset % 4, 0);
        EXPECT_LE(static_cast<uint32_t>(offset) + 4, tree.obj_list_data_top);
        const unsigned char* record = tree.obj_list_data + offset;
        const uint32_t t = RAYTR::kd_record_triangle_count(record), sp = RAYTR::kd_record_sphere_count(record);
        const uint32_t size = 4 + 12 * t + 4 * sp;
        EXPECT_LE(static_cast<uint64_t>(offset) + size, tree.obj_list_data_top) << "entry " << i;
        if (static_cast<uint64_t>(offset) + size > tree.obj_list_data_top)
            return -1;
        extents.push_back({static_cast<uint32_t>(offset), size});
        prims += static_cast<int>(t + sp);
        const uint32_t* tri = RAYTR::kd_record_triangles(record);
        int64_t last_k = -1;
        for (uint32_t j = 0; j < t; ++j) {
            const auto found = triangle_at.find(std::make_tuple(tri[3 * j], tri[3 * j + 1], tri[3 * j + 2]));
            EXPECT_NE(found, triangle_at.end()) << "entry " << i;
            if (found == triangle_at.end())
                return -1;
            EXPECT_GT(static_cast<int64_t>(found->second), last_k) << "triangles in list order";
            last_k = found->second;
        }
        const uint32_t* sph = RAYTR::kd_record_spheres(record);
        for (uint32_t j = 0; j < sp; ++j) {
            EXPECT_LT(sph[j], s.spheres.size());
            if (j > 0) {
                EXPECT_GT(sph[j], sph[j - 1]);
            }
        }
    }
    EXPECT_EQ(next, tree.node_count);
    // Records tile the used part of the list in the order they were made.
    std::sort(extents.begin(), extents.end());
    uint32_t end = 0;
    for (const auto& e : extents) {
        EXPECT_EQ(e.first, end);
        end = e.first + e.second;
    }
    EXPECT_EQ(end, tree.obj_list_data_top);
    EXPECT_EQ(tree.leaf_count, leaves);
    EXPECT_EQ(tree.empty_leaf_count, empty);
    EXPECT_EQ(tree.full_leaf_count, leaves - empty);
    EXPECT_EQ(tree.leaf_prim_total, prims);
    EXPECT_LE(deepest, 20);
    return deepest;
}

std::string out_of_range_text(const std::function<void()>& f)
{
    testing::internal::CaptureStderr(); // the error announces itself
    std::string text = "<no exception>";
    try {
        f();
    } catch (const TAU_ERROR::Out_Of_Range& e) {
        text = e.message;
    }
    testing::internal::GetCapturedStderr();
    return text;
}

// ---------------------------------------------------------------------------

TEST(KdTreeLeaf, RecordLayoutTrianglesBeforeSpheres)
{
    SceneData s;
    for (int i = 0; i < 3; ++i)
        s.sphere(static_cast<float>(i), 0, 0, 0.5f);
    for (int i = 0; i < 3; ++i)
        s.triangle(Vec4(0, 0, 0, 1), Vec4(1, 0, 0, 1), Vec4(0, 1, 0, 1));
    for (uint32_t& idx : s.indices)
        idx = (idx * 7) % 9; // distinct, non-trivial vertex numbers
    KdTree tree;
    attach(tree, s);
    tree.obj_list_data = new unsigned char[KdTree::obj_list_capacity];
    tree.obj_list_data_size = KdTree::obj_list_capacity;
    // Ids: spheres 0-2, triangles k = 0, 3, 6 are ids 3-5. The leaf holds the
    // triangles at 0 and 6 and sphere 2, in list order.
    RAYTR::KdTreeTestAccess::MakeLeaf(tree, 7, {2, 3, 5});
    EXPECT_EQ(tree.obj_list_data_top, 32u);
    EXPECT_EQ(tree.nodes[7].word0, 0u);
    EXPECT_EQ(tree.nodes[7].word1, 0x80000000u);
    const unsigned char* r = tree.obj_list_data;
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(r[1], 1);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], 0);
    uint32_t words[7];
    std::memcpy(words, r + 4, sizeof words);
    const uint32_t expected[7] = {s.indices[0], s.indices[1], s.indices[2], s.indices[6],
                                  s.indices[7], s.indices[8], 2};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(words[i], expected[i]) << i;

    // A second record follows directly.
    RAYTR::KdTreeTestAccess::MakeLeaf(tree, 8, {});
    EXPECT_EQ(tree.nodes[8].word0, 32u);
    EXPECT_EQ(tree.obj_list_data_top, 36u);
}

TEST(KdTreeLeaf, SmallScenesAndTheLeafLimit)
{
    SceneData four;
    four.sphere(0, 0, 0, 100);
    four.sphere(500, 0, 0, 100);
    four.triangle(Vec4(0, 0, 0, 1), Vec4(900, 0, 0, 1), Vec4(0, 900, 0, 1));
    four.triangle(Vec4(0, 0, 500, 1), Vec4(900, 0, 500, 1), Vec4(0, 900, 500, 1));
    KdTree t4;
    build(t4, four);
    EXPECT_EQ(t4.node_count, 1u);
    EXPECT_EQ(t4.obj_list_data_top, 4u + 2 * 12 + 2 * 4);
    const unsigned char* r = t4.obj_list_data;
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(r[1], 2);
    uint32_t words[8];
    std::memcpy(words, r + 4, sizeof words);
    EXPECT_EQ(words[3], 3u); // second triangle's first vertex
    EXPECT_EQ(words[6], 0u);
    EXPECT_EQ(words[7], 1u);

    SceneData five = four;
    five.sphere(900, 900, 900, 100);
    KdTree t5;
    build(t5, five);
    EXPECT_GT(t5.node_count, 1u) << "five primitives start a search";
}

TEST(KdTreeStatistics, EmptySceneOutput)
{
    KdTree tree;
    SceneData empty;
    const std::string text = build(tree, empty);
    EXPECT_EQ(text, statistics_text({"1", "1", "0", "1", "0", "0", "4", "37748736"}));
    EXPECT_TRUE(std::isnan(tree.world_box.min[0]));
    EXPECT_EQ(tree.node_count, 1u);
    EXPECT_EQ(tree.nodes[0].word0, 0u);
    EXPECT_EQ(tree.nodes[0].word1, 0x9FFFFFFFu);
}

TEST(KdTreeStatistics, PrintedValuesMatchTheCounters)
{
    KdTree tree;
    const SceneData s = random_scene(3, 3000, 40, 20.0f);
    const std::string text = build(tree, s);
    std::ostringstream average;
    average << static_cast<float>(static_cast<double>(tree.leaf_prim_total) / tree.full_leaf_count);
    EXPECT_EQ(text, statistics_text({std::to_string(tree.node_count), std::to_string(tree.leaf_count),
                                     std::to_string(tree.empty_leaf_count), std::to_string(tree.full_leaf_count),
                                     average.str(), std::to_string(tree.cost_forced_leaves),
                                     std::to_string(tree.obj_list_data_top), "37748736"}));
    EXPECT_GT(tree.empty_leaf_count, 0);
    EXPECT_GT(tree.cost_forced_leaves, 0);
}

// Whole trees against the literal builder: node for node, byte for byte.
TEST(KdTreeBuild, MatchesLiteralBuilderOnRandomScenes)
{
    struct Case {
        int triangles, spheres, grid;
        float scale, size;
    };
    const Case cases[] = {{40, 0, 0, 50.0f, 0.2f},   {200, 30, 0, 30.0f, 0.1f}, {300, 0, 8, 40.0f, 0.3f},
                          {150, 60, 5, 100.0f, 0.5f}, {800, 0, 0, 10.0f, 0.05f}, {500, 100, 0, 3.0f, 0.3f},
                          {0, 200, 0, 30.0f, 0.2f},   {1200, 0, 16, 60.0f, 0.08f}, {8000, 40, 0, 40.0f, 0.06f}};
    uint32_t seed = 100;
    for (const Case& c : cases) {
        const SceneData s = random_scene(++seed, c.triangles, c.spheres, c.scale, c.grid, c.size);
        KdTree tree;
        build(tree, s);
        KdTree twin;
        attach(twin, s);
        Wrappers w(twin, s);
        LiteralTree ref(twin);
        ref.run(w.list, tree.world_box);
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_same_tree(tree, ref);
        EXPECT_GT(check_structure(tree, s), 2);
    }
}

// Deep trees, where lists shrink to a few primitives over many levels and
// most nodes take the naive search, and scenes whose bounds are not all
// finite or not all ordered, which the build handles apart; each built on
// one thread and on three.
TEST(KdTreeBuild, MatchesLiteralBuilderOnDeepAndIrregularScenes)
{
    auto compare = [](const SceneData& s, const char* what) {
        SCOPED_TRACE(what);
        KdTree tree, threaded;
        build(tree, s);
        threaded.build_threads = 3;
        build(threaded, s);
        KdTree twin;
        attach(twin, s);
        Wrappers w(twin, s);
        LiteralTree ref(twin);
        ref.run(w.list, tree.world_box);
        expect_same_tree(tree, ref);
        expect_same_tree(threaded, ref);
        return tree.node_count;
    };
    // Long edges over a wide cube: about ten levels of small lists.
    const SceneData deep = random_scene(41, 2500, 60, 5.0f, 0, 0.12f);
    EXPECT_GT(compare(deep, "deep soup"), 5000u);

    SceneData odd = random_scene(42, 400, 20, 5.0f, 0, 0.2f);
    odd.spheres[5].radius = std::nanf(""); // bounds that are not a number
    EXPECT_GT(compare(odd, "a NaN radius"), 100u);
    odd = random_scene(42, 400, 20, 5.0f, 0, 0.2f);
    odd.spheres[3].radius = -0.3f; // its minimum lies above its maximum
    EXPECT_GT(compare(odd, "a negative radius"), 100u);
    odd = random_scene(42, 400, 20, 5.0f, 0, 0.2f);
    odd.vertices[9].pos[2] = 2e37f; // finite bounds, beyond the short overlap form
    EXPECT_GT(compare(odd, "a far corner"), 10u);
}

// Every primitive that reaches into the space a leaf covers is listed in the
// leaf's record, and none that stays clear of the leaf's box is. A leaf's box
// is its parent's with one side moved to the split; a split may lie outside
// its node, so the space covered is the intersection of the boxes on the way
// down. Cases within a small tolerance of touching are left out, and so are
// boxes turned inside out by such a split.
TEST(KdTreeBuild, LeavesListExactlyThePrimitivesThatReachTheirBox)
{
    for (uint32_t seed : {3u, 4u, 5u}) {
        const float scale = 10.0f;
        const SceneData s = random_scene(seed, 300, 30, scale, 0, 1.5f);
        KdTree tree;
        build(tree, s);
        const double tolerance = 1e-4 * scale;
        const uint32_t n_triangles = static_cast<uint32_t>(s.indices.size() / 3);

        int listed = 0, left_out = 0;
        struct Pending {
            uint32_t node;
            KdTreeBox box, space;
        };
        std::vector<Pending> pending = {{0u, tree.world_box, tree.world_box}};
        while (!pending.empty()) {
            const Pending next = pending.back();
            const uint32_t node = next.node;
            const KdTreeBox& box = next.box;
            const KdTreeBox& space = next.space;
            pending.pop_back();
            const KdTreeNode& n = tree.nodes[node];
            if (!RAYTR::kd_is_leaf(n)) {
                const int a = RAYTR::kd_axis(n);
                const float split = RAYTR::kd_split_position(n);
                Pending lower = next, upper = next;
                lower.node = RAYTR::kd_left_child(n);
                upper.node = lower.node + 1;
                lower.box.max[a] = upper.box.min[a] = split;
                lower.space.max[a] = std::min(space.max[a], split);
                upper.space.min[a] = std::max(space.min[a], split);
                pending.push_back(lower);
                pending.push_back(upper);
                continue;
            }

            std::set<uint32_t> triangles, spheres; // first index positions; sphere indices
            if (RAYTR::kd_leaf_offset(n) >= 0) {
                const unsigned char* record = tree.obj_list_data + RAYTR::kd_leaf_offset(n);
                const uint32_t* tri = RAYTR::kd_record_triangles(record);
                for (uint32_t j = 0; j < RAYTR::kd_record_triangle_count(record); ++j)
                    triangles.insert(tri[3 * j]); // every vertex belongs to one triangle here
                const uint32_t* sph = RAYTR::kd_record_spheres(record);
                spheres.insert(sph, sph + RAYTR::kd_record_sphere_count(record));
            }
            double inner_lo[3], inner_hi[3], outer_lo[3], outer_hi[3];
            for (int a = 0; a < 3; ++a) {
                inner_lo[a] = space.min[a] + tolerance;
                inner_hi[a] = space.max[a] - tolerance;
                outer_lo[a] = box.min[a] - tolerance;
                outer_hi[a] = box.max[a] + tolerance;
            }
            // A split beyond its node turns one child's box inside out; no ray
            // enters it, and what it lists does not matter.
            const bool inside_out = box.min[0] > box.max[0] || box.min[1] > box.max[1] || box.min[2] > box.max[2];
            const bool has_inside = inner_lo[0] < inner_hi[0] && inner_lo[1] < inner_hi[1] && inner_lo[2] < inner_hi[2];
            const auto judge = [&](bool reaches_inside, bool reaches_outside, bool in_record, const char* kind,
                                   uint32_t index) {
                if (has_inside && reaches_inside) {
                    EXPECT_TRUE(in_record) << kind << " " << index << " reaches into leaf " << node << ", seed " << seed;
                    ++listed;
                } else if (!inside_out && !reaches_outside) {
                    EXPECT_FALSE(in_record) << kind << " " << index << " misses leaf " << node << ", seed " << seed;
                    ++left_out;
                }
            };
            for (uint32_t t = 0; t < n_triangles; ++t) {
                const Vec4 corners[3] = {s.vertices[s.indices[3 * t]].pos, s.vertices[s.indices[3 * t + 1]].pos,
                                         s.vertices[s.indices[3 * t + 2]].pos};
                judge(clipped_triangle_meets_box(corners, inner_lo, inner_hi),
                      clipped_triangle_meets_box(corners, outer_lo, outer_hi), triangles.count(s.indices[3 * t]) > 0,
                      "triangle", t);
            }
            for (uint32_t i = 0; i < s.spheres.size(); ++i) {
                const Sphere& sp = s.spheres[i];
                bool inside = true, outside = true;
                for (int a = 0; a < 3; ++a) {
                    const double lo = sp.center[a] - sp.radius, hi = sp.center[a] + sp.radius;
                    inside = inside && lo < inner_hi[a] && hi > inner_lo[a];
                    outside = outside && lo < outer_hi[a] && hi > outer_lo[a];
                }
                judge(inside, outside, spheres.count(i) > 0, "sphere", i);
            }
        }
        EXPECT_GT(listed, 1000) << seed;
        EXPECT_GT(left_out, 10000) << seed;
    }
}

// Collinear triangles give a world box without surface: no candidate has a
// cost, and splitting at the search's initial choice would separate nothing
// down to the depth budget and overflow the node array. The node is a leaf.
TEST(KdTreeBuild, BoxWithoutSurfaceIsALeaf)
{
    SceneData s;
    for (int i = 0; i < 5; ++i)
        s.triangle(Vec4(0, 0, 0, 1), Vec4(1, 0, 0, 1), Vec4(2, 0, 0, 1));
    KdTree tree;
    build(tree, s);
    EXPECT_EQ(tree.node_count, 1u);
    EXPECT_EQ(tree.cost_forced_leaves, 1);
    EXPECT_EQ(RAYTR::kd_record_triangle_count(tree.obj_list_data), 5u);
}

TEST(KdTreeBuild, BudgetZeroMakesLeavesThatAreNotCostForced)
{
    // Ten copies of one huge triangle: every node is large enough that
    // splitting pays, but no plane separates them, so the path runs down to
    // depth 20 beside empty leaves.
    SceneData s;
    for (int i = 0; i < 10; ++i)
        s.triangle(Vec4(0, 0, 0, 1), Vec4(1e4f, 0, 0, 1), Vec4(0, 1e4f, 1e4f, 1));
    KdTree tree;
    build(tree, s);
    EXPECT_EQ(check_structure(tree, s), 20);
    EXPECT_EQ(tree.cost_forced_leaves, 0);
    EXPECT_EQ(tree.full_leaf_count, 1);
    EXPECT_EQ(tree.leaf_prim_total, 10);
    EXPECT_EQ(tree.node_count, 41u);
}

TEST(KdTreeBuild, LeafOfMoreThan255KeepsItsFullCount)
{
    // 300 copies of a tiny triangle and 260 tiny spheres: the root is too
    // small to split, so one leaf holds them all.
    SceneData s;
    for (int i = 0; i < 260; ++i)
        s.sphere(0.01f, 0.01f, 0.01f, 0.001f);
    for (int i = 0; i < 300; ++i)
        s.triangle(Vec4(0, 0, 0, 1), Vec4(0.01f, 0, 0, 1), Vec4(0, 0.01f, 0.01f, 1));
    KdTree tree;
    const std::string text = build(tree, s);
    EXPECT_EQ(tree.node_count, 1u);
    EXPECT_EQ(tree.cost_forced_leaves, 1);
    const unsigned char* r = tree.obj_list_data;
    EXPECT_EQ(r[0], 300 & 255);
    EXPECT_EQ(r[1], 260 & 255);
    EXPECT_EQ(r[2], 1);
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(tree.obj_list_data_top, 4u + 300 * 12 + 260 * 4);
    EXPECT_EQ(tree.leaf_prim_total, 560);
    EXPECT_NE(text.find("Avg_Prim (not empty l-fs): 560\n"), std::string::npos) << text;
    check_structure(tree, s);
}

TEST(KdTreeBuild, SecondBuildOfTheSameTreeGivesTheSameResult)
{
    const SceneData s = random_scene(5, 700, 20, 25.0f);
    KdTree tree;
    const std::string first = build(tree, s);
    const std::vector<KdTreeNode> nodes(tree.nodes, tree.nodes + tree.node_count);
    const std::vector<unsigned char> records(tree.obj_list_data, tree.obj_list_data + tree.obj_list_data_top);
    EXPECT_EQ(build(tree, s), first);
    ASSERT_EQ(tree.node_count, nodes.size());
    EXPECT_EQ(0, std::memcmp(tree.nodes, nodes.data(), nodes.size() * sizeof(KdTreeNode)));
    EXPECT_EQ(0, std::memcmp(tree.obj_list_data, records.data(), records.size()));
}

TEST(KdTreeLimits, NodeArrayAndObjectList)
{
    KdTree tree;
    tree.node_count = KdTree::node_capacity - 2;
    tree.nodes[3].word1 = 0x40000000u; // axis 2 survives
    EXPECT_EQ(RAYTR::KdTreeTestAccess::AllocChildren(tree, 3), KdTree::node_capacity - 2);
    EXPECT_EQ(tree.nodes[3].word1, 0x40000000u | (KdTree::node_capacity - 2));
    EXPECT_EQ(tree.node_count, KdTree::node_capacity);

    tree.node_count = KdTree::node_capacity - 1; // 1,048,575: the largest tree
    EXPECT_EQ(out_of_range_text([&] { RAYTR::KdTreeTestAccess::AllocChildren(tree, 0); }),
              "KdTree::subdivide: out of range KdTreeNode array");

    SceneData s;
    s.triangle(Vec4(0, 0, 0, 1), Vec4(1, 0, 0, 1), Vec4(0, 1, 0, 1));
    KdTree list_tree;
    attach(list_tree, s);
    list_tree.obj_list_data = new unsigned char[KdTree::obj_list_capacity];
    list_tree.obj_list_data_size = KdTree::obj_list_capacity;
    // 16 bytes fit while the last byte stays unused; 16 more do not.
    list_tree.obj_list_data_top = KdTree::obj_list_capacity - 17;
    RAYTR::KdTreeTestAccess::MakeLeaf(list_tree, 0, {0});
    EXPECT_EQ(out_of_range_text([&] { RAYTR::KdTreeTestAccess::MakeLeaf(list_tree, 1, {0}); }),
              "KdTree::subdivide: out of memory in obj_list_data");
}

TEST(KdTreeLimits, TrailingPartialTriangleIsIgnored)
{
    SceneData s = random_scene(9, 50, 0, 20.0f);
    KdTree whole;
    const std::string expected = build(whole, s);
    s.indices.push_back(0);
    s.indices.push_back(1);
    KdTree partial;
    EXPECT_EQ(build(partial, s), expected);
}

} // namespace
