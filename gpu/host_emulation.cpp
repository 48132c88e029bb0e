#include "host_emulation.h"

#include <algorithm>
#include <cstring>

#include "../kdtree/kdtree.h"
#include "../store/engine_access.h"
#include "rtlib.h"

namespace koru {
namespace gpu {
namespace {

// The scene as the shared walk and shading read it (the accessor of
// rt/scene_walk.h), from the scene store's arrays; textures through the
// emulated texture unit.
struct Host_Scene {
    static constexpr bool with_spheres = true;
    const RAYTR::KdTreeNode* nodes = nullptr;
    uint32_t n_nodes = 0;
    const unsigned char* obj_list = nullptr;
    const rt::Vertex* vertices = nullptr;
    const rt::Sphere* spheres = nullptr;
    float tree_scale = 0.0f;
    rt::Texture_View textures[nyxMaxTextures] = {};
    int n_textures = 0;

    uint32_t node_count() const { return n_nodes; }
    float scale() const { return tree_scale; }
    RAYTR::KdTreeNode node(uint32_t i) const { return nodes[i]; }
    uint32_t list_word(uint32_t i) const
    {
        uint32_t word;
        std::memcpy(&word, obj_list + 4 * static_cast<std::size_t>(i), sizeof word);
        return word;
    }
    rt::Vec4 vertex_pos(uint32_t i) const { return vertices[i].pos; }
    rt::Vertex vertex(uint32_t i) const { return vertices[i]; }
    rt::Sphere sphere(uint32_t i) const { return spheres[i]; }
    int texture_count() const { return n_textures; }
    void texture_size(int id, int& w, int& h) const
    {
        w = textures[id].width;
        h = textures[id].height;
    }
    rt::Color texture(int id, float u, float v) const { return rt::filter_linear_wrap(textures[id], u, v); }
};

Host_Scene host_scene_of(const Common_Graphics_Engine& engine)
{
    Host_Scene scene;
    const RAYTR::KdTree* tree = Engine_Access::kd_tree(engine);
    if (tree != nullptr && tree->node_count > 0) {
        scene.nodes = tree->nodes;
        scene.n_nodes = tree->node_count;
        scene.obj_list = tree->obj_list_data;
        scene.spheres = tree->spheres;
        scene.tree_scale = rt::box_scale(tree->world_box);
    }
    scene.vertices = engine.Vertices();
    scene.n_textures = std::min(engine.TextureCount(), nyxMaxTextures);
    for (int t = 0; t < scene.n_textures; ++t) {
        const IMAGE& image = engine.Textures()[t];
        scene.textures[t] = rt::Texture_View{image.width, image.height, image.data};
    }
    return scene;
}

} // namespace

rt::Constant_Block constant_block_of(const Common_Graphics_Engine& engine, const TAU_MATH::MATRIX<4, 4, float>& camera)
{
    rt::Constant_Block k;
    std::memset(&k, 0, sizeof k);
    k.window_size[0] = engine.Width();
    k.window_size[1] = engine.Height();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            k.pMatrix_transform[4 * i + j] = camera[i][j];
    for (int c = 0; c < 3; ++c)
        k.pAmbient_light[c] = koru::ambient_light;
    const RAYTR::KdTree* tree = Engine_Access::kd_tree(engine);
    if (tree != nullptr)
        std::memcpy(k.pWorldKdTreeBox, &tree->world_box, sizeof k.pWorldKdTreeBox);
    const int n_materials = std::min(engine.MaterialCount(), rt::max_materials);
    std::memcpy(k.materials_dump, engine.Materials(), static_cast<std::size_t>(n_materials) * sizeof(rt::Material));
    k.num_point_lights = std::min(engine.PointLightCount(), rt::max_point_lights);
    std::memcpy(k.point_lights_dump, engine.PointLights(),
                static_cast<std::size_t>(k.num_point_lights) * sizeof(rt::Light));
    return k;
}

void EmulateFrame(const Common_Graphics_Engine& engine, const TAU_MATH::MATRIX<4, 4, float>& camera, unsigned depth,
                  bool shadows, unsigned* pixels)
{
    const Host_Scene scene = host_scene_of(engine);
    const rt::Constant_Block k = constant_block_of(engine, camera);
    const int width = engine.Width() / 8 * 8;
    const int height = engine.Height() / 8 * 8;
    const float half_angle = rt::half_view_angle_of(engine.FieldOfView());
#pragma omp parallel for schedule(dynamic)
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[static_cast<std::size_t>(y) * engine.Width() + x] =
                rt::trace_pixel_variant(scene, k, depth, shadows, x, y, half_angle);
}

void EmulateRays(const Common_Graphics_Engine& engine, const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits,
                 unsigned count)
{
    const Host_Scene scene = host_scene_of(engine);
    const rt::Constant_Block k = constant_block_of(engine, TAU_MATH::MATRIX<4, 4, float>());
    // Every byte of a record is written, the walk's unused ones as zero, as
    // the kernel does.
    for (unsigned i = 0; i < count; ++i) {
        RAYTR::Hit hit = {};
        rt::trace_query_ray(scene, k, rays[i], &hit);
        hits[i] = hit;
    }
}

} // namespace gpu
} // namespace koru
