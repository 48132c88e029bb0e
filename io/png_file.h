// PNG output of frames: bottom-up RGBA rows, as OpenGL and the engines' frame
// buffers hold them.
#pragma once

#include <string>

namespace koru {
namespace io {

// Writes width x height RGBA pixels (rows bottom to top) as an RGB PNG with
// the top row first. Returns false with a reason in error.
bool WritePng(const std::string& path, int width, int height, const unsigned char* rgba_bottom_up,
              std::string& error);

} // namespace io
} // namespace koru
