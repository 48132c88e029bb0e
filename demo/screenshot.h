// PNG output of frames: bottom-up RGBA rows, as OpenGL reads them.
#pragma once

#include <string>

namespace demo {

// Writes width x height RGBA pixels (rows bottom to top) as an RGB PNG with
// the top row first. Returns false with a reason in error.
bool WritePng(const std::string& path, int width, int height, const unsigned char* rgba_bottom_up,
              std::string& error);

// Reads the window's back buffer, which holds the frame just drawn until the
// next frame clears or overwrites it, and writes it.
bool SaveWindowPng(const std::string& path, int width, int height, std::string& error);

} // namespace demo
