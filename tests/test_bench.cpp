// The benchmark's framing of an OBJ mesh, against the engine's own primary
// rays: every corner of the mesh's box lies inside the picture, and the box's
// picture reaches nearly across it. And its command line, run as a user would.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "bench/framing.h"
#include "rt/shading.h"

namespace {

// Slope (offset over distance ahead) of the engine's ray through pixel (x, y)
// on axis a (0 across, 1 up), with the camera not turned.
double pixel_slope(int x, int y, int width, int height, int a)
{
    const koru::rt::Vec4 d = koru::rt::eye_ray_direction(x, y, width, height);
    return static_cast<double>(d[a]) / -static_cast<double>(d[2]);
}

TEST(BenchFraming, BoxInsideThePictureAndFillingIt)
{
    const int sizes[3][2] = {{640, 480}, {480, 640}, {100, 100}};
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> centre(-100.0, 100.0);
    std::uniform_real_distribution<double> log_half(std::log(0.01), std::log(100.0));
    for (int trial = 0; trial < 300; ++trial) {
        const int width = sizes[trial % 3][0], height = sizes[trial % 3][1];
        float lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            const double c = centre(rng), h = std::exp(log_half(rng));
            lo[a] = static_cast<float>(c - h);
            hi[a] = static_cast<float>(c + h);
        }
        const koru::bench::Box_View view = koru::bench::frame_box(lo, hi, width, height);
        const double left = pixel_slope(0, height / 2, width, height, 0);
        const double right = pixel_slope(width - 1, height / 2, width, height, 0);
        const double bottom = pixel_slope(width / 2, 0, width, height, 1);
        const double top = pixel_slope(width / 2, height - 1, width, height, 1);

        double reach = 0.0; // of the picture's half width or half height, whichever is more
        for (int corner = 0; corner < 8; ++corner) {
            double q[3];
            for (int a = 0; a < 3; ++a)
                q[a] = static_cast<double>((corner >> a) & 1 ? hi[a] : lo[a]) - view.camera[a];
            ASSERT_LT(q[2], 0.0) << "trial " << trial << ": a corner behind the camera";
            const double sx = q[0] / -q[2], sy = q[1] / -q[2];
            EXPECT_GE(sx, left) << "trial " << trial;
            EXPECT_LE(sx, right) << "trial " << trial;
            EXPECT_GE(sy, bottom) << "trial " << trial;
            EXPECT_LE(sy, top) << "trial " << trial;
            reach = std::max({reach, sx / right, sy / top});
        }
        EXPECT_GT(reach, 0.9) << "trial " << trial << ": the box looks small";
        EXPECT_GT(view.light[2], hi[2]) << "trial " << trial << ": the light is not in front of the box";
    }
}

// A bad value is named, with what the option takes, before the usage; the
// status is 2 and no frame is drawn.
TEST(BenchOptions, BadValuesSayWhatIsWrong)
{
    const std::pair<const char*, const char*> cases[] = {
        {"--frames 0", "koru_bench: --frames needs a positive whole number, not '0'"},
        {"--packets 3", "koru_bench: --packets needs 4, 8 or 16, not '3'"},
        {"--threads two", "koru_bench: --threads needs a whole number"},
        {"--depth 6", "koru_bench: --depth needs a trace depth from 1 to 5, not '6'"},
        {"--width 0", "koru_bench: --width needs a positive number of pixels, not '0'"},
        {"--height 1e3", "koru_bench: --height needs a positive number of pixels, not '1e3'"},
        {"--frames", "koru_bench: --frames needs a value"},
        {"--fast", "koru_bench: unknown option '--fast'"},
    };
    for (const auto& c : cases) {
        const std::string command = std::string("'") + KORU_BENCH_EXE + "' " + c.first + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            out += buffer;
        const int status = pclose(pipe);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2) << c.first;
        EXPECT_EQ(out.rfind(c.second, 0), 0u) << c.first << ":\n" << out;
        EXPECT_NE(out.find("usage: koru_bench"), std::string::npos) << c.first;
        EXPECT_EQ(out.find("frame checksum"), std::string::npos) << c.first;
    }
}

} // namespace
