// The eye rays: where the frame's primary rays point, how the camera moves
// and turns them, and how the field of view scales them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "cpu_test_support.h"

using namespace cpu_test;

namespace {

std::vector<unsigned> frame_of(const Test_Tracer& engine)
{
    return std::vector<unsigned>(engine.FrameBuffer(),
                                 engine.FrameBuffer() + static_cast<std::size_t>(engine.Width()) * engine.Height());
}

} // namespace

// The eye rays: 45 degrees across, unit length, through integer pixel
// corners; the frame only moves and turns them.
TEST(CpuTracerFrame, PrimaryRaysFollowTheCamera)
{
    Test_Tracer engine;
    engine.Init(40, 30);
    std::vector<Ray4> table(40 * 30);
    for (int i = 0; i < 40 * 30; ++i)
        table[i].dir = koru::rt::eye_ray_direction(i % 40, i / 40, 40, 30);
    const V4 centre = table[15 * 40 + 20].dir;
    EXPECT_EQ(centre[0], 0.0f);
    EXPECT_EQ(centre[1], 0.0f);
    EXPECT_EQ(centre[2], -1.0f);
    // The left edge is 22.5 degrees off the axis.
    const V4 left = table[15 * 40 + 0].dir;
    EXPECT_NEAR(std::atan2(-left[0], -left[2]), 3.1415927 / 8.0, 1e-6);
    for (int i = 0; i < 40 * 30; ++i) {
        const V4 d = table[i].dir;
        ASSERT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1.0f, 1e-6f);
    }

    engine.BeginDrawScene(1, true);
    Ray_Packet before;
    make_primary_packet(engine, 10, 6, before);
    engine.MoveCam(V4(1.0f, -2.0f, 3.0f, 0.0f));
    engine.BeginDrawScene(1, true);
    Ray_Packet after;
    make_primary_packet(engine, 10, 6, after);
    for (int k = 0; k < 4; ++k) {
        EXPECT_FLOAT_EQ(after.origin[0][k] - before.origin[0][k], 1.0f);
        EXPECT_FLOAT_EQ(after.origin[1][k] - before.origin[1][k], -2.0f);
        EXPECT_FLOAT_EQ(after.origin[2][k] - before.origin[2][k], 3.0f);
        for (int a = 0; a < 3; ++a)
            EXPECT_EQ(after.direction[a][k], before.direction[a][k]);
    }
    // Lanes: (x, y), (x+1, y), (x, y+1), (x+1, y+1).
    EXPECT_EQ(before.direction[0][0], table[6 * 40 + 10].dir[0]);
    EXPECT_EQ(before.direction[0][1], table[6 * 40 + 11].dir[0]);
    EXPECT_EQ(before.direction[1][2], table[7 * 40 + 10].dir[1]);
    EXPECT_EQ(before.direction[1][3], table[7 * 40 + 11].dir[1]);
    engine.Release();
}

// 45 degrees is the default to the bit; another angle scales each eye ray's
// slope by the ratio of the half angles' tangents.
TEST(CpuTracerFrame, FieldOfViewScalesEyeRaysByTheTangent)
{
    std::mt19937 rng(7);
    Test_Tracer engine;
    engine.Init(64, 48);
    add_random_scene(engine, rng, 60, 2, nullptr, 0);
    engine.BuildKdTree();
    engine.BeginDrawScene(1, true);
    const std::vector<unsigned> default_frame = frame_of(engine);
    auto slopes = [&engine] {
        std::vector<double> slope; // x and y over -z, block by block, lane by lane
        for (int y = 0; y < 48; y += 2)
            for (int x = 0; x < 64; x += 2) {
                Ray_Packet packet;
                make_primary_packet(engine, x, y, packet);
                for (int k = 0; k < 4; ++k)
                    for (int a = 0; a < 2; ++a)
                        slope.push_back(double(packet.direction[a][k]) / -double(packet.direction[2][k]));
            }
        return slope;
    };
    const std::vector<double> default_slopes = slopes();
    engine.SetFieldOfView(45.0f);
    engine.BeginDrawScene(1, true);
    EXPECT_EQ(frame_of(engine), default_frame);

    engine.SetFieldOfView(30.0f);
    engine.BeginDrawScene(1, true);
    EXPECT_NE(frame_of(engine), default_frame);
    const double ratio = std::tan(15.0 * 3.14159265358979 / 180.0) / std::tan(22.5 * 3.14159265358979 / 180.0);
    const std::vector<double> now = slopes();
    for (std::size_t i = 0; i < now.size(); ++i)
        ASSERT_NEAR(now[i], default_slopes[i] * ratio, 1e-6) << "slope " << i;

    for (float refused : {0.0f, -10.0f, 180.0f, 400.0f, std::nanf(""), INFINITY}) {
        testing::internal::CaptureStderr(); // the error's notice
        EXPECT_THROW(engine.SetFieldOfView(refused), TAU_ERROR::Out_Of_Range) << refused;
        testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(engine.FieldOfView(), 30.0f);
    engine.SetFieldOfView(45.0f);
    engine.BeginDrawScene(1, true);
    EXPECT_EQ(frame_of(engine), default_frame);
    engine.Release();
}
