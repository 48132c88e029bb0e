// GLUT windows for the GL tests, which share one process: GLUT is set up once,
// and a test that needs fresh OpenGL state opens a window (and so a context)
// of its own.
#pragma once

#include <GL/freeglut.h>

namespace gl_test {

inline void init_glut_once()
{
    if (glutGet(GLUT_INIT_STATE))
        return;
    int argc = 1;
    char name[] = "koru_gl_tests";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL);
}

// A new window of the given size; its context is current.
inline int open_window(int width, int height)
{
    init_glut_once();
    glutInitWindowSize(width, height);
    const int window = glutCreateWindow("koru_gl_tests");
    glutDisplayFunc([] {});
    return window;
}

// GLUT destroys windows in its event loop; one pass makes it happen now.
inline void close_window(int window)
{
    glutDestroyWindow(window);
    glutMainLoopEvent();
}

} // namespace gl_test
