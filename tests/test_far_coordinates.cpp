// Scenes whose coordinates reach towards the ends of the float range: a far
// triangle must not spoil the tree over the near mesh, and coordinates whose
// sums leave the float range are refused by name.
#include <gtest/gtest.h>

#include <string>

#include "engine/tau_error.h"
#include "kdtree_test_support.h"
#include "rt/scene_walk.h"

namespace {

using kdtree_test::KdTree;
using kdtree_test::SceneData;
using kdtree_test::Vec4;

// The six faces of the cube [-1, 1]^3, each a grid of n x n squares.
SceneData grid_cube(int n)
{
    SceneData s;
    const auto face = [&](Vec4 origin, Vec4 du, Vec4 dv) {
        const auto at = [&](int i, int j) {
            const float u = static_cast<float>(i) / n, v = static_cast<float>(j) / n;
            return Vec4(origin[0] + du[0] * u + dv[0] * v, origin[1] + du[1] * u + dv[1] * v,
                        origin[2] + du[2] * u + dv[2] * v, 1.0f);
        };
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                s.triangle(at(i, j), at(i + 1, j), at(i + 1, j + 1));
                s.triangle(at(i, j), at(i + 1, j + 1), at(i, j + 1));
            }
    };
    face(Vec4(-1, -1, -1, 1), Vec4(2, 0, 0, 0), Vec4(0, 2, 0, 0));
    face(Vec4(-1, -1, 1, 1), Vec4(0, 2, 0, 0), Vec4(2, 0, 0, 0));
    face(Vec4(-1, -1, -1, 1), Vec4(0, 0, 2, 0), Vec4(2, 0, 0, 0));
    face(Vec4(-1, 1, -1, 1), Vec4(2, 0, 0, 0), Vec4(0, 0, 2, 0));
    face(Vec4(-1, -1, -1, 1), Vec4(0, 2, 0, 0), Vec4(0, 0, 2, 0));
    face(Vec4(1, -1, -1, 1), Vec4(0, 0, 2, 0), Vec4(0, 2, 0, 0));
    return s;
}

void small_triangle_at(SceneData& s, float x)
{
    s.triangle(Vec4(x, 0, 0, 1), Vec4(x, 1, 0, 1), Vec4(x, 0, 1, 1));
}

// Two small triangles at x = +-1e38 make a world box whose surface area
// overflows a float. Its split costs were infinity over infinity, so the
// search cut nowhere useful: the near cube ended in leaves of forced size,
// its triangles listed many times over. The cube must be cut as it is
// without them, apart from the two leaves of the far triangles.
TEST(FarCoordinates, FarTrianglesLeaveTheNearMeshItsTree)
{
    const SceneData near_only = grid_cube(4);
    KdTree near_tree;
    kdtree_test::build(near_tree, near_only);

    SceneData far = near_only;
    small_triangle_at(far, 1e38f);
    small_triangle_at(far, -1e38f);
    KdTree far_tree;
    kdtree_test::build(far_tree, far);

    // A leaf record of one triangle takes 16 bytes.
    EXPECT_LE(far_tree.obj_list_data_top, near_tree.obj_list_data_top + 2 * 16 + 64);
    EXPECT_LE(far_tree.leaf_prim_total, near_tree.leaf_prim_total + 2 + 4);

    // Rays straight down onto the top face meet it at z = 1.
    koru::rt::Tree_View view{};
    view.nodes = far_tree.nodes;
    view.node_count = far_tree.node_count;
    view.world_box = far_tree.world_box;
    view.obj_list = far_tree.obj_list_data;
    view.vertices = far.vertices.data();
    view.scale = koru::rt::box_scale(far_tree.world_box);
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j < 9; ++j) {
            TAU_MATH::RAY<4, float> ray;
            ray.pos = Vec4(-0.9f + 0.225f * i + 0.01f, -0.9f + 0.225f * j + 0.02f, 5.0f, 1.0f);
            ray.dir = Vec4(0.0f, 0.0f, -1.0f, 0.0f);
            RAYTR::Hit hit{};
            ASSERT_EQ(koru::rt::traverse_ray(view, ray, &hit), 0xFFFFFFFFu) << i << " " << j;
            EXPECT_NEAR(hit.pos[2], 1.0f, 1e-5f) << i << " " << j;
        }
}

// A triangle at x = 3e38 has a centre whose sum of corners overflows, and
// with one at -3e38 the world box's extent does too: no finite box can be
// cut. The build is refused with a message that names the coordinate.
TEST(FarCoordinates, SumsBeyondTheFloatRangeAreRefusedByName)
{
    for (const bool both_sides : {false, true}) {
        SceneData s = grid_cube(1);
        small_triangle_at(s, 3e38f);
        if (both_sides)
            small_triangle_at(s, -3e38f);
        KdTree tree;
        kdtree_test::attach(tree, s);
        std::string message;
        testing::internal::CaptureStderr();
        try {
            tree.Build();
        } catch (const TAU_ERROR::Out_Of_Range& e) {
            message = e.message;
        }
        testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find("x = 3e+38"), std::string::npos) << "'" << message << "'";
    }

    // The same cube with triangles at +-1e38 builds.
    SceneData s = grid_cube(1);
    small_triangle_at(s, 1e38f);
    small_triangle_at(s, -1e38f);
    KdTree tree;
    EXPECT_NO_THROW(kdtree_test::build(tree, s));
}

} // namespace
