// The single-ray front-to-back walk of the ray tracers, reading the scene
// through an accessor: plain arrays on the host, texture objects on the GPU.
// The GPU tracer's accessors test the spheres that the leaf records list as
// well as their triangles; the CPU tracer's (traverse_ray) draws triangles
// only.
//
// An accessor S offers, all const and KORU_HD, and with_spheres:
//   uint32_t node_count()             0: no tree, every ray misses
//   float scale()                     box_scale of the world box
//   RAYTR::KdTreeNode node(uint32_t)  node i of the flattened tree
//   uint32_t list_word(uint32_t)      32-bit word i of the object list
//   Vec4 vertex_pos(uint32_t)         position of vertex i
//   Vertex vertex(uint32_t)           vertex i
//   Sphere sphere(uint32_t)           sphere i (only where with_spheres)
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../kdtree/kdtree_format.h"
#include "intersect.h"
#include "sphere.h"
#include "walk.h"

namespace koru {
namespace rt {

// The primitive a leaf accepted last: a triangle (its first index word in
// the object list) or a sphere, with what its hit needs.
struct Leaf_Pick {
    bool found;      // false: the leaf accepted nothing
    uint32_t word;   // triangle: object-list word of its first index
    uint32_t sphere; // sphere: its index
    bool is_sphere;
    float u, v;      // triangle weights of the second and third corner
    float t;         // sphere distance
};

// Nearest accepted primitive of a leaf by squared distance, triangles first
// and then spheres in record order, a later one winning a tie (the rule of
// intersect_leaf). Returns the distance; KD_INFINITY for an empty leaf,
// no_hit_distance when nothing was accepted.
template <class S>
KORU_HD float intersect_leaf_primitives(const S& scene, const Ray4& ray, const RAYTR::KdTreeNode& leaf,
                                        Leaf_Pick& pick)
{
    const int32_t offset = RAYTR::kd_leaf_offset(leaf);
    if (offset < 0)
        return RAYTR::KD_INFINITY;
    // Records start on word boundaries: 4 bytes of counts, then words.
    const uint32_t head = static_cast<uint32_t>(offset) / 4u;
    const uint32_t counts = scene.list_word(head);
    const unsigned char count_bytes[4] = {static_cast<unsigned char>(counts & 0xFFu),
                                          static_cast<unsigned char>((counts >> 8) & 0xFFu),
                                          static_cast<unsigned char>((counts >> 16) & 0xFFu),
                                          static_cast<unsigned char>(counts >> 24)};
    const unsigned n_triangles = RAYTR::kd_record_triangle_count(count_bytes);
    const unsigned n_spheres = S::with_spheres ? RAYTR::kd_record_sphere_count(count_bytes) : 0u;

    float best = RAYTR::KD_INFINITY;
    uint32_t word = head + 1u;
    for (unsigned k = 0; k < n_triangles; ++k, word += 3u) {
        const Vec4 a = scene.vertex_pos(scene.list_word(word));
        const Vec4 b = scene.vertex_pos(scene.list_word(word + 1u));
        const Vec4 c = scene.vertex_pos(scene.list_word(word + 2u));
        float u, v, d2;
        if (!moller_trumbore<float>(ray.pos.v, ray.dir.v, a.v, b.v, c.v, true, u, v) ||
            !accept_hit<float>(ray.pos.v, ray.dir.v, a.v, b.v, c.v, true, u, v, best, d2))
            continue;
        best = d2;
        pick.found = true;
        pick.word = word;
        pick.is_sphere = false;
        pick.u = u;
        pick.v = v;
    }
    if constexpr (S::with_spheres) {
        for (unsigned k = 0; k < n_spheres; ++k, ++word) {
            const uint32_t index = scene.list_word(word);
            float t;
            if (!intersect_sphere(ray.pos.v, ray.dir.v, scene.sphere(index), t))
                continue;
            const float d2 = t * t;
            if (d2 > best)
                continue;
            best = d2;
            pick.found = true;
            pick.sphere = index;
            pick.is_sphere = true;
            pick.t = t;
        }
    }
    return std::sqrt(best);
}

// The hit of a leaf's pick: fill_hit for a triangle, fill_sphere_hit for a
// sphere.
template <class S>
KORU_HD void fill_pick(const S& scene, const Ray4& ray, const Leaf_Pick& pick, RAYTR::Hit* hit)
{
    if constexpr (S::with_spheres) {
        if (pick.is_sphere) {
            fill_sphere_hit(ray.pos.v, ray.dir.v, pick.t, scene.sphere(pick.sphere), pick.sphere, hit);
            return;
        }
    }
    const Vertex corners[3] = {scene.vertex(scene.list_word(pick.word)), scene.vertex(scene.list_word(pick.word + 1u)),
                               scene.vertex(scene.list_word(pick.word + 2u))};
    const uint32_t triangle[3] = {0u, 1u, 2u};
    fill_hit(corners, triangle, 1.0f - pick.u - pick.v, pick.u, pick.v, hit);
}

// Front-to-back walk of one ray (unit-length direction) through the tree of
// world box `box`: true when a primitive is hit, and then, when hit is not
// null, hit filled for the nearest one. A shadow ray passes null: the walk
// stops at the first leaf that holds a hit, which is the nearest-hit walk's
// answer, without filling a record.
template <class S>
KORU_HD bool walk_scene(const S& scene, const RAYTR::KdTreeBox& box, const Ray4& ray, RAYTR::Hit* hit)
{
    if (scene.node_count() == 0)
        return false;
    float tnear, tfar;
    // A ray that meets the box, be it only on its surface, walks the tree.
    if (!intersect_box(ray, box, tnear, tfar))
        return false;
    tnear = max_or_bound(tnear, 0.0f);
    const float scale = scene.scale();

    float inv[3];
    uint32_t upper_is_far[3];
    for (int a = 0; a < 3; ++a) {
        inv[a] = 1.0f / ray.dir[a];
        upper_is_far[a] = far_child_is_upper(ray.dir[a]);
    }

    Traversal_Data stack[walk_stack_size];
    int depth = 0;
    uint32_t node = 0;
    for (;;) {
        RAYTR::KdTreeNode n = scene.node(node);
        while (!RAYTR::kd_is_leaf(n)) {
            const int a = RAYTR::kd_axis(n);
            const uint32_t lower = RAYTR::kd_left_child(n);
            const uint32_t far_child = lower + upper_is_far[a];
            const uint32_t near_child = lower + 1u - upper_is_far[a];
            const float t = split_distance(RAYTR::kd_split_position(n), ray.pos[a], inv[a]);
            if (t <= tnear) {
                node = far_child;
            } else if (t >= tfar) {
                node = near_child;
            } else {
                stack[depth].node = far_child;
                stack[depth].tfar = tfar;
                ++depth;
                tfar = t;
                node = near_child;
            }
            n = scene.node(node);
        }
        // The hit counts only when it lies within this leaf's stretch.
        Leaf_Pick pick = {};
        if (hit_in_leaf(intersect_leaf_primitives(scene, ray, n, pick), tfar, scale)) {
            if (hit != nullptr)
                fill_pick(scene, ray, pick, hit);
            return true;
        }
        if (depth == 0)
            return false;
        tnear = tfar;
        --depth;
        node = stack[depth].node;
        tfar = stack[depth].tfar;
    }
}

// A Tree_View's triangles as the walk reads them: the CPU tracer draws no
// spheres.
struct Tree_Triangles {
    static constexpr bool with_spheres = false;
    const Tree_View& tree;

    KORU_HD uint32_t node_count() const { return tree.node_count; }
    KORU_HD float scale() const { return tree.scale; }
    KORU_HD RAYTR::KdTreeNode node(uint32_t i) const { return tree.nodes[i]; }
    KORU_HD uint32_t list_word(uint32_t i) const { return reinterpret_cast<const uint32_t*>(tree.obj_list)[i]; }
    KORU_HD Vec4 vertex_pos(uint32_t i) const { return tree.vertices[i].pos; }
    KORU_HD Vertex vertex(uint32_t i) const { return tree.vertices[i]; }
};

// A Tree_View's triangles and the spheres its leaf records list: the whole
// scene, as the GPU tracer draws it.
struct Tree_Primitives : Tree_Triangles {
    static constexpr bool with_spheres = true;
    const Sphere* spheres;

    KORU_HD Sphere sphere(uint32_t i) const { return spheres[i]; }
};

// Nearest accepted triangle of a leaf, ordered by squared distance from the
// origin (the later triangle wins a tie). Returns that distance, with hit
// filled; KD_INFINITY for an empty leaf, no_hit_distance when nothing was
// accepted. Spheres in the record are skipped.
KORU_HD float intersect_leaf(const Ray4& ray, const RAYTR::KdTreeNode& leaf, const unsigned char* obj_list,
                             const Vertex* vertices, RAYTR::Hit* hit)
{
    Tree_View view{};
    view.obj_list = obj_list;
    view.vertices = vertices;
    const Tree_Triangles triangles{view};
    Leaf_Pick pick = {};
    const float dist = intersect_leaf_primitives(triangles, ray, leaf, pick);
    if (pick.found)
        fill_pick(triangles, ray, pick, hit);
    return dist;
}

// Front-to-back walk of one ray (unit-length direction) over the triangles.
// 0xFFFFFFFF when a triangle is hit, with hit filled for the nearest; 0 on a
// miss.
KORU_HD uint32_t traverse_ray(const Tree_View& tree, const Ray4& ray, RAYTR::Hit* hit)
{
    return walk_scene(Tree_Triangles{tree}, tree.world_box, ray, hit) ? 0xFFFFFFFFu : 0u;
}

} // namespace rt
} // namespace koru
