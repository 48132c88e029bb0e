// The rasterizing engine: the scene store's scene drawn with fixed-function
// OpenGL and GLU into the current window. Triangles are compiled once into
// display lists, spheres and light markers are GLU quadrics, the point lights
// become OpenGL lights with OpenGL's default colours and attenuation.
#include <GL/freeglut.h>

#include <cstddef>
#include <string>

#include "engine/engines.h"
#include "engine/tau_error.h"
#include "gl_texture.h"

namespace {

using MATRIX4 = IGraphicsEngine::MATRIX4;
using VECTOR4 = IGraphicsEngine::VECTOR4;
using MATERIAL = IGraphicsEngine::MATERIAL;
using VERTEX = IGraphicsEngine::VERTEX;

constexpr int kMaxGlLights = 8; // OpenGL's fixed-function lights
constexpr unsigned kMaxListIndices = 65536; // refused from here on, except in the large mode
// In the large mode a run is cut into lists of at most this many triangles
// (65,535 indices).
constexpr unsigned kLargeListTriangles = (kMaxListIndices - 1) / 3;
constexpr GLsizei kVertexStride = sizeof(VERTEX);
constexpr float kMarkerRadius = 0.2f;
constexpr GLint kQuadricSlices = 20;
constexpr GLint kQuadricStacks = 20;

static_assert(sizeof(VERTEX) == 48 && offsetof(VERTEX, norm) == 16 && offsetof(VERTEX, tex_coord) == 32,
              "the vertex arrays are read with these strides and offsets");

// view = T^T x R, with T the translation by minus the camera position and R
// the camera rotation. OpenGL reads the 16 floats column by column and so
// sees view^T = R^T x T: the camera moved to the origin, the world turned
// into the camera's axes.
MATRIX4 view_matrix(const VECTOR4& position, const MATRIX4& rotation)
{
    MATRIX4 to_origin = TAU_MATH::Translation(VECTOR4(-position[0], -position[1], -position[2], position[3]));
    to_origin.Transpose();
    return to_origin * rotation;
}

// OpenGL reads four floats for each colour: the colour's three and, as alpha,
// the float that follows them in the record (diffuse red after ambient,
// specular red after diffuse, spec_power after specular). Nothing is blended,
// so that alpha never shows.
const GLfloat* record_floats(const MATERIAL& material, std::size_t offset)
{
    return reinterpret_cast<const GLfloat*>(reinterpret_cast<const unsigned char*>(&material) + offset);
}

void apply_material(const MATERIAL& material)
{
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, record_floats(material, offsetof(MATERIAL, ambient)));
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, record_floats(material, offsetof(MATERIAL, diffuse)));
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, record_floats(material, offsetof(MATERIAL, specular)));
}

// A triangle joins the run of the one before when its first vertex carries
// the same material and the same four tex_id bytes.
bool same_run(const VERTEX& a, const VERTEX& b)
{
    return a.material_id == b.material_id && a.tex_id[0] == b.tex_id[0] && a.tex_id[1] == b.tex_id[1] &&
           a.tex_id[2] == b.tex_id[2] && a.tex_id[3] == b.tex_id[3];
}

} // namespace

void OpenGL_Render::load_projection()
{
    projection_field_of_view = field_of_view;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(static_cast<double>(field_of_view), static_cast<double>(width) / static_cast<double>(height),
                   static_cast<double>(0.1f), 1000.0);
    glMatrixMode(GL_MODELVIEW);
}

void OpenGL_Render::Init(int frame_width, int frame_height)
{
    Common_Graphics_Engine::Init(frame_width, frame_height);
    load_projection();
    glClearColor(0.0f, 0.0f, 0.25f, 0.0f);
    quadric = gluNewQuadric();
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_COLOR_MATERIAL);
    glEnable(GL_TEXTURE_2D);
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glFrontFace(GL_CCW);
    glEnable(GL_LIGHTING);
    lists_pending = true;
}

unsigned OpenGL_Render::AddTexture(const void* pixels, unsigned texture_width, unsigned texture_height,
                                   unsigned unused)
{
    const unsigned index = Common_Graphics_Engine::AddTexture(pixels, texture_width, texture_height, unused);
    koru::gl::bind_texture(textures[index]);
    return index;
}

// Depth and the shadow switch do not apply to the rasterizer.
void OpenGL_Render::BeginDrawScene(unsigned, bool)
{
    // The rotation as the ray tracers build it; the camera matrix becomes the view.
    UpdateCamMatrices();
    cam_matrix = view_matrix(cam_position, cam_rot_matrix);
    if (projection_field_of_view != field_of_view)
        load_projection();

    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glMultMatrixf(&cam_matrix[0][0]);

    // Light positions go through the view just loaded, so they stay in the world.
    for (int i = 0; i < point_light_count; ++i) {
        if (i >= kMaxGlLights)
            throw TAU_ERROR::OpenGL_Error("Can not use more than 8 lights, num: " + std::to_string(i));
        glEnable(GL_LIGHT0 + i);
        glLightfv(GL_LIGHT0 + i, GL_POSITION, &point_lights[i].pos[0]);
    }

    // Each light shows as a small unlit ball in its colour.
    for (int i = 0; i < point_light_count; ++i) {
        const LIGHT& light = point_lights[i];
        glPushMatrix();
        glDisable(GL_LIGHTING);
        glDisable(GL_TEXTURE_2D);
        glTranslatef(light.pos[0], light.pos[1], light.pos[2]);
        glColor3fv(&light.color[0]);
        gluSphere(quadric, kMarkerRadius, kQuadricSlices, kQuadricStacks);
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_LIGHTING);
        glPopMatrix();
    }
    // The markers leave their colour current, and with GL_COLOR_MATERIAL it
    // would become the ambient and diffuse colour of everything after them:
    // spheres and triangles are drawn in white on every frame.
    glColor3f(1.0f, 1.0f, 1.0f);

    glPushMatrix();
    for (int i = 0; i < sphere_count; ++i) {
        const SPHERE& sphere = spheres[i];
        apply_material(materials[sphere.material_id]);
        glPushMatrix();
        glDisable(GL_TEXTURE_2D);
        glTranslatef(sphere.center[0], sphere.center[1], sphere.center[2]);
        gluSphere(quadric, sphere.radius, kQuadricSlices, kQuadricStacks);
        glEnable(GL_TEXTURE_2D);
        glPopMatrix();
    }

    // Triangles added after the lists were compiled are not drawn.
    if (lists_pending) {
        gl_list.Init(indices, static_cast<unsigned>(index_count), this);
        lists_pending = false;
    }
    for (unsigned name = 1; name < gl_list.next_list; ++name)
        glCallList(name);
    glPopMatrix();
}

void OpenGL_Render::EndDrawScene() { glutSwapBuffers(); }

void OpenGL_Render::GL_List::Init(const unsigned* indices, unsigned index_count, OpenGL_Render* owner)
{
    const bool large = owner->LargeCapacity();
    if (index_count >= kMaxListIndices && !large)
        throw TAU_ERROR::Out_Of_Range("OpenGL_Render::GL_List::Init: Too many vertices: " +
                                      std::to_string(static_cast<int>(index_count)));
    if (index_count < 3)
        throw TAU_ERROR::Out_Of_Range("OpenGL_Render::GL_List::Init: Less than one triangle: " +
                                      std::to_string(static_cast<int>(index_count)));
    engine = owner;
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);

    const VERTEX* vertices = engine->vertices;
    const unsigned char* vertex_bytes = reinterpret_cast<const unsigned char*>(vertices);
    const unsigned n_triangles = index_count / 3;
    unsigned run_start = 0;
    for (unsigned t = 1; t <= n_triangles; ++t) {
        const bool list_full = large && t - run_start == kLargeListTriangles;
        if (t < n_triangles && !list_full && same_run(vertices[indices[3 * t]], vertices[indices[3 * (t - 1)]]))
            continue;
        // Triangles run_start to t - 1 make one list; the array pointers are
        // client state, read while the list is compiled.
        const VERTEX& first = vertices[indices[3 * run_start]];
        glNewList(next_list++, GL_COMPILE);
        apply_material(engine->materials[first.material_id]);
        const int texture = first.tex_id[0];
        if (texture < engine->texture_count) {
            glEnable(GL_TEXTURE_2D);
            glBindTexture(GL_TEXTURE_2D, engine->textures[texture].id);
        } else {
            glDisable(GL_TEXTURE_2D);
        }
        glVertexPointer(3, GL_FLOAT, kVertexStride, vertex_bytes);
        glNormalPointer(GL_FLOAT, kVertexStride, vertex_bytes + offsetof(VERTEX, norm));
        glTexCoordPointer(2, GL_FLOAT, kVertexStride, vertex_bytes + offsetof(VERTEX, tex_coord));
        glPushMatrix();
        glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(3 * (t - run_start)), GL_UNSIGNED_INT,
                       indices + 3 * run_start);
        glPopMatrix();
        glEndList();
        run_start = t;
    }

    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}
