// An RGBA image held in memory: engine textures and the demo's BMP files.
#pragma once

#include <cstring>
#include <string>

#include "module_local.h"
#include "tau_error.h"

// GLU's quadric, as <GL/glu.h> declares it for C++; the header stays free
// of OpenGL.
class GLUquadric;

namespace koru {
// gluNewQuadric and gluDeleteQuadric, called inside the library.
GLUquadric* new_image_quadric();
void delete_image_quadric(GLUquadric* quadric);
} // namespace koru

class IMAGE {
public:
    int width;
    int height;
    unsigned char* data = nullptr;      // 4 bytes per pixel (R, G, B, A), rows packed
    GLUquadric* quadric;                // for textured quadrics of the rasterizer
    unsigned id;                        // serial number, later the OpenGL texture name
    bool first_bind = true;             // cleared once the rasterizer made the texture
    std::string name;

    // Width and height stay unset until SetSize.
    IMAGE() : quadric(koru::new_image_quadric()), id(koru::next_image_serial()) {}
    ~IMAGE()
    {
        delete[] data;
        koru::delete_image_quadric(quadric);
    }

    IMAGE(const IMAGE&) = delete;
    IMAGE& operator=(const IMAGE&) = delete;

    void SetSize(int w, int h)
    {
        width = w;
        height = h;
        delete[] data;
        data = nullptr;
        data = new unsigned char[ByteCount()];
    }

    void CopyFromBuffer(const void* source, std::size_t size)
    {
        if (size != ByteCount())
            throw TAU_ERROR::Out_Of_Range("IMAGE::CopyFromBuffer incorrect size given");
        std::memcpy(data, source, size);
    }

    std::size_t ByteCount() const
    {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4u;
    }
};
