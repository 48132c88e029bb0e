// The quadric each image carries for the rasterizer's textured spheres.
#include <GL/glu.h>

#include "../engine/image.h"

namespace koru {

GLUquadric* new_image_quadric() { return gluNewQuadric(); }

void delete_image_quadric(GLUquadric* quadric)
{
    if (quadric != nullptr)
        gluDeleteQuadric(quadric);
}

} // namespace koru
