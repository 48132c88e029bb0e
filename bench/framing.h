// Where the benchmark puts the camera and the light for a mesh of any size
// and place: the mesh's bounding box framed by the CPU engine's view.
#pragma once

#include <algorithm>
#include <cmath>

#include "engine/tau_math.h"

namespace koru {
namespace bench {

struct Box_View {
    TAU_MATH::VECTOR<4, float> camera; // position; the camera is not turned and looks down -z
    TAU_MATH::VECTOR<4, float> light;  // position
};

// Room left around the box's picture, as a factor on the camera's distance.
constexpr double frame_margin = 1.05;

// The camera on the line through the box's centre parallel to z, on the +z
// side, just far enough that the face nearest to it fits the engine's view of
// width x height pixels (45 degrees across the width, square pixels); the rest
// of the box lies further away, so its picture lies inside that face's. The
// light is up and to the left of the camera, so that the picture has shape.
inline Box_View frame_box(const float lo[3], const float hi[3], int width, int height)
{
    const double across = std::tan(0.39269909262657166); // tangent of half the view across the width
    const double up = across * height / width;           // the same up the height
    double centre[3], half[3];
    for (int a = 0; a < 3; ++a) {
        centre[a] = 0.5 * (static_cast<double>(lo[a]) + hi[a]);
        half[a] = 0.5 * (static_cast<double>(hi[a]) - lo[a]);
    }
    double distance = frame_margin * std::max(half[0] / across, half[1] / up);
    // A box without width or height (a point, or a line along z) is seen from a unit distance.
    if (!(distance > 0.0))
        distance = 1.0;
    Box_View view;
    view.camera = TAU_MATH::VECTOR<4, float>(static_cast<float>(centre[0]), static_cast<float>(centre[1]),
                                             static_cast<float>(hi[2] + distance), 1.0f);
    view.light = TAU_MATH::VECTOR<4, float>(static_cast<float>(centre[0] - 0.5 * distance),
                                            static_cast<float>(centre[1] + 0.5 * distance),
                                            static_cast<float>(hi[2] + distance), 1.0f);
    return view;
}

} // namespace bench
} // namespace koru
