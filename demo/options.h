// Command-line options of koru_demo. Without options the demo behaves as it
// always has: the GPU engine (or the CPU engine when no CUDA device is
// usable), an endless frame loop, no files written.
#pragma once

#include <string>

namespace demo {

enum class EngineChoice { Default, Gpu, Cpu, OpenGL };

struct Options {
    EngineChoice engine = EngineChoice::Default;
    long frames = 0;        // 0: run until Escape
    std::string screenshot; // PNG of the last presented frame, written at shutdown
    std::string log;        // one line per frame: engine arguments, camera, light
    std::string obj;        // a Wavefront OBJ mesh that stands in for the cubes
    std::string data;       // the folder of the three textures, instead of data/
    bool help = false;
};

// Parses argv; on a bad option or value returns false with a reason in error.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

std::string Usage(const char* program);

} // namespace demo
