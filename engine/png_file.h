// PNG files as bottom-up RGBA rows, as OpenGL, the engines' frame buffers and
// their textures hold them: frames written, textures read.
#pragma once

#include <string>
#include <vector>

namespace koru {
namespace io {

// Writes width x height RGBA pixels (rows bottom to top) as an RGB PNG with
// the top row first. Returns false with a reason in error.
bool WritePng(const std::string& path, int width, int height, const unsigned char* rgba_bottom_up,
              std::string& error);

// Reads path as width x height RGBA pixels (rows bottom to top), whatever
// its colour type and depth. Returns false with libpng's reason in error.
bool ReadPng(const std::string& path, int& width, int& height, std::vector<unsigned char>& rgba_bottom_up,
             std::string& error);

} // namespace io
} // namespace koru
