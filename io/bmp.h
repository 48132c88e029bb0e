// Reads uncompressed 24-bit BMP files into RGBA images.
#pragma once

#include <string>

#include "../engine/image.h"

namespace koru {
namespace io {

// Loads path into image (4 bytes per pixel: R, G, B, 0; rows in file order).
// Returns true; every failure throws File_Error or Image_File_Error naming path.
bool LoadBMP(const std::string& path, IMAGE& image);

} // namespace io
} // namespace koru
