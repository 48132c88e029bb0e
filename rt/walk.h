// What a single-ray kd-tree walk reads and the tests it makes: the tree view,
// the box and triangle tests for one ray, and the hit record. The walk itself
// is in scene_walk.h. Plain functions over plain data, with nothing that only
// a processor has, so the CPU tracer and a GPU kernel run the same code.
#pragma once

#include <cmath>
#include <cstdint>

#include "../engine/hit.h"
#include "../engine/host_device.h"
#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "../kdtree/kdtree_format.h"
#include "intersect.h"

namespace koru {
namespace rt {

using Vec4 = TAU_MATH::VECTOR<4, float>;
using Ray4 = TAU_MATH::RAY<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

// What a walk reads: the flattened kd-tree and the scene's vertices. None of
// it changes during a frame.
struct Tree_View {
    const RAYTR::KdTreeNode* nodes;
    uint32_t node_count; // 0: no tree yet, every ray misses
    RAYTR::KdTreeBox world_box;
    const unsigned char* obj_list;
    const Vertex* vertices;
    float scale; // largest coordinate magnitude of the world box
};

// The scale of Tree_View: the largest |coordinate| of the box's corners.
KORU_HD float box_scale(const RAYTR::KdTreeBox& box)
{
    float scale = 0.0f;
    for (int a = 0; a < 3; ++a) {
        scale = max_or_bound(std::fabs(box.min[a]), scale);
        scale = max_or_bound(std::fabs(box.max[a]), scale);
    }
    return scale;
}

// Slab test of one ray. Entry and exit distances go to tnear and tfar; true
// when the ray meets the box ahead of its origin.
KORU_HD bool intersect_box(const Ray4& ray, const RAYTR::KdTreeBox& box, float& tnear, float& tfar)
{
    const float inv[3] = {1.0f / ray.dir[0], 1.0f / ray.dir[1], 1.0f / ray.dir[2]};
    const Box_Stretch<float> s = slab_stretch<float>(box, ray.pos.v, inv);
    tnear = s.tnear;
    tfar = s.tfar;
    return meets_box(s);
}

// Moller-Trumbore for one ray, without a distance: true on a hit, with the
// weights (1 - u - v, u, v) of a, b and c.
KORU_HD bool intersect_triangle(const Ray4& ray, const Vec4& a, const Vec4& b, const Vec4& c, float weights[3])
{
    float u, v;
    if (!moller_trumbore<float>(ray.pos.v, ray.dir.v, a.v, b.v, c.v, true, u, v))
        return false;
    weights[0] = 1.0f - u - v;
    weights[1] = u;
    weights[2] = v;
    return true;
}

// Fills a triangle hit from the triangle's vertex indices and the weights of
// its corners.
KORU_HD void fill_hit(const Vertex* vertices, const uint32_t* triangle, float w0, float w1, float w2,
                      RAYTR::Hit* hit)
{
    const Vertex& va = vertices[triangle[0]];
    const Vertex& vb = vertices[triangle[1]];
    const Vertex& vc = vertices[triangle[2]];
    const Vec4 point = (va.pos * w0 + vb.pos * w1) + vc.pos * w2;
    const Vec4 normal = (va.norm * w0 + vb.norm * w1) + vc.norm * w2;
    for (int i = 0; i < 3; ++i) {
        hit->pos[i] = point[i];
        hit->norm[i] = normal[i];
    }
    hit->tex_coord[0] = (va.tex_coord[0] * w0 + vb.tex_coord[0] * w1) + vc.tex_coord[0] * w2;
    hit->tex_coord[1] = (va.tex_coord[1] * w0 + vb.tex_coord[1] * w1) + vc.tex_coord[1] * w2;
    hit->tex_id = va.tex_id[0];
    hit->material_id = static_cast<uint8_t>(va.material_id & 0xFF);
    hit->untextured = 0;
    hit->reserved = 0;
    hit->prim_id = -1;
}

struct Traversal_Data {
    uint32_t node;
    float tfar;
};

} // namespace rt
} // namespace koru
