// A packet's rays in lanes, and the leaf tests that read the kd-tree's own
// records: the record's triangles where the engine has no leaf blocks for
// the tree, and the spheres a record lists (the whole scene).
//
// The lane kernels include this through packet_walk.h.
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/hit.h"
#include "../kdtree/kdtree_format.h"
#include "../rt/scene_walk.h"
#include "../simd/simd.h"
#include "lone_rays.h"

namespace koru {
namespace cpu {
namespace {

template <class F>
struct Packet_Rays {
    F origin[3];
    F direction[3];
    F inv[3];

    template <class Packet>
    explicit Packet_Rays(const Packet& packet)
    {
        for (int a = 0; a < 3; ++a) {
            origin[a] = F::load(packet.origin[a]);
            direction[a] = F::load(packet.direction[a]);
            inv[a] = F(1.0f) / direction[a];
        }
    }
};

// The spheres a leaf record lists, tested for the active lanes after the
// leaf's triangles, as the single-ray walk tests them: a sphere not farther
// than a lane's best so far (squared distance) wins, a tie going to the later
// primitive. best, sphere (its index, as a float) and t take the winners'
// values; returns the lanes a sphere won.
template <class F>
Mask<F> leaf_spheres(const rt::Sphere* spheres, const unsigned char* record, const Packet_Rays<F>& rays,
                     Mask<F> active, F& best, F& sphere, F& t)
{
    const unsigned n_spheres = RAYTR::kd_record_sphere_count(record);
    const uint32_t* index = RAYTR::kd_record_spheres(record);
    Mask<F> won(false);
    for (unsigned k = 0; k < n_spheres; ++k) {
        F t_k(0.0f);
        Mask<F> hit = rt::intersect_sphere<F>(rays.origin, rays.direction, spheres[index[k]], active, t_k);
        if (simd::none(hit))
            continue;
        const F d2 = t_k * t_k;
        hit = andnot(hit, d2 > best);
        best = simd::select(hit, d2, best);
        sphere = simd::select(hit, F(static_cast<float>(index[k])), sphere);
        t = simd::select(hit, t_k, t);
        won = won | hit;
    }
    return won;
}

// The lanes that meet one of the record's spheres within the leaf's stretch.
template <class F>
Mask<F> spheres_occlude(const rt::Sphere* spheres, const unsigned char* record, const Packet_Rays<F>& rays,
                        Mask<F> active, F tfar, float scale)
{
    const unsigned n_spheres = RAYTR::kd_record_sphere_count(record);
    const uint32_t* index = RAYTR::kd_record_spheres(record);
    Mask<F> occluded(false);
    for (unsigned k = 0; k < n_spheres && !simd::none(active); ++k) {
        F t(0.0f);
        const Mask<F> hit = rt::intersect_sphere<F>(rays.origin, rays.direction, spheres[index[k]], active, t) &
                            rt::hit_in_leaf(simd::sqrt(t * t), tfar, scale);
        occluded = occluded | hit;
        active = andnot(active, hit);
    }
    return occluded;
}

// The leaf test of rt::intersect_leaf for the active lanes of a packet at
// once: the same triangle test per lane, so each lane gets exactly the
// single-ray answer. Returns each lane's nearest accepted distance
// (KD_INFINITY for an empty leaf, no_hit_distance when nothing was accepted);
// hits are filled for the lanes that accepted one.
template <class F>
F intersect_leaf_records(const rt::Tree_View& tree, const rt::Sphere* spheres, const RAYTR::KdTreeNode& leaf,
                         const Packet_Rays<F>& rays, Mask<F> active, RAYTR::Hit hits[])
{
    constexpr int n = F::size;
    const int32_t offset = RAYTR::kd_leaf_offset(leaf);
    if (offset < 0)
        return F(RAYTR::KD_INFINITY);
    const unsigned char* record = tree.obj_list + offset;
    const unsigned n_triangles = RAYTR::kd_record_triangle_count(record);
    const uint32_t* triangles = RAYTR::kd_record_triangles(record);

    F best(RAYTR::KD_INFINITY);
    int best_triangle[n];
    for (int k = 0; k < n; ++k)
        best_triangle[k] = -1;
    alignas(F) float best_w[3][n];

    for (unsigned t = 0; t < n_triangles; ++t) {
        const uint32_t* corner = triangles + 3 * t;
        const float* a = tree.vertices[corner[0]].pos.v;
        const float* b = tree.vertices[corner[1]].pos.v;
        const float* c = tree.vertices[corner[2]].pos.v;
        F u, v, d2;
        const Mask<F> met = rt::moller_trumbore<F>(rays.origin, rays.direction, a, b, c, active, u, v);
        if (simd::none(met))
            continue;
        const Mask<F> ok = rt::accept_hit<F>(rays.origin, rays.direction, a, b, c, met, u, v, best, d2);
        const int accepted = simd::movemask(ok);
        if (!accepted)
            continue;
        best = simd::select(ok, d2, best);
        alignas(F) float lane_w[3][n];
        (F(1.0f) - u - v).store(lane_w[0]);
        u.store(lane_w[1]);
        v.store(lane_w[2]);
        for (int k = 0; k < n; ++k)
            if (accepted & (1 << k)) {
                best_triangle[k] = static_cast<int>(t);
                for (int i = 0; i < 3; ++i)
                    best_w[i][k] = lane_w[i][k];
            }
    }

    int sphere_won = 0;
    alignas(F) float lane_sphere[n], lane_t[n], lane_origin[3][n], lane_dir[3][n];
    if (spheres != nullptr) {
        F sphere(-1.0f), t(0.0f);
        sphere_won = simd::movemask(leaf_spheres(spheres, record, rays, active, best, sphere, t));
        sphere.store(lane_sphere);
        t.store(lane_t);
        for (int a = 0; a < 3; ++a) {
            rays.origin[a].store(lane_origin[a]);
            rays.direction[a].store(lane_dir[a]);
        }
    }

    alignas(F) float dist[n];
    best.store(dist);
    for (int k = 0; k < n; ++k) {
        dist[k] = std::sqrt(dist[k]);
        if (sphere_won & (1 << k)) {
            const float origin[3] = {lane_origin[0][k], lane_origin[1][k], lane_origin[2][k]};
            const float dir[3] = {lane_dir[0][k], lane_dir[1][k], lane_dir[2][k]};
            const uint32_t index = static_cast<uint32_t>(lane_sphere[k]);
            rt::fill_sphere_hit(origin, dir, lane_t[k], spheres[index], index, &hits[k]);
        } else if (best_triangle[k] >= 0) {
            rt::fill_hit(tree.vertices, triangles + 3 * best_triangle[k], best_w[0][k], best_w[1][k], best_w[2][k],
                         &hits[k]);
        }
    }
    return F::load(dist);
}

} // namespace
} // namespace cpu
} // namespace koru
