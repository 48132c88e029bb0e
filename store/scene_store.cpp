// The scene store behind Common_Graphics_Engine (engine/graphics_engine.h):
// the scene arrays at their capacities (the defaults, or what SetCapacity
// asked for), every limit check, the camera and
// the kd-tree build.
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "../kdtree/kdtree.h"
#include "../engine/graphics_engine.h"
#include "../engine/tau_error.h"

using TAU_ERROR::Out_Of_Range;
using TAU_MATH::aligned_delete_array;
using TAU_MATH::aligned_new_array;

namespace {

// Scene operations work on the arrays Init allocates; before Init and after
// Release there are none. The kd-tree is the last thing Init allocates.
void require_storage(const RAYTR::KdTree* kd_tree, const char* operation)
{
    if (kd_tree == nullptr)
        throw TAU_ERROR::Error(std::string(operation) + ": Init must come first");
}

// A null array is refused only where the count says something should be read.
void require_array(const void* array, int count, const char* operation, const char* what)
{
    if (array == nullptr && count > 0)
        throw Out_Of_Range(std::string(operation) + ": the " + what + " array is null");
}

bool finite3(const IGraphicsEngine::VECTOR4& v)
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

bool finite4(const IGraphicsEngine::VECTOR4& v) { return finite3(v) && std::isfinite(v[3]); }

// The part of a vertex that is not finite, or null.
const char* non_finite_field(const IGraphicsEngine::VERTEX& v)
{
    if (!finite3(v.pos))
        return "position";
    if (!finite3(v.norm))
        return "normal";
    if (!std::isfinite(v.tex_coord[0]) || !std::isfinite(v.tex_coord[1]))
        return "texture coordinate";
    return nullptr;
}

// A light is used whole by the shading: position, colour, power, attenuation.
bool finite_light(const IGraphicsEngine::LIGHT& light)
{
    return finite3(light.pos) && finite3(light.color) && std::isfinite(light.power) && std::isfinite(light.kc) &&
           std::isfinite(light.kl) && std::isfinite(light.kq);
}

// Texels are addressed with 32-bit byte counts.
constexpr uint64_t max_texture_bytes = UINT32_MAX;

} // namespace

void Common_Graphics_Engine::Init(int frame_width, int frame_height)
{
    // A second Init would drop the scene held; Release must come between.
    if (kd_tree != nullptr)
        throw TAU_ERROR::Error("Init: the engine is already initialised; Release must come first");
    if (frame_width <= 0 || frame_height <= 0)
        throw Out_Of_Range("Init: the frame width and height must be positive");
    width = frame_width;
    height = frame_height;
    // All or nothing: an allocation that fails frees the ones before it.
    try {
        frame_buffer =
            aligned_new_array<unsigned>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        spheres = aligned_new_array<SPHERE>(static_cast<std::size_t>(sphere_capacity));
        vertices = aligned_new_array<VERTEX>(static_cast<std::size_t>(vertex_capacity));
        indices = aligned_new_array<unsigned>(static_cast<std::size_t>(index_capacity));
        materials = aligned_new_array<MATERIAL>(kMaxMaterials);
        textures = new IMAGE[kMaxTextures];
        point_lights = aligned_new_array<LIGHT>(kMaxPointLights);
        kd_tree = new RAYTR::KdTree();
    } catch (...) {
        Common_Graphics_Engine::Release();
        throw;
    }
    point_light_count = material_count = sphere_count = vertex_count = index_count = texture_count = 0;
    cam_position = VECTOR4(0.0f, 0.0f, 10.0f, 1.0f);
}

// Frees everything Init and BuildKdTree allocated and leaves an engine that
// holds nothing: no frame, no scene. Safe to call twice, before Init, and on
// an engine whose Init failed part-way.
void Common_Graphics_Engine::Release()
{
    aligned_delete_array(spheres, static_cast<std::size_t>(sphere_capacity));
    aligned_delete_array(vertices, static_cast<std::size_t>(vertex_capacity));
    aligned_delete_array(indices, static_cast<std::size_t>(index_capacity));
    TAU_MATH::aligned_free(frame_buffer);
    aligned_delete_array(materials, kMaxMaterials);
    delete[] textures;
    aligned_delete_array(point_lights, kMaxPointLights);
    delete kd_tree;
    spheres = nullptr;
    vertices = nullptr;
    indices = nullptr;
    frame_buffer = nullptr;
    materials = nullptr;
    textures = nullptr;
    point_lights = nullptr;
    kd_tree = nullptr;
    point_light_count = material_count = sphere_count = vertex_count = index_count = texture_count = 0;
    width = 0;
    height = 0;
}

void Common_Graphics_Engine::SetCapacity(int n_vertices, int n_indices, int n_spheres)
{
    const auto refuse_below = [](const char* what, int asked, int least) {
        if (asked < least)
            throw Out_Of_Range(std::string("SetCapacity: a capacity of ") + std::to_string(asked) + " " + what +
                               " is below the default of " + std::to_string(least));
    };
    refuse_below("vertices", n_vertices, kMaxVertices);
    refuse_below("indices", n_indices, kMaxIndices);
    refuse_below("spheres", n_spheres, kMaxSpheres);
    if (vertex_count != 0 || index_count != 0 || sphere_count != 0)
        throw Out_Of_Range("SetCapacity: the store holds triangles or spheres already; Release must come first");
    if (kd_tree == nullptr) {
        vertex_capacity = n_vertices;
        index_capacity = n_indices;
        sphere_capacity = n_spheres;
        return;
    }
    // An initialised store gets its new arrays, all or nothing, before the
    // old ones go.
    SPHERE* s = nullptr;
    VERTEX* v = nullptr;
    unsigned* idx = nullptr;
    try {
        s = aligned_new_array<SPHERE>(static_cast<std::size_t>(n_spheres));
        v = aligned_new_array<VERTEX>(static_cast<std::size_t>(n_vertices));
        idx = aligned_new_array<unsigned>(static_cast<std::size_t>(n_indices));
    } catch (...) {
        aligned_delete_array(s, static_cast<std::size_t>(n_spheres));
        aligned_delete_array(v, static_cast<std::size_t>(n_vertices));
        throw;
    }
    aligned_delete_array(spheres, static_cast<std::size_t>(sphere_capacity));
    aligned_delete_array(vertices, static_cast<std::size_t>(vertex_capacity));
    aligned_delete_array(indices, static_cast<std::size_t>(index_capacity));
    spheres = s;
    vertices = v;
    indices = idx;
    vertex_capacity = n_vertices;
    index_capacity = n_indices;
    sphere_capacity = n_spheres;
}

void Common_Graphics_Engine::SetBuildThreads(int threads)
{
    if (threads < 1)
        throw Out_Of_Range("SetBuildThreads: a build needs at least one thread, not " + std::to_string(threads));
    build_threads = threads;
}

// Every build starts from a fresh tree over all current geometry, so the
// result never mixes two builds. A build that fails part-way (a limit of the
// tree, memory) would leave a half-made tree for the frames to walk; the
// last complete tree, or none, stays instead.
void Common_Graphics_Engine::BuildKdTree()
{
    require_storage(kd_tree, "BuildKdTree");
    std::unique_ptr<RAYTR::KdTree> fresh(new RAYTR::KdTree());
    fresh->grow_on_demand = LargeCapacity();
    fresh->build_threads = build_threads;
    fresh->SetVertices(vertices, static_cast<uint32_t>(vertex_count));
    fresh->SetIndices(indices, static_cast<uint32_t>(index_count));
    fresh->SetSpheres(spheres, static_cast<uint32_t>(sphere_count));
    fresh->Build();
    delete kd_tree;
    kd_tree = fresh.release();
}

unsigned Common_Graphics_Engine::AddPointLight(const LIGHT& light)
{
    require_storage(kd_tree, "AddPointLight");
    if (point_light_count >= kMaxPointLights)
        throw Out_Of_Range("Too many point lights");
    if (!finite_light(light))
        throw Out_Of_Range("AddPointLight: the light has a value that is not finite");
    point_lights[point_light_count] = light;
    return static_cast<unsigned>(point_light_count++);
}

unsigned Common_Graphics_Engine::AddMaterial(const MATERIAL& material)
{
    require_storage(kd_tree, "AddMaterial");
    if (material_count + 1 >= kMaxMaterials)
        throw Out_Of_Range("AddMaterial: no more materials can be added");
    std::memcpy(&materials[material_count], &material, sizeof(MATERIAL));
    return static_cast<unsigned>(++material_count);
}

TAU_MATH::VECTOR<2, unsigned> Common_Graphics_Engine::AddTriangles(const VERTEX* v, int nv, const unsigned* idx,
                                                                   int ni)
{
    require_storage(kd_tree, "AddTriangles");
    // Compared as what is left, so that a huge count cannot overflow the sum.
    if (nv < 0 || nv > vertex_capacity - vertex_count)
        throw Out_Of_Range("Too many vertices");
    if (ni < 0 || ni > index_capacity - index_count)
        throw Out_Of_Range("Too many indices");
    require_array(v, nv, "AddTriangles", "vertex");
    require_array(idx, ni, "AddTriangles", "index");
    // A scene with a dangling index or material would read outside the arrays
    // in every build and frame, so it is refused before anything is stored.
    if (ni % 3 != 0)
        throw Out_Of_Range("AddTriangles: the index count must be a multiple of 3");
    for (int j = 0; j < ni; ++j)
        if (idx[j] >= static_cast<unsigned>(nv))
            throw Out_Of_Range("AddTriangles: index " + std::to_string(idx[j]) + " at position " +
                               std::to_string(j) + " does not refer to one of the " + std::to_string(nv) +
                               " vertices given");
    for (int k = 0; k < nv; ++k)
        if (v[k].material_id < 0 || v[k].material_id >= kMaxMaterials)
            throw Out_Of_Range("AddTriangles: vertex " + std::to_string(k) + " has material_id " +
                               std::to_string(v[k].material_id) + " outside 0 to " +
                               std::to_string(kMaxMaterials - 1));
    // One coordinate that is not a number or infinite would spoil the world
    // box, and with it the tree, for the whole scene.
    for (int k = 0; k < nv; ++k)
        if (const char* field = non_finite_field(v[k]))
            throw Out_Of_Range("AddTriangles: vertex " + std::to_string(k) + " has a " + field +
                               " that is not finite");

    const int first_vertex = vertex_count;
    const int first_index = index_count;
    for (int k = 0; k < nv; ++k) {
        VERTEX& d = vertices[first_vertex + k];
        d.pos = v[k].pos;
        d.norm = v[k].norm;
        d.tex_coord = v[k].tex_coord;
        d.material_id = v[k].material_id;
        std::memcpy(d.tex_id, v[k].tex_id, sizeof d.tex_id);
    }
    for (int j = 0; j < ni; ++j)
        indices[first_index + j] = idx[j] + static_cast<unsigned>(first_vertex);
    vertex_count = first_vertex + nv;
    index_count = first_index + ni;
    return TAU_MATH::VECTOR<2, unsigned>(static_cast<unsigned>(first_vertex), static_cast<unsigned>(first_index));
}

unsigned Common_Graphics_Engine::AddSpheres(const SPHERE* s, int n)
{
    require_storage(kd_tree, "AddSpheres");
    if (n < 0 || n > sphere_capacity - sphere_count)
        throw Out_Of_Range("Too many spheres");
    require_array(s, n, "AddSpheres", "sphere");
    for (int k = 0; k < n; ++k)
        if (s[k].material_id < 0 || s[k].material_id >= kMaxMaterials)
            throw Out_Of_Range("AddSpheres: sphere " + std::to_string(k) + " has material_id " +
                               std::to_string(s[k].material_id) + " outside 0 to " +
                               std::to_string(kMaxMaterials - 1));
    for (int k = 0; k < n; ++k)
        if (!finite3(s[k].center) || !std::isfinite(s[k].radius) || !std::isfinite(s[k].radius2))
            throw Out_Of_Range("AddSpheres: sphere " + std::to_string(k) +
                               " has a centre or radius that is not finite");
    const int first = sphere_count;
    for (int k = 0; k < n; ++k) {
        SPHERE& d = spheres[first + k];
        d.center = s[k].center;
        d.radius = s[k].radius;
        d.radius2 = s[k].radius2;
        d.material_id = s[k].material_id;
    }
    sphere_count = first + n;
    return static_cast<unsigned>(first);
}

unsigned Common_Graphics_Engine::AddTexture(const void* pixels, unsigned w, unsigned h, unsigned)
{
    require_storage(kd_tree, "AddTexture");
    if (texture_count + 1 > kMaxTextures)
        throw Out_Of_Range("Too many point textures");
    // The samplers wrap coordinates by the size, so a texture without pixels
    // cannot be read at all.
    const std::string size = std::to_string(w) + " x " + std::to_string(h);
    if (w == 0 || h == 0)
        throw Out_Of_Range("AddTexture: a texture needs at least one pixel, not " + size);
    if (static_cast<uint64_t>(w) * h * 4u > max_texture_bytes)
        throw Out_Of_Range("AddTexture: a texture of " + size + " pixels is larger than 4 GiB");
    require_array(pixels, 1, "AddTexture", "pixel");
    IMAGE& image = textures[texture_count];
    image.SetSize(static_cast<int>(w), static_cast<int>(h));
    image.CopyFromBuffer(pixels, static_cast<std::size_t>(w) * h * 4u);
    return static_cast<unsigned>(texture_count++);
}

void Common_Graphics_Engine::SetPointLight(const LIGHT& light, int index)
{
    require_storage(kd_tree, "SetPointLight");
    if (index < 0 || index >= point_light_count)
        throw Out_Of_Range("No point light with this index");
    if (!finite_light(light))
        throw Out_Of_Range("SetPointLight: the light has a value that is not finite");
    point_lights[index] = light;
}

const Common_Graphics_Engine::LIGHT& Common_Graphics_Engine::GetPointLight(int index)
{
    require_storage(kd_tree, "GetPointLight");
    if (index < 0 || index >= point_light_count)
        throw Out_Of_Range("No point light with this index");
    return point_lights[index];
}

const Common_Graphics_Engine::MATERIAL& Common_Graphics_Engine::GetMaterial(int index)
{
    require_storage(kd_tree, "GetMaterial");
    if (index < 0 || index >= material_count)
        throw Out_Of_Range("No material with this index");
    return materials[index];
}

// The camera refuses what would make every later frame undefined: values
// that are not finite, and angles whose conversion to radians overflows.
void Common_Graphics_Engine::SetCamPosition(const VECTOR4& position)
{
    if (!finite4(position))
        throw Out_Of_Range("SetCamPosition: the position is not finite");
    cam_position = position;
}

void Common_Graphics_Engine::SetCamRotation(const VECTOR4& rotation)
{
    for (int a = 0; a < 3; ++a)
        if (!std::isfinite(rotation[a] * TAU_MATH::kPi))
            throw Out_Of_Range("SetCamRotation: the angles are not finite");
    cam_rotation = rotation;
}

void Common_Graphics_Engine::SetFieldOfView(float degrees)
{
    if (!(degrees > 0.0f && degrees < 180.0f)) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "SetFieldOfView: the field of view must be more than 0 and less than 180 degrees, not %g",
                      static_cast<double>(degrees));
        throw Out_Of_Range(text);
    }
    field_of_view = degrees;
}

void Common_Graphics_Engine::SetCamDirection(const VECTOR4& direction) { cam_direction = direction; }

// The position comes from M and stays; the rotation part is replaced again
// from the stored angles at the next rebuild.
void Common_Graphics_Engine::SetCamMatrix(const MATRIX4& matrix)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(matrix[r][c]))
                throw Out_Of_Range("SetCamMatrix: the matrix is not finite");
    cam_matrix = matrix;
    cam_rot_matrix = matrix;
    cam_rot_matrix[0][3] = 0.0f;
    cam_rot_matrix[1][3] = 0.0f;
    cam_rot_matrix[2][3] = 0.0f;
    cam_rot_matrix[3][3] = 1.0f;
    cam_position = VECTOR4(matrix[0][3], matrix[1][3], matrix[2][3], matrix[3][3]);
}

// Moves along the camera axes of the last rebuild; w stays.
void Common_Graphics_Engine::MoveCam(const VECTOR4& move)
{
    const VECTOR4 e = cam_rot_matrix * move;
    VECTOR4 moved = cam_position;
    moved[0] += e[0];
    moved[1] += e[1];
    moved[2] += e[2];
    if (!finite3(moved))
        throw Out_Of_Range("MoveCam: the move or the position it leads to is not finite");
    cam_position = moved;
}

const Common_Graphics_Engine::MATRIX4& Common_Graphics_Engine::GetCamMatrix() { return cam_matrix; }

void Common_Graphics_Engine::UpdateCamMatrices()
{
    const float alpha = cam_rotation[0] * TAU_MATH::kPi / 180.0f;
    const float beta = cam_rotation[1] * TAU_MATH::kPi / 180.0f;
    const float gamma = cam_rotation[2] * TAU_MATH::kPi / 180.0f;
    const MATRIX4 rotation = (TAU_MATH::RotationZ(gamma) * TAU_MATH::RotationY(beta)) * TAU_MATH::RotationX(alpha);
    cam_matrix = TAU_MATH::Translation(cam_position) * rotation;
    cam_rot_matrix = rotation;
}
