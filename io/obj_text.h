// What the OBJ readers in obj.cpp and obj_plain.cpp share; not part of
// koru_io's interface.
#pragma once

#include <string>

namespace koru {
namespace io {

// tinyobjloader's multi-line texts on one line, without trailing blanks.
std::string one_line(std::string text);

} // namespace io
} // namespace koru
