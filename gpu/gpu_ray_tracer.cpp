// GPU_Ray_Tracer: the scene store's data handed to the device layer, frames
// traced there and drawn with glDrawPixels, and ray queries for arbitrary
// batches. All GPU state lives in the device layer.
#include <GL/freeglut.h>

#include <cstdint>
#include <string>

#include "../engine/engines.h"
#include "../engine/tau_error.h"
#include "../kdtree/kdtree.h"
#include "../rt/sphere.h"
#include "ray_grid.h"
#include "rtlib.h"
#include "rtlib_common.h"

static_assert(GPU_Ray_Tracer::RT_Core::kMissPrimId == koru::rt::miss_prim_id, "one miss record");

namespace {

[[noreturn]] void throw_nyx_error(int code) { throw TAU_ERROR::Error(nyxGetErrorString(code)); }

} // namespace

// The device layer's state is process-wide, so one engine holds it from
// Init to Release; another engine's Init meanwhile would overwrite it. This
// engine's own second Init gets the store's refusal, and keeps the layer.
void GPU_Ray_Tracer::Init(int frame_width, int frame_height)
{
    const bool held_already = koru::gpu::holds_device_layer(this);
    if (!held_already && !koru::gpu::claim_device_layer(this))
        throw TAU_ERROR::Error("GPU_Ray_Tracer::Init: a GPU engine is live in this process already "
                               "(one per process); Release it first");
    try {
        Common_Graphics_Engine::Init(frame_width, frame_height);
    } catch (...) {
        if (!held_already)
            koru::gpu::release_device_layer(this);
        throw;
    }
    nyxInit(width, height);
}

// An engine whose Init was refused leaves the layer to its holder.
void GPU_Ray_Tracer::Release()
{
    if (koru::gpu::release_device_layer(this))
        nyxRelease();
    Common_Graphics_Engine::Release();
}

// Once the layer knows its device, a texture the device cannot hold is
// refused here, before the store takes it, rather than at the upload.
unsigned GPU_Ray_Tracer::AddTexture(const void* pixels, unsigned texture_width, unsigned texture_height,
                                    unsigned unused)
{
    int max_width = 0, max_height = 0;
    nyxGetTextureLimit(&max_width, &max_height);
    if (max_width > 0 && (texture_width > static_cast<unsigned>(max_width) ||
                          texture_height > static_cast<unsigned>(max_height)))
        throw TAU_ERROR::Out_Of_Range("GPU_Ray_Tracer::AddTexture: a texture of " + std::to_string(texture_width) +
                                      "x" + std::to_string(texture_height) +
                                      " texels is larger than the device's limit of " + std::to_string(max_width) +
                                      "x" + std::to_string(max_height));
    return Common_Graphics_Engine::AddTexture(pixels, texture_width, texture_height, unused);
}

void GPU_Ray_Tracer::BuildKdTree()
{
    Common_Graphics_Engine::BuildKdTree();
    const RAYTR::KdTree& tree = *kd_tree;
    nyxSetKdTree(&tree.world_box, tree.nodes, tree.node_count, tree.obj_list_data, tree.obj_list_data_top);
    // Texture i goes to slot i, once: a later build uploads only textures
    // added since (the layer takes seven).
    for (int t = nyxGetDeviceScene().textureCount; t < texture_count; ++t)
        nyxAddTexture(textures[t].width, textures[t].height, textures[t].data);
    nyxSetAmbientLight(koru::ambient_light);
    nyxSetVertices(vertices, vertex_count);
    nyxSetIndices(indices, index_count);
    nyxSetSpheres(spheres, sphere_count);
    nyxSetMaterials(materials, material_count);
}

// Over 32 materials or 8 lights the layer keeps its tables and says so; the
// frame goes on.
void GPU_Ray_Tracer::BeginDrawScene(unsigned depth, bool shadows)
{
    UpdateCamMatrices();
    nyxSetMaterials(materials, material_count);
    nyxSetPointLights(point_lights, point_light_count);
    nyxSetTransform(&cam_matrix);
    nyxSetFieldOfView(field_of_view);
    nyxRender(depth, shadows);
}

void GPU_Ray_Tracer::EndDrawScene()
{
    nyxReadPixels(frame_buffer);
    glDrawPixels(width, height, GL_RGBA, GL_UNSIGNED_BYTE, frame_buffer);
    glutSwapBuffers();
}

Ray_Tracer::RT_Core* GPU_Ray_Tracer::GetRTCore() { return new GPU_Ray_Tracer::RT_Core; }

void GPU_Ray_Tracer::RT_Core::TraverseRayGrid(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned width,
                                              unsigned height)
{
    const uint64_t count = static_cast<uint64_t>(width) * height;
    if (count == 0)
        return;
    if (count > UINT32_MAX)
        throw_nyx_error(nyxBadSize);
    // The kernel covers whole 8 x 8 blocks only; a grid with a partial block
    // is traced as a batch, whose padded shape covers every ray.
    if (width % 8 != 0 || height % 8 != 0) {
        TraverseRays(rays, hits, static_cast<unsigned>(count));
        return;
    }
    const int code = nyxTraverseRays(rays, hits, width, height, static_cast<unsigned>(count));
    if (code != nyxNoError)
        throw_nyx_error(code);
}

void GPU_Ray_Tracer::RT_Core::TraverseRays(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned count)
{
    if (!koru::gpu::ray_count_acceptable(count))
        throw TAU_ERROR::Out_Of_Range(koru::gpu::ray_count_message(count));
    const koru::gpu::Ray_Grid grid = koru::gpu::ray_grid_for(count);
    const int code = nyxTraverseRays(rays, hits, grid.width, grid.height, count);
    if (code != nyxNoError)
        throw_nyx_error(code);
}
