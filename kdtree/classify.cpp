// Which child boxes the primitives of a node being split overlap: the
// plane rules most triangles out of one side, the rest take the triangle-box
// overlap test (Akenine-Möller's separating axes) four at a time.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "../simd/simd.h"
#include "build_scratch.h"
#include "geometry.h"
#include "kdtree.h"

namespace RAYTR {

namespace {

bool within(const KdTreeBox& box, float limit)
{
    for (int a = 0; a < 3; ++a)
        if (!(std::fabs(box.min[a]) <= limit && std::fabs(box.max[a]) <= limit))
            return false;
    return true;
}

} // namespace

// Which child boxes each primitive of list[begin, end) overlaps, into
// side_of by id, and how many go to each child (n: the whole list's length).
// Ranges that do not overlap may be classified side by side: a range keeps
// its pending triangles in its own positions. The child boxes differ from each other only
// on the split axis, and most triangles lie on one side of the plane: the box
// face on that axis rules the other side out at once. The remaining triangle
// tests run four at a time. In long lists most triangles are small beside the
// box and lie inside it, which settles a batch early.
void KdTree::classify(const uint32_t* list, uint32_t begin, uint32_t end, uint32_t n, const KdTreeBox& left_box,
                      const KdTreeBox& right_box, int axis, uint32_t (&child_n)[2], BuildScratch& scratch) const
{
    using koru::simd::float4;
    const KdTreeBox* boxes[2] = {&left_box, &right_box};
    float middle[2], half[2];
    for (int k = 0; k < 2; ++k) {
        middle[k] = (boxes[k]->min[axis] + boxes[k]->max[axis]) * 0.5f;
        half[k] = (boxes[k]->max[axis] - boxes[k]->min[axis]) * 0.5f;
    }
    uint8_t* side_of = scratch.side_of.data();
    uint32_t* pending[2] = {scratch.pending[0].data() + begin, scratch.pending[1].data() + begin};
    uint32_t n_pending[2] = {0, 0};
    child_n[0] = child_n[1] = 0;
    const float* corners = scratch.corners;
    for (uint32_t i = begin; i < end; ++i) {
        const uint32_t id = list[i];
        if (id < sphere_count) {
            const auto& s = spheres[id];
            const bool in_left = build::sphere_overlaps_box(s.center, s.radius, left_box);
            const bool in_right = build::sphere_overlaps_box(s.center, s.radius, right_box);
            side_of[id] = static_cast<uint8_t>((in_left ? 1 : 0) | (in_right ? 2 : 0));
            child_n[0] += in_left;
            child_n[1] += in_right;
            continue;
        }
        side_of[id] = 0;
        const float* c = corners + 9 * static_cast<std::size_t>(id - sphere_count);
        for (int k = 0; k < 2; ++k) {
            const float m = middle[k];
            if (!build::apart_on_axis(c[axis] - m, c[3 + axis] - m, c[6 + axis] - m, half[k]))
                pending[k][n_pending[k]++] = id;
        }
    }

    const bool finite = scratch.finite_corners && within(left_box, build::overlap_finite_limit) &&
                        within(right_box, build::overlap_finite_limit);
    const bool try_inside = static_cast<int64_t>(n) >= naive_search_limit;
    for (int k = 0; k < 2; ++k) {
        const uint8_t bit = static_cast<uint8_t>(1 << k);
        for (uint32_t first = 0; first < n_pending[k]; first += 4) {
            const uint32_t count = std::min<uint32_t>(4, n_pending[k] - first);
            alignas(16) float lanes[3][3][4];
            for (uint32_t l = 0; l < 4; ++l) {
                // A short batch repeats its last triangle.
                const uint32_t id = pending[k][first + std::min(l, count - 1)];
                const float* c = corners + 9 * static_cast<std::size_t>(id - sphere_count);
                for (int corner = 0; corner < 3; ++corner)
                    for (int a = 0; a < 3; ++a)
                        lanes[corner][a][l] = c[3 * corner + a];
            }
            float4 p[3][3];
            for (int corner = 0; corner < 3; ++corner)
                for (int a = 0; a < 3; ++a)
                    p[corner][a] = float4::load(lanes[corner][a]);
            const int hits =
                koru::simd::movemask(finite ? build::triangle_box_overlap<float4, true>(p, *boxes[k], try_inside)
                                            : build::triangle_box_overlap<float4>(p, *boxes[k]));
            for (uint32_t l = 0; l < count; ++l) {
                if (hits & (1 << l)) {
                    side_of[pending[k][first + l]] |= bit;
                    ++child_n[k];
                }
            }
        }
    }
}

} // namespace RAYTR
