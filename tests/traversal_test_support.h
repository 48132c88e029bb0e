// Shared by the kd-tree walk tests: packets of four given rays, comparing
// two hits, and random scenes built in a fresh engine.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cpu_test_support.h"

namespace traversal_test {

using cpu_test::Ray4;
using cpu_test::Ray_Packet;
using cpu_test::Test_Tracer;
using cpu_test::add_random_scene;

inline Ray_Packet packet_of(const Ray4 rays[4])
{
    Ray_Packet p;
    for (int k = 0; k < 4; ++k)
        koru::cpu::set_lane(p, k, rays[k]);
    return p;
}

inline void expect_same_hit(const RAYTR::Hit& a, const RAYTR::Hit& b)
{
    EXPECT_EQ(0, std::memcmp(a.pos, b.pos, sizeof a.pos));
    EXPECT_EQ(0, std::memcmp(a.norm, b.norm, sizeof a.norm));
    EXPECT_EQ(a.material_id, b.material_id);
}

// A random scene with its kd-tree, in a fresh engine.
inline void build_random(Test_Tracer& engine, unsigned seed, int n_triangles)
{
    std::mt19937 rng(seed);
    engine.Init(8, 8);
    add_random_scene(engine, rng, n_triangles, 1, nullptr, 0);
    engine.BuildKdTree();
}

} // namespace traversal_test
