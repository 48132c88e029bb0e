// The GPU device layer and its device module: the constant block, the
// texture objects that stand for the samplers, the kernels, and the nyx*
// functions that own all GPU state. Everything a kernel computes per pixel or
// per ray is the shared core's (rt/gpu_pixel.h); this file reaches the scene
// through texture objects and launches.
#include <cuda_runtime.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../engine/engines.h"
#include "../rt/gpu_pixel.h"
#include "rtlib.h"
#include "rtlib_common.h"

using koru::rt::Constant_Block;

namespace {

const char* const source_name = "rtlib.cu";

// ---------------------------------------------------------------------------
// The one error check and the one launch path.

// A failed runtime call ends the process. With `synchronise` the device is
// then waited for and that is checked the same way, with the same line.
void check(cudaError_t status, int line, bool synchronise)
{
    if (status != cudaSuccess) {
        std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", source_name, line,
                     cudaGetErrorString(status));
        std::exit(1);
    }
    if (synchronise)
        check(cudaDeviceSynchronize(), line, false);
}

// Guarded: the call's status is checked.
#define NYX_GUARD(call) check((call), __LINE__, false)
// Guarded with synchronisation: checked, then the device is waited for.
#define NYX_GUARD_SYNC(call) check((call), __LINE__, true)

void check_launch(cudaError_t status, int line)
{
    if (status != cudaSuccess) {
        std::fprintf(stderr, "Cuda error: %s in file '%s' in line %i : %s.\n", "Kernel execution failed",
                     source_name, line, cudaGetErrorString(status));
        std::exit(1);
    }
}

// Events around every launch, for the device time of the last one (made by
// nyxInit, destroyed by nyxRelease).
cudaEvent_t launch_start = nullptr;
cudaEvent_t launch_stop = nullptr;
float last_launch_ms = 0.0f;

// Launches kernel over grid x (8 x 8) threads, then checks the launch and
// waits for the kernel. A grid without a whole block launches nothing (the
// runtime would refuse it as a configuration error).
template <class... Params, class... Args>
void launch(void (*kernel)(Params...), dim3 grid, int line, Args... args)
{
    const dim3 threads(8, 8, 1);
    const bool timed = launch_start != nullptr;
    if (timed)
        check(cudaEventRecord(launch_start), line, false);
    if (grid.x > 0 && grid.y > 0)
        kernel<<<grid, threads>>>(args...);
    check_launch(cudaGetLastError(), line);
    if (timed)
        check(cudaEventRecord(launch_stop), line, false);
    check_launch(cudaDeviceSynchronize(), line);
    if (timed)
        check(cudaEventElapsedTime(&last_launch_ms, launch_start, launch_stop), line, false);
}

} // namespace

// ---------------------------------------------------------------------------
// The device module.

// The texture objects of the scene buffers and textures, and what the
// kernels need to know of them: the table the kernels read the samplers from.
struct Sampler_Table {
    cudaTextureObject_t sph_tex;                 // spheres, uint4 elements
    cudaTextureObject_t vert_tex;                // vertices, uint4 elements
    cudaTextureObject_t world_kd_tree_tex;       // nodes, uint2 elements
    cudaTextureObject_t world_obj_list_data_tex; // object list, 32-bit words
    cudaTextureObject_t ind_tex;                 // indices, int elements
    cudaTextureObject_t textures[9];             // textures0 ... textures8
    int texture_width[9];
    int texture_height[9];
    int texture_count;
    uint32_t node_count; // 0 until a tree is set
    float tree_scale;    // box_scale of the world box
};

__constant__ Constant_Block constant_block;
__constant__ Sampler_Table sampler_table;

namespace {

// The scene as the kernels read it: every buffer through its texture object
// (the texture cache), the tables from constant memory. The accessor of the
// shared walk (rt/scene_walk.h) and shading (rt/gpu_pixel.h).
struct Device_Scene {
    static constexpr bool with_spheres = true;
    __device__ uint32_t node_count() const { return sampler_table.node_count; }
    __device__ float scale() const { return sampler_table.tree_scale; }

    __device__ RAYTR::KdTreeNode node(uint32_t i) const
    {
        const uint2 w = tex1Dfetch<uint2>(sampler_table.world_kd_tree_tex, static_cast<int>(i));
        RAYTR::KdTreeNode n;
        n.word0 = w.x;
        n.word1 = w.y;
        return n;
    }

    __device__ uint32_t list_word(uint32_t i) const
    {
        return tex1Dfetch<unsigned>(sampler_table.world_obj_list_data_tex, static_cast<int>(i));
    }

    // A leaf test needs only the first of a vertex's three elements.
    __device__ koru::rt::Vec4 vertex_pos(uint32_t i) const
    {
        const uint4 w = tex1Dfetch<uint4>(sampler_table.vert_tex, static_cast<int>(3u * i));
        return koru::rt::Vec4(__uint_as_float(w.x), __uint_as_float(w.y), __uint_as_float(w.z), __uint_as_float(w.w));
    }

    __device__ koru::rt::Vertex vertex(uint32_t i) const
    {
        uint4 words[3];
        for (int k = 0; k < 3; ++k)
            words[k] = tex1Dfetch<uint4>(sampler_table.vert_tex, static_cast<int>(3u * i) + k);
        koru::rt::Vertex v;
        std::memcpy(&v, words, sizeof v);
        return v;
    }

    __device__ koru::rt::Sphere sphere(uint32_t i) const
    {
        uint4 words[2];
        for (int k = 0; k < 2; ++k)
            words[k] = tex1Dfetch<uint4>(sampler_table.sph_tex, static_cast<int>(2u * i) + k);
        koru::rt::Sphere s;
        std::memcpy(&s, words, sizeof s);
        return s;
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

// One pixel per thread over the window's whole 8 x 8 tiles.
template <int depth, bool shadows>
__global__ void ray_trace_kernel(unsigned int* pixels)
{
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const Device_Scene scene;
    pixels[y * constant_block.window_size[0] + x] = koru::rt::trace_pixel<depth, shadows>(scene, constant_block, x, y);
}

// One ray slot per thread: slot y x rowWidth + x.
__global__ void Traversal_kernel2(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned int rowWidth)
{
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    const unsigned slot = y * rowWidth + x;
    const Device_Scene scene;
    RAYTR::Hit hit;
    koru::rt::trace_query_ray(scene, constant_block, rays[slot], &hit);
    hits[slot] = hit;
}

namespace {

using Frame_Kernel = void (*)(unsigned int*);

// [depth - 1][shadows]
const Frame_Kernel frame_kernels[5][2] = {
    {ray_trace_kernel<1, false>, ray_trace_kernel<1, true>}, {ray_trace_kernel<2, false>, ray_trace_kernel<2, true>},
    {ray_trace_kernel<3, false>, ray_trace_kernel<3, true>}, {ray_trace_kernel<4, false>, ray_trace_kernel<4, true>},
    {ray_trace_kernel<5, false>, ray_trace_kernel<5, true>},
};

// ---------------------------------------------------------------------------
// Host-side state.

nyxDeviceScene state;        // zero at load
Sampler_Table samplers;      // what sampler_table holds on the device

constexpr int initial_spheres = 64;
constexpr int initial_vertices = 16000;
constexpr int initial_indices = 48000;
constexpr int sphere_bytes = 32;
constexpr int vertex_bytes = 48;
constexpr int index_bytes = 4;
// The most blocks a launch may have along y.
constexpr unsigned max_grid_rows = 65535;
// Unlike the CUDA arrays of old, a texture object needs memory behind it: an
// empty buffer still gets one word.
constexpr std::size_t least_buffer_bytes = 4;

// Whether the device module runs on a device: its compute capability is at
// least the lowest architecture the module was built for.
bool runs_module(const cudaDeviceProp& p) { return p.major * 10 + p.minor >= KORU_CUDA_MIN_ARCH && p.major >= 1; }

template <class T>
void upload_constant(std::size_t offset, const T* data, std::size_t bytes, int line)
{
    check(cudaMemcpyToSymbol(constant_block, data, bytes, offset, cudaMemcpyHostToDevice), line, true);
}

void upload_samplers(int line)
{
    check(cudaMemcpyToSymbol(sampler_table, &samplers, sizeof samplers, 0, cudaMemcpyHostToDevice), line, true);
}

// A texture object over linear memory: unnormalised 1D coordinates, point
// filtering, clamping, elements read as stored.
cudaTextureObject_t make_linear_texture(void* buffer, std::size_t bytes, cudaChannelFormatDesc format, int line)
{
    cudaResourceDesc resource;
    std::memset(&resource, 0, sizeof resource);
    resource.resType = cudaResourceTypeLinear;
    resource.res.linear.devPtr = buffer;
    resource.res.linear.desc = format;
    resource.res.linear.sizeInBytes = bytes;
    cudaTextureDesc texture;
    std::memset(&texture, 0, sizeof texture);
    texture.addressMode[0] = cudaAddressModeClamp;
    texture.filterMode = cudaFilterModePoint;
    texture.readMode = cudaReadModeElementType;
    texture.normalizedCoords = 0;
    cudaTextureObject_t object = 0;
    check(cudaCreateTextureObject(&object, &resource, &texture, nullptr), line, true);
    return object;
}

void destroy_texture(cudaTextureObject_t& object, int line)
{
    if (object != 0)
        check(cudaDestroyTextureObject(object), line, true);
    object = 0;
}

template <class T>
void free_buffer(T*& buffer, int line)
{
    if (buffer != nullptr)
        check(cudaFree(buffer), line, true);
    buffer = nullptr;
}

cudaChannelFormatDesc words4() { return cudaCreateChannelDesc(32, 32, 32, 32, cudaChannelFormatKindUnsigned); }
cudaChannelFormatDesc words2() { return cudaCreateChannelDesc(32, 32, 0, 0, cudaChannelFormatKindUnsigned); }
cudaChannelFormatDesc word1() { return cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindUnsigned); }
cudaChannelFormatDesc signed1() { return cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindSigned); }

// What sets the three buffers that grow on demand apart.
struct Growing_Buffer {
    int element_bytes;
    cudaChannelFormatDesc (*format)();
    const char* warning;
};

const Growing_Buffer sphere_buffer = {sphere_bytes, words4, "nyx WARNING: reallocating %d bytes for spheres\n"};
const Growing_Buffer vertex_buffer = {vertex_bytes, words4, "nyx WARNING: reallocating %d bytes for vertices\n"};
const Growing_Buffer index_buffer = {index_bytes, signed1, "nyx WARNING: reallocating %d bytes for vertices\n"};

// Allocates a buffer and makes its texture object.
void allocate_buffer(const Growing_Buffer& b, void*& buffer, cudaTextureObject_t& sampler, std::size_t bytes,
                     int line)
{
    const std::size_t size = bytes < least_buffer_bytes ? least_buffer_bytes : bytes;
    check(cudaMalloc(&buffer, size), line, true);
    sampler = make_linear_texture(buffer, size, b.format(), line);
}

// The growth rule: a count above the capacity gets a new buffer of exactly
// its size (old contents dropped) and a new texture object; then the copy.
int set_growing(const Growing_Buffer& b, void*& buffer, int& capacity, cudaTextureObject_t& sampler, const void* data,
                int count, int line)
{
    if (count < 0)
        return nyxBadSize;
    const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(b.element_bytes);
    if (capacity < count) {
        std::fprintf(stderr, b.warning, static_cast<int>(bytes));
        destroy_texture(sampler, line);
        free_buffer(buffer, line);
        allocate_buffer(b, buffer, sampler, bytes, line);
        capacity = count;
        upload_samplers(line);
    }
    if (bytes > 0)
        check(cudaMemcpy(buffer, data, bytes, cudaMemcpyHostToDevice), line, true);
    return nyxNoError;
}

} // namespace

// ---------------------------------------------------------------------------
// The layer.

namespace koru {

bool GpuDeviceAvailable()
{
    int count = 0;
    bool usable = false;
    if (cudaGetDeviceCount(&count) == cudaSuccess) {
        for (int d = 0; d < count && !usable; ++d) {
            cudaDeviceProp properties;
            usable = cudaGetDeviceProperties(&properties, d) == cudaSuccess && runs_module(properties);
        }
    }
    // A query that failed stays the runtime's last error, also when a later
    // device answers; the next launch check would take it for its own.
    cudaGetLastError();
    return usable;
}

} // namespace koru

const nyxDeviceScene& nyxGetDeviceScene() { return state; }

float nyxGetLastLaunchMilliseconds() { return last_launch_ms; }

void nyxInit(int width, int height)
{
    // Device selection. A machine without a driver or without a device has
    // no device.
    int count = 0;
    const cudaError_t counted = cudaGetDeviceCount(&count);
    if (counted == cudaErrorNoDevice || counted == cudaErrorInsufficientDriver) {
        cudaGetLastError();
        count = 0;
    } else {
        NYX_GUARD(counted);
    }
    if (count == 0) {
        std::fprintf(stderr, "There is no device.\n");
        std::exit(1);
    }
    int chosen = -1;
    for (int d = 0; d < count && chosen < 0; ++d) {
        cudaDeviceProp properties;
        NYX_GUARD(cudaGetDeviceProperties(&properties, d));
        if (runs_module(properties))
            chosen = d;
    }
    if (chosen < 0) {
        std::fprintf(stderr, "There is no device supporting CUDA.\n");
        std::exit(1);
    }
    NYX_GUARD_SYNC(cudaSetDevice(chosen));

    const std::size_t n_pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    NYX_GUARD_SYNC(cudaMalloc(reinterpret_cast<void**>(&state.pixels), n_pixels * 4));
    // The kernel writes whole 8 x 8 tiles only; what lies outside them reads
    // back black rather than as whatever the memory held.
    NYX_GUARD_SYNC(cudaMemset(state.pixels, 0, n_pixels * 4));
    state.width = width;
    state.height = height;

    allocate_buffer(sphere_buffer, state.spheres, samplers.sph_tex,
                    static_cast<std::size_t>(initial_spheres) * sphere_bytes, __LINE__);
    state.sphereCapacity = initial_spheres;
    allocate_buffer(vertex_buffer, state.vertices, samplers.vert_tex,
                    static_cast<std::size_t>(initial_vertices) * vertex_bytes, __LINE__);
    state.vertexCapacity = initial_vertices;
    allocate_buffer(index_buffer, state.indices, samplers.ind_tex,
                    static_cast<std::size_t>(initial_indices) * index_bytes, __LINE__);
    state.indexCapacity = initial_indices;
    state.kdTreeNodes = nullptr;
    samplers.node_count = 0;
    upload_samplers(__LINE__);

    const float ambient[4] = {0.15f, 0.15f, 0.15f, 0.0f};
    upload_constant(offsetof(Constant_Block, pAmbient_light), ambient, sizeof ambient, __LINE__);

    NYX_GUARD_SYNC(cudaMalloc(&state.rays, n_pixels * 24));
    NYX_GUARD_SYNC(cudaMalloc(&state.hits, n_pixels * 40));
    NYX_GUARD_SYNC(cudaMalloc(&state.shadowFlags, n_pixels));

    const int32_t size[2] = {width, height};
    upload_constant(offsetof(Constant_Block, window_size), size, sizeof size, __LINE__);

    NYX_GUARD_SYNC(cudaEventCreate(&launch_start));
    NYX_GUARD_SYNC(cudaEventCreate(&launch_stop));
    last_launch_ms = 0.0f;
}

void nyxRelease()
{
    // Only what exists is freed: a layer that was never set up has nothing.
    destroy_texture(samplers.sph_tex, __LINE__);
    destroy_texture(samplers.vert_tex, __LINE__);
    destroy_texture(samplers.ind_tex, __LINE__);
    destroy_texture(samplers.world_kd_tree_tex, __LINE__);

    free_buffer(state.spheres, __LINE__);
    free_buffer(state.vertices, __LINE__);
    free_buffer(state.indices, __LINE__);
    free_buffer(state.kdTreeNodes, __LINE__);
    free_buffer(state.pixels, __LINE__);
    free_buffer(state.rays, __LINE__);
    free_buffer(state.hits, __LINE__);
    free_buffer(state.shadowFlags, __LINE__);

    if (state.objListData != nullptr) {
        destroy_texture(samplers.world_obj_list_data_tex, __LINE__);
        free_buffer(state.objListData, __LINE__);
    }

    for (int t = state.textureCount - 1; t >= 0; --t) {
        destroy_texture(samplers.textures[t], __LINE__);
        NYX_GUARD_SYNC(cudaFreeArray(static_cast<cudaArray_t>(state.textureArrays[t])));
        state.textureArrays[t] = nullptr;
    }
    state.textureCount = 0;
    state.sphereCapacity = state.vertexCapacity = state.indexCapacity = 0;
    for (cudaEvent_t* event : {&launch_start, &launch_stop}) {
        if (*event != nullptr)
            NYX_GUARD_SYNC(cudaEventDestroy(*event));
        *event = nullptr;
    }
    samplers = Sampler_Table();
}

int nyxSetSpheres(const TAU_MATH::SPHERE<4, float>* spheres, int count)
{
    return set_growing(sphere_buffer, state.spheres, state.sphereCapacity, samplers.sph_tex, spheres, count, __LINE__);
}

int nyxSetVertices(const TAU_GRAPHICS::VERTEX<4, float>* vertices, int count)
{
    return set_growing(vertex_buffer, state.vertices, state.vertexCapacity, samplers.vert_tex, vertices, count,
                       __LINE__);
}

int nyxSetIndices(const unsigned* indices, int count)
{
    return set_growing(index_buffer, state.indices, state.indexCapacity, samplers.ind_tex, indices, count, __LINE__);
}

int nyxSetMaterials(const TAU_GRAPHICS::MATERIAL<3>* materials, int count)
{
    if (koru::gpu::refuse_materials(count))
        return -1;
    if (count > 0)
        upload_constant(offsetof(Constant_Block, materials_dump), materials,
                        static_cast<std::size_t>(count) * sizeof(TAU_GRAPHICS::MATERIAL<3>), __LINE__);
    return 0;
}

int nyxSetPointLights(const TAU_GRAPHICS::Point_Light<4, float>* lights, int count)
{
    if (koru::gpu::refuse_point_lights(count))
        return -1;
    const int32_t n = count > 0 ? count : 0;
    if (n > 0)
        upload_constant(offsetof(Constant_Block, point_lights_dump), lights,
                        static_cast<std::size_t>(n) * sizeof(TAU_GRAPHICS::Point_Light<4, float>), __LINE__);
    upload_constant(offsetof(Constant_Block, num_point_lights), &n, sizeof n, __LINE__);
    return 0;
}

int nyxAddTexture(int width, int height, const void* pixels)
{
    if (state.textureCount >= nyxMaxTextures)
        return -1;
    const int index = state.textureCount;
    const cudaChannelFormatDesc format = cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    cudaArray_t array = nullptr;
    NYX_GUARD_SYNC(cudaMallocArray(&array, &format, static_cast<std::size_t>(width), static_cast<std::size_t>(height)));
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    NYX_GUARD_SYNC(cudaMemcpy2DToArray(array, 0, 0, pixels, row, row, static_cast<std::size_t>(height),
                                       cudaMemcpyHostToDevice));

    // Normalised coordinates, bilinear, wrapping in both dimensions.
    cudaResourceDesc resource;
    std::memset(&resource, 0, sizeof resource);
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = array;
    cudaTextureDesc texture;
    std::memset(&texture, 0, sizeof texture);
    texture.addressMode[0] = cudaAddressModeWrap;
    texture.addressMode[1] = cudaAddressModeWrap;
    texture.filterMode = cudaFilterModeLinear;
    texture.readMode = cudaReadModeNormalizedFloat;
    texture.normalizedCoords = 1;
    NYX_GUARD_SYNC(cudaCreateTextureObject(&samplers.textures[index], &resource, &texture, nullptr));
    samplers.texture_width[index] = width;
    samplers.texture_height[index] = height;
    samplers.texture_count = index + 1;
    upload_samplers(__LINE__);

    state.textureArrays[index] = array;
    state.textureCount = index + 1;
    return index;
}

int nyxSetTransform(const TAU_MATH::MATRIX<4, 4, float>* matrix)
{
    upload_constant(offsetof(Constant_Block, pMatrix_transform), matrix, sizeof *matrix, __LINE__);
    return 0;
}

int nyxSetAmbientLight(float value)
{
    const float ambient[4] = {value, value, value, 0.0f};
    upload_constant(offsetof(Constant_Block, pAmbient_light), ambient, sizeof ambient, __LINE__);
    return 0;
}

int nyxSetKdTree(const RAYTR::KdTreeBox* box, const RAYTR::KdTreeNode* nodes, unsigned nodeCount, const void* objList,
                 unsigned objListBytes)
{
    upload_constant(offsetof(Constant_Block, pWorldKdTreeBox), box, sizeof *box, __LINE__);
    if (state.kdTreeNodes != nullptr) {
        destroy_texture(samplers.world_kd_tree_tex, __LINE__);
        free_buffer(state.kdTreeNodes, __LINE__);
    }
    if (state.objListData != nullptr) {
        destroy_texture(samplers.world_obj_list_data_tex, __LINE__);
        free_buffer(state.objListData, __LINE__);
    }

    // An empty tree or object list still gets one element behind its
    // texture object.
    const std::size_t node_bytes = static_cast<std::size_t>(nodeCount) * sizeof(RAYTR::KdTreeNode);
    const std::size_t node_size = nodeCount > 0 ? node_bytes : sizeof(RAYTR::KdTreeNode);
    NYX_GUARD_SYNC(cudaMalloc(&state.kdTreeNodes, node_size));
    samplers.world_kd_tree_tex = make_linear_texture(state.kdTreeNodes, node_size, words2(), __LINE__);
    if (node_bytes > 0)
        NYX_GUARD_SYNC(cudaMemcpy(state.kdTreeNodes, nodes, node_bytes, cudaMemcpyHostToDevice));

    const std::size_t list_size = objListBytes >= least_buffer_bytes ? objListBytes : least_buffer_bytes;
    NYX_GUARD_SYNC(cudaMalloc(&state.objListData, list_size));
    samplers.world_obj_list_data_tex = make_linear_texture(state.objListData, list_size, word1(), __LINE__);
    if (objListBytes > 0)
        NYX_GUARD_SYNC(cudaMemcpy(state.objListData, objList, objListBytes, cudaMemcpyHostToDevice));

    samplers.node_count = nodeCount;
    samplers.tree_scale = koru::rt::box_scale(*box);
    upload_samplers(__LINE__);
    return 0;
}

int nyxRender(unsigned depth, bool shadows)
{
    const dim3 grid(static_cast<unsigned>(state.width / 8), static_cast<unsigned>(state.height / 8), 1);
    launch(frame_kernels[koru::rt::kernel_depth(depth) - 1][shadows ? 1 : 0], grid, __LINE__, state.pixels);
    return 0;
}

int nyxReadPixels(unsigned* hostPixels)
{
    const std::size_t bytes = static_cast<std::size_t>(state.width) * static_cast<std::size_t>(state.height) * 4;
    NYX_GUARD_SYNC(cudaMemcpy(hostPixels, state.pixels, bytes, cudaMemcpyDeviceToHost));
    return 0;
}

int nyxTraverseRays(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned gridWidth, unsigned gridHeight,
                    unsigned count)
{
    // A count past the slots the launch traces would read back hits that no
    // thread wrote; a grid too large to count in bytes would get buffers
    // smaller than the launch.
    const int refused = koru::gpu::ray_request_code(gridWidth, gridHeight, count);
    if (refused != nyxNoError)
        return refused;
    const std::size_t n = static_cast<std::size_t>(gridWidth) * static_cast<std::size_t>(gridHeight);
    TAU_MATH::RAY<3, float>* dev_rays = nullptr;
    RAYTR::Hit* dev_hits = nullptr;
    if (cudaMalloc(reinterpret_cast<void**>(&dev_rays), n * sizeof(TAU_MATH::RAY<3, float>)) != cudaSuccess) {
        cudaGetLastError();
        return nyxNoMemory;
    }
    if (cudaMalloc(reinterpret_cast<void**>(&dev_hits), n * sizeof(RAYTR::Hit)) != cudaSuccess) {
        cudaGetLastError();
        NYX_GUARD_SYNC(cudaFree(dev_rays));
        return nyxNoMemory;
    }
    const std::size_t n_rays = count;
    if (n_rays > 0)
        NYX_GUARD_SYNC(cudaMemcpy(dev_rays, rays, n_rays * sizeof(TAU_MATH::RAY<3, float>), cudaMemcpyHostToDevice));
    // The slots past the count are traced too; they hold zero rays rather
    // than whatever the memory held.
    if (n > n_rays)
        NYX_GUARD_SYNC(cudaMemset(dev_rays + n_rays, 0, (n - n_rays) * sizeof(TAU_MATH::RAY<3, float>)));

    // A grid taller than a launch may be goes in bands of rows; each band's
    // pointers start at its first row, so the kernel sees its usual slots.
    const unsigned block_rows = gridHeight / 8;
    unsigned first = 0;
    do {
        const unsigned rows = block_rows - first < max_grid_rows ? block_rows - first : max_grid_rows;
        const std::size_t offset = static_cast<std::size_t>(first) * 8 * gridWidth;
        launch(Traversal_kernel2, dim3(gridWidth / 8, rows, 1), __LINE__,
               static_cast<const TAU_MATH::RAY<3, float>*>(dev_rays + offset), dev_hits + offset, gridWidth);
        first += rows;
    } while (first < block_rows);

    if (n_rays > 0)
        NYX_GUARD_SYNC(cudaMemcpy(hits, dev_hits, n_rays * sizeof(RAYTR::Hit), cudaMemcpyDeviceToHost));
    NYX_GUARD_SYNC(cudaFree(dev_rays));
    NYX_GUARD_SYNC(cudaFree(dev_hits));
    return nyxNoError;
}
