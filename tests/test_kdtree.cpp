// Kd-tree builder: cost and search rules, primitive wrappers, leaf records,
// limits, statistics, and whole trees compared against a slow, literal
// builder on seeded random scenes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/tau_error.h"
#include "simd/simd.h"
#include "kdtree/geometry.h"
#include "kdtree/kdtree.h"

namespace RAYTR {

// Drives single build steps that are private to the builder.
class KdTreeTestAccess {
public:
    static uint32_t AllocChildren(KdTree& tree, uint32_t node) { return tree.AllocChildren(node); }
    static void MakeLeaf(KdTree& tree, uint32_t node, const std::vector<uint32_t>& ids)
    {
        tree.MakeLeaf(node, ids.data(), static_cast<uint32_t>(ids.size()));
    }
};

} // namespace RAYTR

namespace {

using RAYTR::KdTree;
using RAYTR::KdTreeBox;
using RAYTR::KdTreeNode;
using RAYTR::SplitChoice;
using Vec4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Sphere = TAU_MATH::SPHERE<4, float>;

struct SceneData {
    std::vector<Vertex> vertices;
    std::vector<uint32_t> indices;
    std::vector<Sphere> spheres;

    void triangle(const Vec4& a, const Vec4& b, const Vec4& c)
    {
        for (const Vec4* p : {&a, &b, &c}) {
            indices.push_back(static_cast<uint32_t>(vertices.size()));
            Vertex v;
            v.pos = *p;
            vertices.push_back(v);
        }
    }
    void sphere(float x, float y, float z, float r)
    {
        Sphere s{};
        s.center = Vec4(x, y, z, 1.0f);
        s.radius = r;
        s.radius2 = r * r;
        spheres.push_back(s);
    }
};

KdTreeBox make_box(float x0, float y0, float z0, float x1, float y1, float z1)
{
    KdTreeBox b;
    b.min = Vec4(x0, y0, z0, 0.0f);
    b.max = Vec4(x1, y1, z1, 0.0f);
    return b;
}

uint32_t bits_of(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Random triangles and spheres. With `grid` > 0 every coordinate lies on a
// grid of that many steps, so bounds coincide and sorts meet ties.
SceneData random_scene(uint32_t seed, int n_triangles, int n_spheres, float scale, int grid = 0, float size = 0.2f)
{
    std::mt19937 rng(seed);
    auto coord = [&](float lo, float hi) {
        const float u = static_cast<float>(rng() >> 8) * (1.0f / 16777216.0f);
        float x = lo + (hi - lo) * u;
        if (grid > 0)
            x = std::round(x * grid) / grid;
        return x * scale;
    };
    SceneData s;
    for (int i = 0; i < n_spheres; ++i)
        s.sphere(coord(-1, 1), coord(-1, 1), coord(-1, 1), std::max(coord(0, size / 2), 1e-3f * scale));
    for (int t = 0; t < n_triangles; ++t) {
        const float cx = coord(-1, 1) / scale, cy = coord(-1, 1) / scale, cz = coord(-1, 1) / scale;
        auto corner = [&] {
            return Vec4(cx * scale + coord(-size, size), cy * scale + coord(-size, size),
                        cz * scale + coord(-size, size), 1.0f);
        };
        const Vec4 a = corner(), b = corner(), c = corner();
        s.triangle(a, b, c);
    }
    return s;
}

void attach(KdTree& tree, const SceneData& s)
{
    tree.SetVertices(s.vertices.data(), static_cast<uint32_t>(s.vertices.size()));
    tree.SetIndices(s.indices.data(), static_cast<uint32_t>(s.indices.size()));
    tree.SetSpheres(s.spheres.data(), static_cast<uint32_t>(s.spheres.size()));
}

// Builds and returns what the build wrote to standard error.
std::string build(KdTree& tree, const SceneData& s)
{
    attach(tree, s);
    testing::internal::CaptureStderr();
    tree.Build();
    return testing::internal::GetCapturedStderr();
}

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

// Wrappers for every primitive of a scene, in root-list order.
struct Wrappers {
    std::vector<KdTree::KSphere> spheres;
    std::vector<KdTree::KTriangle> triangles;
    KdTree::PrimitiveList list;

    Wrappers(const KdTree& tree, const SceneData& s)
    {
        spheres.reserve(s.spheres.size());
        triangles.reserve(s.indices.size() / 3);
        for (uint32_t i = 0; i < s.spheres.size(); ++i) {
            spheres.emplace_back(&tree, i);
            list.push_back(&spheres.back());
        }
        for (uint32_t k = 0; k + 2 < s.indices.size(); k += 3) {
            triangles.emplace_back(&tree, k);
            list.push_back(&triangles.back());
        }
    }
};

// ---------------------------------------------------------------------------
// The split searches written out step by step, through the virtual bounds,
// with stable sorts, maps and the literal scans.

SplitChoice literal_naive(const KdTree& tree, const KdTree::PrimitiveList& list, const KdTreeBox& box)
{
    float best_cost = 1e38f;
    SplitChoice best{0.0f, 0, true};
    const uint32_t n = static_cast<uint32_t>(list.size());
    for (int a = 0; a < 3; ++a) {
        const float extent = box.max[a] - box.min[a];
        for (const auto* q : list)
            for (int side = 0; side < 2; ++side) {
                const float L = side == 0 ? q->GetMin(a) - extent * 1e-6f : q->GetMax(a) + extent * 1e-6f;
                uint32_t nl = 0, nr = 0;
                for (const auto* r : list) {
                    if (r->GetMax(a) < L) {
                        ++nl;
                    } else {
                        if (r->GetMin(a) < L)
                            ++nl;
                        ++nr;
                    }
                }
                bool verdict;
                const float cost = tree.SAHCost(box, L, a, nl, nr, n, &verdict);
                if (cost < best_cost) {
                    best_cost = cost;
                    best = SplitChoice{L, a, verdict};
                }
            }
    }
    return best;
}

SplitChoice literal_sah(const KdTree& tree, const KdTree::PrimitiveList& list, const KdTreeBox& box)
{
    float best_cost = 1e38f;
    SplitChoice best{0.0f, 0, true};
    const uint32_t n = static_cast<uint32_t>(list.size());
    for (int a = 0; a < 3; ++a) {
        KdTree::PrimitiveList s_min = list;
        std::stable_sort(s_min.begin(), s_min.end(),
                         [a](const auto* x, const auto* y) { return x->GetMin(a) < y->GetMin(a); });
        KdTree::PrimitiveList s_max = s_min;
        std::stable_sort(s_max.begin(), s_max.end(),
                         [a](const auto* x, const auto* y) { return x->GetMax(a) < y->GetMax(a); });
        std::map<const KdTree::KPrimitive*, uint32_t> pos_max, pos_min;
        for (uint32_t i = 0; i < n; ++i) {
            pos_min[s_min[i]] = i;
            pos_max[s_max[i]] = i;
        }
        const float extent = box.max[a] - box.min[a];
        auto offer = [&](float L, uint32_t nl, uint32_t nr) {
            bool verdict;
            const float cost = tree.SAHCost(box, L, a, nl, nr, n, &verdict);
            if (cost < best_cost) {
                best_cost = cost;
                best = SplitChoice{L, a, verdict};
            }
        };
        for (uint32_t j = 0; j < n; ++j) {
            const float L = s_min[j]->GetMin(a) - extent * 1e-6f;
            uint32_t p = pos_max[s_min[j]];
            while (p > 0 && s_max[p]->GetMax(a) > L)
                --p;
            offer(L, j, n - p);
        }
        for (uint32_t k = 0; k < n; ++k) {
            const float L = s_max[k]->GetMax(a) + extent * 1e-6f;
            uint32_t i = pos_min[s_max[k]];
            while (i < n && s_min[i]->GetMin(a) < L)
                ++i;
            offer(L, i, n - k);
        }
    }
    return best;
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

// Does the triangle meet the box lo..hi? Sutherland-Hodgman clipping in double
// precision, independent of the separating-axis test.
bool clipped_triangle_meets_box(const Vec4 (&corners)[3], const double (&lo)[3], const double (&hi)[3])
{
    std::vector<std::array<double, 3>> poly;
    for (const Vec4& c : corners)
        poly.push_back({c[0], c[1], c[2]});
    for (int axis = 0; axis < 3; ++axis)
        for (double sign : {1.0, -1.0}) {
            // Keep p[axis] <= hi (sign 1) or p[axis] >= lo (sign -1).
            const double bound = sign > 0 ? hi[axis] : -lo[axis];
            std::vector<std::array<double, 3>> out;
            for (std::size_t i = 0; i < poly.size(); ++i) {
                const auto& p = poly[i];
                const auto& q = poly[(i + 1) % poly.size()];
                const double dp = sign * p[axis] - bound, dq = sign * q[axis] - bound;
                if (dp <= 0)
                    out.push_back(p);
                if ((dp < 0 && dq > 0) || (dp > 0 && dq < 0)) {
                    const double t = dp / (dp - dq);
                    out.push_back({p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]), p[2] + t * (q[2] - p[2])});
                }
            }
            poly.swap(out);
            if (poly.empty())
                return false;
        }
    return true;
}

bool clipped_triangle_meets_box(const Vec4 (&corners)[3], double half)
{
    const double lo[3] = {-half, -half, -half}, hi[3] = {half, half, half};
    return clipped_triangle_meets_box(corners, lo, hi);
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
// finite or not all ordered, which the build handles apart.
TEST(KdTreeBuild, MatchesLiteralBuilderOnDeepAndIrregularScenes)
{
    auto compare = [](const SceneData& s, const char* what) {
        SCOPED_TRACE(what);
        KdTree tree;
        build(tree, s);
        KdTree twin;
        attach(twin, s);
        Wrappers w(twin, s);
        LiteralTree ref(twin);
        ref.run(w.list, tree.world_box);
        expect_same_tree(tree, ref);
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
