// The device module's host side: the one error check, the tables the
// kernels read (constant block, sampler table), and the one launch path of
// each kernel. Only the device layer's CUDA sources include it.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

#include "../engine/hit.h"
#include "../engine/tau_math.h"
#include "rtlib_common.h"

namespace koru {
namespace gpu {

// A failed call ends the process (rtlib_common.h); a call that succeeded is
// followed by waiting for the device, checked the same way, so the layer
// never returns while its work is still running.
inline void check_cuda(cudaError_t status, const char* file, int line, const char* failed_step)
{
    if (status != cudaSuccess)
        cuda_failure(file_name(file), line, failed_step, cudaGetErrorString(status));
    status = cudaDeviceSynchronize();
    if (status != cudaSuccess)
        cuda_failure(file_name(file), line, failed_step, cudaGetErrorString(status));
}

} // namespace gpu
} // namespace koru

// Every runtime call of the layer goes through this check.
#define NYX_CHECK(call) ::koru::gpu::check_cuda((call), __FILE__, __LINE__, nullptr)
// A kernel launch: its failure is reported as "Kernel execution failed".
#define NYX_CHECK_LAUNCH(call) ::koru::gpu::check_cuda((call), __FILE__, __LINE__, "Kernel execution failed")

namespace koru {
namespace gpu {

// The texture objects the kernels read the scene through, and what they need
// to know of them. A scene buffer longer than a texture object spans (the
// device's largest linear texture) has no texture object (0); the kernels
// read it through its plain device pointer instead.
struct Sampler_Table {
    cudaTextureObject_t sph_tex;                 // spheres, uint4 elements
    cudaTextureObject_t vert_tex;                // vertices, uint4 elements
    cudaTextureObject_t world_kd_tree_tex;       // nodes, uint2 elements
    cudaTextureObject_t world_obj_list_data_tex; // object list, 32-bit words
    cudaTextureObject_t ind_tex;                 // indices, int elements
    const uint4* sph_words;
    const uint4* vert_words;
    const uint2* node_words;
    const unsigned* obj_list_words;
    const int* ind_words;
    cudaTextureObject_t textures[9];             // textures0 ... textures8
    int texture_width[9];
    int texture_height[9];
    int texture_count;
    uint32_t node_count; // 0 until a tree is set
    float tree_scale;    // box_scale of the world box
};

// Copies bytes into the constant block at offset (rt::Constant_Block).
void upload_constants(std::size_t offset, const void* data, std::size_t bytes);
void upload_sampler_table(const Sampler_Table& table);
// Half the field of view in radians, which the frame kernel's primary rays use.
void upload_view_angle(float half_angle);

// Whether the kernels have an image this device runs: the runtime's answer
// for the current device (cudaSuccess, or why not).
cudaError_t kernel_image_status();

// CUDA events around every launch give the device time of the last one.
void create_launch_timer();
void destroy_launch_timer();
float last_launch_milliseconds();

// ray_trace_kernel<depth, shadows> over the window's whole 8 x 8 tiles
// (depth 1 to 5, any other as 4), in bands of rows for tall frames.
void launch_frame(unsigned depth, bool shadows, uint32_t* pixels, int width, int height);
// Traversal_kernel2 over (grid_width / 8) x (grid_height / 8) blocks, in
// bands of rows for tall grids.
void launch_traversal(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned grid_width,
                      unsigned grid_height);
// Reads texture at n normalised coordinates (u, v pairs) into n RGBA values.
void launch_texture_samples(cudaTextureObject_t texture, const float* coordinates, float* colors, unsigned n);

} // namespace gpu
} // namespace koru
