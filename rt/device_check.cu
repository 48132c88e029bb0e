// Compiles the shared ray core as device code: one kernel that walks a ray,
// tests a triangle and shades the hit with a texture, so that every build
// with a CUDA toolkit checks that the core still builds for the GPU. It is
// never launched.
#include "shading.h"
#include "scene_walk.h"

namespace koru {
namespace rt {

__global__ void core_check_kernel(Tree_View tree, const Material* materials, Light light,
                                  const Texture_View* textures, int texture_count, uint32_t* pixels)
{
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    Ray4 ray;
    ray.pos = Vec4(0.0f, 0.0f, 0.0f, 1.0f);
    ray.dir = eye_ray_direction(x, y, 640, 480);

    RAYTR::Hit hit;
    Color color(0.0f, 0.0f, 0.0f, 0.0f);
    if (traverse_ray(tree, ray, &hit)) {
        RAYTR::Hit shadow_hit;
        const bool shadowed = traverse_ray(tree, make_shadow_ray(hit.pos, light.pos), &shadow_hit) != 0;
        color = clamp_above(shade_hit(ray, hit, light, shadowed, materials, textures, texture_count));
    }
    float weights[3];
    if (intersect_triangle(ray, tree.vertices[0].pos, tree.vertices[1].pos, tree.vertices[2].pos, weights))
        color = color + sample_texture(textures[0], weights[1], weights[2]);
    pixels[y * 640 + x] = pack_color(color);
}

// The walk over triangles and spheres, and the sphere test over a lane.
__global__ void sphere_check_kernel(Tree_View tree, const Sphere* spheres, uint32_t* hits)
{
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    Ray4 ray;
    ray.pos = Vec4(0.0f, 0.0f, 0.0f, 1.0f);
    ray.dir = eye_ray_direction(x, 0, 640, 480);
    RAYTR::Hit hit;
    const bool met = walk_scene(Tree_Primitives{{tree}, spheres}, tree.world_box, ray, &hit);
    float t = 0.0f;
    hits[x] = (met ? 1u : 0u) | (intersect_sphere(ray.pos.v, ray.dir.v, spheres[0], t) ? 2u : 0u);
}

} // namespace rt
} // namespace koru
