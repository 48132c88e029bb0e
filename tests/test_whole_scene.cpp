// The CPU tracer's whole-scene mode (spheres, shadows on request, mirror
// reflections): its packets against the single-ray per-pixel path, its
// frames against the host emulation of the GPU engine, and the sphere test's
// precision at the demo's grazing rays.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "rt/shading.h"
#include "rt/sphere.h"

using V4 = TAU_MATH::VECTOR<4, float>;

namespace {

using koru::rt::Sphere;

Sphere make_sphere(float x, float y, float z, float radius, int material = 0)
{
    Sphere s;
    s.center = V4(x, y, z, 1.0f);
    s.radius = radius;
    s.radius2 = radius * radius;
    s.material_id = material;
    return s;
}

// The nearest surface point of the ray ahead of its origin, solved in double
// precision for the ray's float origin and direction: false for a miss.
bool exact_sphere_hit(const float origin[3], const float dir[3], const Sphere& s, double point[3])
{
    double oc[3], a = 0.0, b = 0.0, c = 0.0;
    for (int i = 0; i < 3; ++i) {
        oc[i] = static_cast<double>(origin[i]) - static_cast<double>(s.center[i]);
        a += static_cast<double>(dir[i]) * dir[i];
        b += oc[i] * dir[i];
        c += oc[i] * oc[i];
    }
    c -= static_cast<double>(s.radius) * s.radius;
    const double discriminant = b * b - a * c;
    if (discriminant < 0.0)
        return false;
    double t = (-b - std::sqrt(discriminant)) / a;
    if (t <= 0.0)
        t = (-b + std::sqrt(discriminant)) / a;
    if (t <= 0.0)
        return false;
    for (int i = 0; i < 3; ++i)
        point[i] = origin[i] + t * dir[i];
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// The sphere test at the demo's first frame: camera at (0, 0, 10) looking down
// -z, 640 x 480, spheres 0 and 1 of the demo 13 units away.

TEST(SpherePrecision, DemoGrazingRays)
{
    const float origin[3] = {0.0f, 0.0f, 10.0f};
    const Sphere sphere0 = make_sphere(1.5f, -2.0f, -3.0f, 1.0f);
    const Sphere sphere1 = make_sphere(-1.0f, -2.0f, -3.0f, 1.0f);

    // Pixel (320, 121) passes 3e-6 outside sphere 1.
    const V4 passing = koru::rt::eye_ray_direction(320, 121, 640, 480);
    ASSERT_EQ(passing[0], 0.0f);
    ASSERT_EQ(passing[1], -0.152240157f);
    ASSERT_EQ(passing[2], -0.988343537f);
    double exact[3];
    ASSERT_FALSE(exact_sphere_hit(origin, passing.v, sphere1, exact));
    float t = 0.0f;
    EXPECT_FALSE(koru::rt::intersect_sphere(origin, passing.v, sphere1, t)) << "hit at distance " << t;

    // Pixel (432, 176) grazes sphere 0: the hit point must be where the
    // exact solution puts it, not 2e-4 away.
    const V4 grazing = koru::rt::eye_ray_direction(432, 176, 640, 480);
    ASSERT_TRUE(exact_sphere_hit(origin, grazing.v, sphere0, exact));
    ASSERT_TRUE(koru::rt::intersect_sphere(origin, grazing.v, sphere0, t));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(origin[i] + t * grazing[i], exact[i], 2e-5) << "axis " << i;

    // Rays from the same camera that pass the same spheres at 2e-6 to 1e-4
    // from their surfaces, inside or outside: hit exactly when they should.
    std::mt19937 rng(18);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int wrong = 0, n = 0;
    for (const Sphere* s : {&sphere0, &sphere1})
        for (int k = 0; k < 2000; ++k, ++n) {
            // A point near the sphere's silhouette, seen from the origin.
            const double angle = 2.0 * 3.14159265358979 * unit(rng);
            const double miss = (k % 2 ? 1.0 : -1.0) * std::pow(10.0, -5.7 + 1.7 * unit(rng));
            double to_centre[3], along = 0.0;
            for (int i = 0; i < 3; ++i) {
                to_centre[i] = static_cast<double>(s->center[i]) - origin[i];
                along += to_centre[i] * to_centre[i];
            }
            along = std::sqrt(along);
            // Two unit vectors across the line of sight.
            double u[3] = {-to_centre[2], 0.0, to_centre[0]};
            const double lu = std::sqrt(u[0] * u[0] + u[2] * u[2]);
            for (double& x : u)
                x /= lu;
            double w[3] = {to_centre[1] * u[2] - to_centre[2] * u[1], to_centre[2] * u[0] - to_centre[0] * u[2],
                           to_centre[0] * u[1] - to_centre[1] * u[0]};
            for (double& x : w)
                x /= along;
            // Tilted off the line of sight so that the line passes at
            // radius + miss from the centre.
            const double sine = (s->radius + miss) / along, cosine = std::sqrt(1.0 - sine * sine);
            float dir[3];
            for (int i = 0; i < 3; ++i)
                dir[i] = static_cast<float>(cosine * to_centre[i] / along +
                                            sine * (std::cos(angle) * u[i] + std::sin(angle) * w[i]));
            // The gap as the float direction has it; closer calls than this
            // are beyond single precision.
            double b = 0.0, dd = 0.0;
            for (int i = 0; i < 3; ++i) {
                b += -to_centre[i] * dir[i];
                dd += static_cast<double>(dir[i]) * dir[i];
            }
            double gap2 = 0.0;
            for (int i = 0; i < 3; ++i) {
                const double f = -to_centre[i] - b / dd * dir[i];
                gap2 += f * f;
            }
            if (std::fabs(std::sqrt(gap2) - s->radius) < 1.5e-6)
                continue;
            const bool expected = exact_sphere_hit(origin, dir, *s, exact);
            wrong += koru::rt::intersect_sphere(origin, dir, *s, t) != expected;
        }
    EXPECT_EQ(wrong, 0) << "of " << n << " grazing rays";
}
