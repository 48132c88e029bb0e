// The demo program's state, GLUT callbacks, error handlers and frame loop.
#pragma once

#include <iosfwd>
#include <string>

#include "../engine/engines.h"
#include "../engine/tau_error.h"

namespace demo {

struct DemoState {
    IGraphicsEngine* engine = nullptr;
    TAU_MATH::VECTOR<4, float> cam_rotation{0.0f, 0.0f, 0.0f, 0.0f}; // degrees about x, y, z
    TAU_MATH::VECTOR<4, float> cam_move{0.0f, 0.0f, 0.0f, 0.0f};     // applied once, next frame
    int last_x = 0;
    int last_y = 0;
    bool left_down = false;
    bool right_down = false;
    bool quit = false;
    int depth = 4;
    bool shadows = false;
    float fps = 60.0f;
    float light_angle = 1.0f;
    unsigned frame_count = 0;
    int time_ref = 0;
};

// "class " and the demangled dynamic class name, e.g. "class TAU_ERROR::Out_Of_Range".
std::string ErrorClassName(const std::exception& error);

// What the handlers print for an error of the family: the class line, then the message.
void ReportError(const TAU_ERROR::Error& error, std::ostream& out);

// Input handlers: they change only the state; the engine sees it next frame.
void HandleKey(DemoState& state, unsigned char key);
void HandleMouse(DemoState& state, int button, int button_state, int x, int y);
void HandleMotion(DemoState& state, int x, int y);

} // namespace demo

namespace demo {

// The program: options, window, scene, frame loop. Returns only for --help
// and bad options; every other way out ends the process.
int RunDemo(int argc, char** argv);

} // namespace demo
