// Primitive-box overlap for the kd-tree build.
#include "geometry.h"

#include <cmath>

namespace RAYTR {
namespace build {
namespace {

inline void cross3(const float a[3], const float b[3], float r[3])
{
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}

inline float dot3(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

} // namespace

// Every projection is computed from all three corners, so no rounding
// shortcut enters.
bool triangle_overlaps_box(const float* p0, const float* p1, const float* p2, const KdTreeBox& box)
{
    float m[3], h[3], t0[3], t1[3], t2[3], e[3][3];
    for (int a = 0; a < 3; ++a) {
        m[a] = (box.min[a] + box.max[a]) * 0.5f;
        h[a] = (box.max[a] - box.min[a]) * 0.5f;
        t0[a] = p0[a] - m[a];
        t1[a] = p1[a] - m[a];
        t2[a] = p2[a] - m[a];
    }
    for (int a = 0; a < 3; ++a) {
        e[0][a] = t1[a] - t0[a];
        e[1][a] = t2[a] - t1[a];
        e[2][a] = t0[a] - t2[a];
    }

    // Nine axes: unit axis x edge.
    for (int k = 0; k < 3; ++k) {
        for (int unit_axis = 0; unit_axis < 3; ++unit_axis) {
            float unit[3] = {0.0f, 0.0f, 0.0f};
            unit[unit_axis] = 1.0f;
            float u[3];
            cross3(unit, e[k], u);
            const float q0 = dot3(u, t0), q1 = dot3(u, t1), q2 = dot3(u, t2);
            const float rad = h[0] * std::fabs(u[0]) + h[1] * std::fabs(u[1]) + h[2] * std::fabs(u[2]);
            if (min3(q0, q1, q2) > rad || max3(q0, q1, q2) < -rad)
                return false;
        }
    }

    // Box faces.
    for (int a = 0; a < 3; ++a)
        if (min3(t0[a], t1[a], t2[a]) > h[a] || max3(t0[a], t1[a], t2[a]) < -h[a])
            return false;

    // The triangle's plane against the box corners nearest and farthest along n.
    float n[3];
    cross3(e[0], e[1], n);
    const float d = -dot3(n, t0);
    float vmin[3], vmax[3];
    for (int a = 0; a < 3; ++a) {
        if (n[a] > 0.0f) {
            vmin[a] = -h[a];
            vmax[a] = h[a];
        } else {
            vmin[a] = h[a];
            vmax[a] = -h[a];
        }
    }
    return dot3(n, vmin) + d <= 0.0f && dot3(n, vmax) + d >= 0.0f;
}

bool sphere_overlaps_box(const TAU_MATH::VECTOR<4, float>& c, float r, const KdTreeBox& box)
{
    for (int a = 0; a < 3; ++a) {
        const float m = (box.min[a] + box.max[a]) * 0.5f;
        const float h = (box.max[a] - box.min[a]) * 0.5f;
        const float d = m - c[a];
        if (!(std::fabs(d) < r + h))
            return false;
    }
    return true;
}

} // namespace build
} // namespace RAYTR
