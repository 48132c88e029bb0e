// The GPU tracer's device module: the constant block, the sampler table of
// texture objects, the kernels and their launches. Everything a kernel
// computes per pixel or per ray is the shared core's (rt/gpu_pixel.h); this
// file reaches the scene through texture objects.
#include <cstring>

#include "../rt/gpu_pixel.h"
#include "kernels.h"
#include "ray_grid.h"

using koru::gpu::Sampler_Table;
using koru::rt::Constant_Block;

__constant__ Constant_Block constant_block;
__constant__ Sampler_Table sampler_table;
// Half the field of view in radians; beside the constant block, whose layout
// is fixed.
__constant__ float view_half_angle = koru::rt::half_view_angle;

namespace {

// Record `index` of a buffer of records `stride` 16-byte elements apart, of
// which T takes the first sizeof(T) / 16.
// Without a texture object the buffer is read through its pointer.
template <class T, int stride = sizeof(T) / 16>
__device__ T fetch_record(cudaTextureObject_t buffer, const uint4* plain, uint32_t index)
{
    constexpr int n_words = sizeof(T) / 16;
    static_assert(n_words * 16 == sizeof(T) && n_words <= stride, "a record of whole elements");
    uint4 words[n_words];
    for (int k = 0; k < n_words; ++k)
        words[k] = buffer != 0 ? tex1Dfetch<uint4>(buffer, static_cast<int>(stride * index) + k)
                               : plain[static_cast<std::size_t>(stride) * index + k];
    T record;
    std::memcpy(&record, words, sizeof record);
    return record;
}

// The scene as the kernels read it: every buffer through its texture object
// (the texture cache) or, past a texture's size, its pointer; the tables from
// constant memory. The accessor of the
// shared walk (rt/scene_walk.h) and shading (rt/gpu_pixel.h).
struct Device_Scene {
    static constexpr bool with_spheres = true;
    __device__ uint32_t node_count() const { return sampler_table.node_count; }
    __device__ float scale() const { return sampler_table.tree_scale; }

    __device__ RAYTR::KdTreeNode node(uint32_t i) const
    {
        const uint2 w = sampler_table.world_kd_tree_tex != 0
                            ? tex1Dfetch<uint2>(sampler_table.world_kd_tree_tex, static_cast<int>(i))
                            : sampler_table.node_words[i];
        RAYTR::KdTreeNode n;
        n.word0 = w.x;
        n.word1 = w.y;
        return n;
    }

    __device__ uint32_t list_word(uint32_t i) const
    {
        return sampler_table.world_obj_list_data_tex != 0
                   ? tex1Dfetch<unsigned>(sampler_table.world_obj_list_data_tex, static_cast<int>(i))
                   : sampler_table.obj_list_words[i];
    }

    // A leaf test needs only the first of a vertex's three elements.
    __device__ koru::rt::Vec4 vertex_pos(uint32_t i) const
    {
        return fetch_record<koru::rt::Vec4, sizeof(koru::rt::Vertex) / 16>(sampler_table.vert_tex,
                                                                           sampler_table.vert_words, i);
    }
    __device__ koru::rt::Vertex vertex(uint32_t i) const
    {
        return fetch_record<koru::rt::Vertex>(sampler_table.vert_tex, sampler_table.vert_words, i);
    }
    __device__ koru::rt::Sphere sphere(uint32_t i) const
    {
        return fetch_record<koru::rt::Sphere>(sampler_table.sph_tex, sampler_table.sph_words, i);
    }

    __device__ int texture_count() const { return sampler_table.texture_count; }

    __device__ void texture_size(int id, int& w, int& h) const
    {
        w = sampler_table.texture_width[id];
        h = sampler_table.texture_height[id];
    }

    __device__ koru::rt::Color texture(int id, float u, float v) const
    {
        const float4 c = tex2D<float4>(sampler_table.textures[id], u, v);
        return koru::rt::Color(c.x, c.y, c.z, c.w);
    }
};

} // namespace

// One pixel per thread over the window's whole 8 x 8 tiles; block (y, z)
// traces block row frame_block_row of the window.
template <int depth, bool shadows>
__global__ void ray_trace_kernel(unsigned int* pixels)
{
    const int width = constant_block.window_size[0];
    const unsigned block_row = koru::gpu::frame_block_row(blockIdx.y, blockIdx.z, gridDim.y);
    if (block_row >= static_cast<unsigned>(constant_block.window_size[1]) / 8u)
        return;
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(block_row * blockDim.y + threadIdx.y);
    const Device_Scene scene;
    const std::size_t pixel = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x;
    pixels[pixel] = koru::rt::trace_pixel<depth, shadows>(scene, constant_block, x, y, view_half_angle);
}

// One ray slot per thread: slot y x rowWidth + x.
__global__ void Traversal_kernel2(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned int rowWidth)
{
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    const std::size_t slot = static_cast<std::size_t>(y) * rowWidth + x;
    const Device_Scene scene;
    // Every byte of the record is written, the walk's unused ones as zero.
    RAYTR::Hit hit = {};
    koru::rt::trace_query_ray(scene, constant_block, rays[slot], &hit);
    hits[slot] = hit;
}

// The texture unit's answers at given coordinates, for probing its filter.
__global__ void texture_sample_kernel(cudaTextureObject_t texture, const float2* coordinates, float4* colors,
                                      unsigned n)
{
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n)
        colors[i] = tex2D<float4>(texture, coordinates[i].x, coordinates[i].y);
}

namespace koru {
namespace gpu {
namespace {

using Frame_Kernel = void (*)(unsigned int*);

// [depth - 1][shadows]
const Frame_Kernel frame_kernels[5][2] = {
    {ray_trace_kernel<1, false>, ray_trace_kernel<1, true>}, {ray_trace_kernel<2, false>, ray_trace_kernel<2, true>},
    {ray_trace_kernel<3, false>, ray_trace_kernel<3, true>}, {ray_trace_kernel<4, false>, ray_trace_kernel<4, true>},
    {ray_trace_kernel<5, false>, ray_trace_kernel<5, true>},
};

cudaEvent_t launch_start = nullptr;
cudaEvent_t launch_stop = nullptr;
float last_launch_ms = 0.0f;

// Launches kernel over grid, then checks the launch and waits for the
// kernel. A grid without a whole block launches nothing (the runtime would
// refuse it as a configuration error).
template <class... Params, class... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 threads, Args... args)
{
    const bool timed = launch_start != nullptr;
    if (timed)
        NYX_CHECK(cudaEventRecord(launch_start));
    if (grid.x > 0 && grid.y > 0 && grid.z > 0)
        kernel<<<grid, threads>>>(args...);
    const cudaError_t launched = cudaGetLastError();
    const cudaError_t stop_recorded = timed ? cudaEventRecord(launch_stop) : cudaSuccess;
    NYX_CHECK_LAUNCH(launched);
    if (timed) {
        NYX_CHECK(stop_recorded);
        NYX_CHECK(cudaEventElapsedTime(&last_launch_ms, launch_start, launch_stop));
    }
}

} // namespace

void upload_constants(std::size_t offset, const void* data, std::size_t bytes)
{
    NYX_CHECK(cudaMemcpyToSymbol(constant_block, data, bytes, offset, cudaMemcpyHostToDevice));
}

void upload_sampler_table(const Sampler_Table& table)
{
    NYX_CHECK(cudaMemcpyToSymbol(sampler_table, &table, sizeof table, 0, cudaMemcpyHostToDevice));
}

void upload_view_angle(float half_angle)
{
    NYX_CHECK(cudaMemcpyToSymbol(view_half_angle, &half_angle, sizeof half_angle, 0, cudaMemcpyHostToDevice));
}

cudaError_t kernel_image_status()
{
    cudaFuncAttributes attributes;
    const cudaError_t status = cudaFuncGetAttributes(&attributes, frame_kernels[0][1]);
    cudaGetLastError();
    return status;
}

void create_launch_timer()
{
    NYX_CHECK(cudaEventCreate(&launch_start));
    NYX_CHECK(cudaEventCreate(&launch_stop));
    last_launch_ms = 0.0f;
}

void destroy_launch_timer()
{
    for (cudaEvent_t* event : {&launch_start, &launch_stop}) {
        if (*event != nullptr)
            NYX_CHECK(cudaEventDestroy(*event));
        *event = nullptr;
    }
}

float last_launch_milliseconds() { return last_launch_ms; }

void launch_frame(unsigned depth, bool shadows, uint32_t* pixels, int width, int height)
{
    const Frame_Grid g = frame_grid(width, height);
    launch(frame_kernels[rt::kernel_depth(depth) - 1][shadows ? 1 : 0], dim3(g.columns, g.rows, g.bands),
           dim3(8, 8, 1), pixels);
}

void launch_traversal(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned grid_width,
                      unsigned grid_height)
{
    // A grid taller than a launch may be goes in bands of rows; each band's
    // pointers start at its first row, so the kernel sees its usual slots.
    const unsigned block_rows = grid_height / 8;
    unsigned first = 0;
    do {
        const unsigned rows = block_rows - first < max_grid_rows ? block_rows - first : max_grid_rows;
        const std::size_t offset = static_cast<std::size_t>(first) * 8 * grid_width;
        launch(Traversal_kernel2, dim3(grid_width / 8, rows, 1), dim3(8, 8, 1), rays + offset, hits + offset,
               grid_width);
        first += rows;
    } while (first < block_rows);
}

void launch_texture_samples(cudaTextureObject_t texture, const float* coordinates, float* colors, unsigned n)
{
    const unsigned threads = 64;
    launch(texture_sample_kernel, dim3((n + threads - 1) / threads, 1, 1), dim3(threads, 1, 1), texture,
           reinterpret_cast<const float2*>(coordinates), reinterpret_cast<float4*>(colors), n);
}

} // namespace gpu
} // namespace koru
