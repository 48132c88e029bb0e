#include "screenshot.h"

#include <GL/gl.h>

#include <vector>

#include "../engine/png_file.h"

namespace demo {

bool SaveWindowPng(const std::string& path, int width, int height, std::string& error)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    glFinish();
    // The ray tracers draw the whole window with one pixel transfer and then
    // swap. The front buffer of an X window reads back black under Xvfb,
    // while the back buffer still holds the frame after the swap (Mesa copies
    // on swap), so the frame is read from there.
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    if (glGetError() != GL_NO_ERROR) {
        error = "glReadPixels failed";
        return false;
    }
    return koru::io::WritePng(path, width, height, pixels.data(), error);
}

} // namespace demo
