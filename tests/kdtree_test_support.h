// Shared by the kd-tree builder tests: scenes held in arrays, the wrappers
// over their primitives, and the split searches and triangle clipping
// written out literally, as references for the builder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

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

namespace kdtree_test {

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

inline KdTreeBox make_box(float x0, float y0, float z0, float x1, float y1, float z1)
{
    KdTreeBox b;
    b.min = Vec4(x0, y0, z0, 0.0f);
    b.max = Vec4(x1, y1, z1, 0.0f);
    return b;
}

inline uint32_t bits_of(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Random triangles and spheres. With `grid` > 0 every coordinate lies on a
// grid of that many steps, so bounds coincide and sorts meet ties.
inline SceneData random_scene(uint32_t seed, int n_triangles, int n_spheres, float scale, int grid = 0,
                              float size = 0.2f)
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

inline void attach(KdTree& tree, const SceneData& s)
{
    tree.SetVertices(s.vertices.data(), static_cast<uint32_t>(s.vertices.size()));
    tree.SetIndices(s.indices.data(), static_cast<uint32_t>(s.indices.size()));
    tree.SetSpheres(s.spheres.data(), static_cast<uint32_t>(s.spheres.size()));
}

// Builds and returns what the build wrote to standard error.
inline std::string build(KdTree& tree, const SceneData& s)
{
    attach(tree, s);
    testing::internal::CaptureStderr();
    tree.Build();
    return testing::internal::GetCapturedStderr();
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

inline SplitChoice literal_naive(const KdTree& tree, const KdTree::PrimitiveList& list, const KdTreeBox& box)
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

inline SplitChoice literal_sah(const KdTree& tree, const KdTree::PrimitiveList& list, const KdTreeBox& box)
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

// Does the triangle meet the box lo..hi? Sutherland-Hodgman clipping in double
// precision, independent of the separating-axis test.
inline bool clipped_triangle_meets_box(const Vec4 (&corners)[3], const double (&lo)[3], const double (&hi)[3])
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

inline bool clipped_triangle_meets_box(const Vec4 (&corners)[3], double half)
{
    const double lo[3] = {-half, -half, -half}, hi[3] = {half, half, half};
    return clipped_triangle_meets_box(corners, lo, hi);
}

} // namespace kdtree_test
