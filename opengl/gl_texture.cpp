#include "gl_texture.h"

#include <GL/gl.h>
#include <GL/glu.h>

namespace koru {
namespace gl {

namespace {

void build_mipmaps(const IMAGE& texture)
{
    gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGBA, texture.width, texture.height, GL_RGBA, GL_UNSIGNED_BYTE,
                      texture.data);
}

} // namespace

void bind_texture(IMAGE& texture)
{
    if (!texture.first_bind) {
        glBindTexture(GL_TEXTURE_2D, texture.id);
        build_mipmaps(texture);
        return;
    }
    // Texel rows follow each other without padding.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    GLuint name = 0;
    glGenTextures(1, &name);
    texture.id = name;
    glBindTexture(GL_TEXTURE_2D, name);
    build_mipmaps(texture);
    gluQuadricTexture(texture.quadric, GL_TRUE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    texture.first_bind = false;
}

} // namespace gl
} // namespace koru
