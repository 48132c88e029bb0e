// The demo's screenshots: the window's frame written as a PNG.
#pragma once

#include <string>

namespace demo {

// Reads the window's back buffer, which holds the frame just drawn until the
// next frame clears or overwrites it, and writes it.
bool SaveWindowPng(const std::string& path, int width, int height, std::string& error);

} // namespace demo
