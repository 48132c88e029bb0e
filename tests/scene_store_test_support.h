// Shared by the scene store tests: the store alone, an initialised one that
// releases itself, scene items made in one call, and how a call was refused.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "engine/graphics_engine.h"
#include "engine/tau_error.h"

namespace scene_store_test {

using Vec4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;
using Sphere = TAU_MATH::SPHERE<4, float>;

// The store alone; exposes the per-frame camera rebuild.
class store_engine : public Common_Graphics_Engine {
public:
    void BeginDrawScene(unsigned, bool) override { UpdateCamMatrices(); }
    void EndDrawScene() override {}
};

// An initialised store, released at the end of the test.
struct Store {
    store_engine engine;
    Store() { engine.Init(4, 4); }
    ~Store() { engine.Release(); }
};

inline Vertex vertex(float x, float y, float z, int material = 0)
{
    Vertex v;
    v.pos = Vec4(x, y, z, 1.0f);
    v.norm = Vec4(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = material;
    return v;
}

inline Sphere sphere(float x, float y, float z, float r, int material = 0)
{
    Sphere s{};
    s.center = Vec4(x, y, z, 1.0f);
    s.radius = r;
    s.radius2 = r * r;
    s.material_id = material;
    return s;
}

// The message of the Out_Of_Range the call throws, or a marker.
inline std::string refusal(const std::function<void()>& call)
{
    testing::internal::CaptureStderr(); // the error announces itself
    std::string text = "<accepted>";
    try {
        call();
    } catch (const TAU_ERROR::Out_Of_Range& e) {
        text = e.message;
    }
    testing::internal::GetCapturedStderr();
    return text;
}

// How a call was refused: the dynamic class of the error of the family it
// threw and its message, or "<accepted>".
struct Outcome {
    std::string error_class;
    std::string message;
};

inline constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
inline constexpr float inf_value = std::numeric_limits<float>::infinity();

inline TAU_GRAPHICS::Point_Light<4, float> light_at(float x, float y, float z)
{
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.pos = Vec4(x, y, z, 1.0f);
    return light;
}

} // namespace scene_store_test
