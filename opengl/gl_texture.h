// Scene textures as OpenGL textures, for the rasterizer.
#pragma once

#include "engine/image.h"

namespace koru {
namespace gl {

// On the first call for a stored image creates its OpenGL texture (the name
// goes into the image's id), uploads the pixels with all mipmap levels and
// sets repeating, linear filtering and modulation; every later call binds
// that texture and uploads the pixels anew. Needs a current OpenGL context.
void bind_texture(IMAGE& texture);

} // namespace gl
} // namespace koru
