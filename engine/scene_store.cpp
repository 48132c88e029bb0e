#include <cstring>

#include "../kdtree/kdtree.h"
#include "graphics_engine.h"
#include "tau_error.h"

using TAU_ERROR::Out_Of_Range;
using TAU_MATH::aligned_delete_array;
using TAU_MATH::aligned_new_array;

void Common_Graphics_Engine::Init(int frame_width, int frame_height)
{
    if (frame_width <= 0 || frame_height <= 0)
        throw Out_Of_Range("Init: the frame width and height must be positive");
    width = frame_width;
    height = frame_height;
    frame_buffer = aligned_new_array<unsigned>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    spheres = aligned_new_array<SPHERE>(kMaxSpheres);
    vertices = aligned_new_array<VERTEX>(kMaxVertices);
    indices = aligned_new_array<unsigned>(kMaxIndices);
    materials = aligned_new_array<MATERIAL>(kMaxMaterials);
    textures = new IMAGE[kMaxTextures];
    point_lights = aligned_new_array<LIGHT>(kMaxPointLights);
    kd_tree = new RAYTR::KdTree();
    point_light_count = material_count = sphere_count = vertex_count = index_count = texture_count = 0;
    cam_position = VECTOR4(0.0f, 0.0f, 10.0f, 1.0f);
}

// Frees everything Init and BuildKdTree allocated. Safe to call twice, and on
// an engine whose Init failed part-way.
void Common_Graphics_Engine::Release()
{
    aligned_delete_array(spheres, kMaxSpheres);
    aligned_delete_array(vertices, kMaxVertices);
    aligned_delete_array(indices, kMaxIndices);
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
}

// The kd-tree supports one build; a second BuildKdTree starts from a fresh
// tree over all current geometry, so the result never mixes two builds.
void Common_Graphics_Engine::BuildKdTree()
{
    if (kd_tree->node_count != 0) {
        RAYTR::KdTree* fresh = new RAYTR::KdTree();
        delete kd_tree;
        kd_tree = fresh;
    }
    kd_tree->SetVertices(vertices, static_cast<uint32_t>(vertex_count));
    kd_tree->SetIndices(indices, static_cast<uint32_t>(index_count));
    kd_tree->SetSpheres(spheres, static_cast<uint32_t>(sphere_count));
    kd_tree->Build();
}

unsigned Common_Graphics_Engine::AddPointLight(const LIGHT& light)
{
    if (point_light_count >= kMaxPointLights)
        throw Out_Of_Range("Too many point lights");
    point_lights[point_light_count] = light;
    return static_cast<unsigned>(point_light_count++);
}

unsigned Common_Graphics_Engine::AddMaterial(const MATERIAL& material)
{
    if (material_count + 1 >= kMaxMaterials)
        throw Out_Of_Range("AddMaterial: no more materials can be added");
    std::memcpy(&materials[material_count], &material, sizeof(MATERIAL));
    return static_cast<unsigned>(++material_count);
}

TAU_MATH::VECTOR<2, unsigned> Common_Graphics_Engine::AddTriangles(const VERTEX* v, int nv, const unsigned* idx,
                                                                   int ni)
{
    if (nv < 0 || vertex_count + nv > kMaxVertices)
        throw Out_Of_Range("Too many vertices");
    if (ni < 0 || index_count + ni > kMaxIndices)
        throw Out_Of_Range("Too many indices");
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
    if (n < 0 || sphere_count + n > kMaxSpheres)
        throw Out_Of_Range("Too many spheres");
    for (int k = 0; k < n; ++k)
        if (s[k].material_id < 0 || s[k].material_id >= kMaxMaterials)
            throw Out_Of_Range("AddSpheres: sphere " + std::to_string(k) + " has material_id " +
                               std::to_string(s[k].material_id) + " outside 0 to " +
                               std::to_string(kMaxMaterials - 1));
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
    if (texture_count + 1 > kMaxTextures)
        throw Out_Of_Range("Too many point textures");
    IMAGE& image = textures[texture_count];
    image.SetSize(static_cast<int>(w), static_cast<int>(h));
    image.CopyFromBuffer(pixels, static_cast<std::size_t>(w) * h * 4u);
    return static_cast<unsigned>(texture_count++);
}

void Common_Graphics_Engine::SetPointLight(const LIGHT& light, int index)
{
    if (index < 0 || index >= point_light_count)
        throw Out_Of_Range("No point light with this index");
    point_lights[index] = light;
}

const Common_Graphics_Engine::LIGHT& Common_Graphics_Engine::GetPointLight(int index)
{
    if (index < 0 || index >= point_light_count)
        throw Out_Of_Range("No point light with this index");
    return point_lights[index];
}

const Common_Graphics_Engine::MATERIAL& Common_Graphics_Engine::GetMaterial(int index)
{
    if (index < 0 || index >= material_count)
        throw Out_Of_Range("No material with this index");
    return materials[index];
}

void Common_Graphics_Engine::SetCamPosition(const VECTOR4& position) { cam_position = position; }

void Common_Graphics_Engine::SetCamRotation(const VECTOR4& rotation) { cam_rotation = rotation; }

void Common_Graphics_Engine::SetCamDirection(const VECTOR4& direction) { cam_direction = direction; }

// The position comes from M and stays; the rotation part is replaced again
// from the stored angles at the next rebuild.
void Common_Graphics_Engine::SetCamMatrix(const MATRIX4& matrix)
{
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
    cam_position[0] += e[0];
    cam_position[1] += e[1];
    cam_position[2] += e[2];
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
