// The GPU device layer: the nyx* functions that own all GPU state of the
// process. The device module they fill and launch is kernels.cu.
#include <cuda_runtime.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../engine/engines.h"
#include "../rt/gpu_pixel.h"
#include "kernels.h"
#include "rtlib.h"
#include "rtlib_common.h"

using koru::gpu::Sampler_Table;
using koru::rt::Constant_Block;

namespace {

nyxDeviceScene state;   // zero at load and after nyxRelease
Sampler_Table samplers; // what the device's sampler table holds
bool initialised = false;
int texture_limit[2] = {0, 0}; // the device's largest 2D texture
int linear_texture_limit = 0;  // the most elements a texture object over linear memory spans

constexpr int initial_spheres = 64;
constexpr int initial_vertices = 16000;
constexpr int initial_indices = 48000;
constexpr int sphere_bytes = 32;
constexpr int vertex_bytes = 48;
constexpr int index_bytes = 4;
// Unlike the CUDA arrays of old, a texture object needs memory behind it: an
// empty buffer still gets one word.
constexpr std::size_t least_buffer_bytes = 4;

// The first device our kernels run on, or -1 and why there is none.
struct Device_Choice {
    int device = -1;
    bool any_device = false;
    std::string reason;
};

std::string cuda_version_text(int version)
{
    return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

std::string driver_reason(cudaError_t status)
{
    int driver = 0;
    cudaDriverGetVersion(&driver);
    if (driver == 0)
        return std::string("no NVIDIA driver is loaded (") + cudaGetErrorString(status) + ")";
    if (status == cudaErrorInsufficientDriver || driver < CUDART_VERSION)
        return "the NVIDIA driver supports CUDA " + cuda_version_text(driver) + ", older than the CUDA " +
               cuda_version_text(CUDART_VERSION) + " this build needs: update the driver";
    return cudaGetErrorString(status);
}

Device_Choice choose_device()
{
    Device_Choice choice;
    int count = 0;
    const cudaError_t counted = cudaGetDeviceCount(&count);
    if (counted != cudaSuccess || count == 0) {
        choice.reason = counted != cudaSuccess ? driver_reason(counted) : "no CUDA device";
        cudaGetLastError();
        return choice;
    }
    choice.any_device = true;
    for (int d = 0; d < count; ++d) {
        cudaDeviceProp p = {};
        cudaError_t status = cudaGetDeviceProperties(&p, d);
        if (status == cudaSuccess)
            status = cudaSetDevice(d);
        if (status == cudaSuccess)
            status = koru::gpu::kernel_image_status();
        if (status == cudaSuccess) {
            choice.device = d;
            choice.reason.clear();
            break;
        }
        choice.reason += (choice.reason.empty() ? "" : "; ") + std::string("device ") + std::to_string(d) + " (" +
                         p.name + ", compute capability " + std::to_string(p.major) + "." + std::to_string(p.minor) +
                         "): " + cudaGetErrorString(status);
    }
    // A query that failed stays the runtime's last error, also when a later
    // device answers; the next launch check would take it for its own.
    cudaGetLastError();
    return choice;
}

// A texture object over linear memory: unnormalised 1D coordinates, point
// filtering, clamping, elements read as stored. None (0) for a buffer of more
// elements than such a texture spans: the kernels read that one through its
// pointer.
cudaTextureObject_t make_linear_texture(void* buffer, std::size_t bytes, cudaChannelFormatDesc format)
{
    const std::size_t element_bytes = static_cast<std::size_t>(format.x + format.y + format.z + format.w) / 8;
    if (bytes / element_bytes > static_cast<std::size_t>(linear_texture_limit))
        return 0;
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
    NYX_CHECK(cudaCreateTextureObject(&object, &resource, &texture, nullptr));
    return object;
}

// A scene texture: RGBA bytes in a CUDA array, read as normalised floats
// with normalised coordinates, bilinear, wrapping in both dimensions.
cudaTextureObject_t make_scene_texture(int width, int height, const void* pixels, cudaArray_t& array)
{
    const cudaChannelFormatDesc format = cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    NYX_CHECK(cudaMallocArray(&array, &format, static_cast<std::size_t>(width), static_cast<std::size_t>(height)));
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    NYX_CHECK(cudaMemcpy2DToArray(array, 0, 0, pixels, row, row, static_cast<std::size_t>(height),
                                  cudaMemcpyHostToDevice));
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
    cudaTextureObject_t object = 0;
    NYX_CHECK(cudaCreateTextureObject(&object, &resource, &texture, nullptr));
    return object;
}

void destroy_texture(cudaTextureObject_t& object)
{
    if (object != 0)
        NYX_CHECK(cudaDestroyTextureObject(object));
    object = 0;
}

template <class T>
void free_buffer(T*& buffer)
{
    if (buffer != nullptr)
        NYX_CHECK(cudaFree(buffer));
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

// Allocates a buffer and makes its texture object; words is the pointer the
// kernels read without one.
template <class W>
void allocate_buffer(const Growing_Buffer& b, void*& buffer, cudaTextureObject_t& sampler, const W*& words,
                     std::size_t bytes)
{
    const std::size_t size = bytes < least_buffer_bytes ? least_buffer_bytes : bytes;
    NYX_CHECK(cudaMalloc(&buffer, size));
    sampler = make_linear_texture(buffer, size, b.format());
    words = static_cast<const W*>(buffer);
}

// The growth rule: a count above the capacity gets a new buffer of exactly
// its size (old contents dropped) and a new texture object; then the copy.
template <class W>
int set_growing(const Growing_Buffer& b, void*& buffer, int& capacity, cudaTextureObject_t& sampler, const W*& words,
                const void* data, int count)
{
    if (count < 0)
        return nyxBadSize;
    const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(b.element_bytes);
    if (capacity < count) {
        std::fprintf(stderr, b.warning, static_cast<int>(bytes));
        destroy_texture(sampler);
        free_buffer(buffer);
        allocate_buffer(b, buffer, sampler, words, bytes);
        capacity = count;
        koru::gpu::upload_sampler_table(samplers);
    }
    if (bytes > 0)
        NYX_CHECK(cudaMemcpy(buffer, data, bytes, cudaMemcpyHostToDevice));
    return nyxNoError;
}

} // namespace

// ---------------------------------------------------------------------------
// The layer.

namespace koru {

bool GpuDeviceAvailable()
{
    const Device_Choice choice = choose_device();
    static bool reason_printed = false;
    if (choice.device < 0 && !reason_printed) {
        std::fprintf(stderr, "koru: no usable CUDA device: %s\n", choice.reason.c_str());
        reason_printed = true;
    }
    return choice.device >= 0;
}

} // namespace koru

const nyxDeviceScene& nyxGetDeviceScene() { return state; }

float nyxGetLastLaunchMilliseconds() { return koru::gpu::last_launch_milliseconds(); }

void nyxGetTextureLimit(int* width, int* height)
{
    *width = texture_limit[0];
    *height = texture_limit[1];
}

void nyxInit(int width, int height)
{
    const Device_Choice choice = choose_device();
    if (!choice.any_device) {
        std::fprintf(stderr, "There is no device.\n");
        std::exit(1);
    }
    if (choice.device < 0) {
        std::fprintf(stderr, "There is no device supporting CUDA.\n");
        std::exit(1);
    }
    NYX_CHECK(cudaSetDevice(choice.device));
    cudaDeviceProp properties;
    NYX_CHECK(cudaGetDeviceProperties(&properties, choice.device));
    texture_limit[0] = properties.maxTexture2D[0];
    texture_limit[1] = properties.maxTexture2D[1];
    NYX_CHECK(cudaDeviceGetAttribute(&linear_texture_limit, cudaDevAttrMaxTexture1DLinearWidth, choice.device));

    const std::size_t n_pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    NYX_CHECK(cudaMalloc(reinterpret_cast<void**>(&state.pixels), n_pixels * 4));
    // The kernel writes whole 8 x 8 tiles only; what lies outside them reads
    // back black rather than as whatever the memory held.
    NYX_CHECK(cudaMemset(state.pixels, 0, n_pixels * 4));
    state.width = width;
    state.height = height;

    allocate_buffer(sphere_buffer, state.spheres, samplers.sph_tex, samplers.sph_words,
                    static_cast<std::size_t>(initial_spheres) * sphere_bytes);
    state.sphereCapacity = initial_spheres;
    allocate_buffer(vertex_buffer, state.vertices, samplers.vert_tex, samplers.vert_words,
                    static_cast<std::size_t>(initial_vertices) * vertex_bytes);
    state.vertexCapacity = initial_vertices;
    allocate_buffer(index_buffer, state.indices, samplers.ind_tex, samplers.ind_words,
                    static_cast<std::size_t>(initial_indices) * index_bytes);
    state.indexCapacity = initial_indices;
    state.kdTreeNodes = nullptr;
    samplers.node_count = 0;
    koru::gpu::upload_sampler_table(samplers);

    const float ambient[4] = {koru::ambient_light, koru::ambient_light, koru::ambient_light, 0.0f};
    koru::gpu::upload_constants(offsetof(Constant_Block, pAmbient_light), ambient, sizeof ambient);
    const int32_t size[2] = {width, height};
    koru::gpu::upload_constants(offsetof(Constant_Block, window_size), size, sizeof size);

    koru::gpu::create_launch_timer();
    initialised = true;
}

void nyxRelease()
{
    // A layer that was never set up has nothing, and no device to ask.
    if (!initialised)
        return;
    destroy_texture(samplers.sph_tex);
    destroy_texture(samplers.vert_tex);
    destroy_texture(samplers.ind_tex);
    destroy_texture(samplers.world_kd_tree_tex);

    free_buffer(state.spheres);
    free_buffer(state.vertices);
    free_buffer(state.indices);
    free_buffer(state.kdTreeNodes);
    free_buffer(state.pixels);

    if (state.objListData != nullptr) {
        destroy_texture(samplers.world_obj_list_data_tex);
        free_buffer(state.objListData);
    }

    for (int t = state.textureCount - 1; t >= 0; --t) {
        destroy_texture(samplers.textures[t]);
        NYX_CHECK(cudaFreeArray(static_cast<cudaArray_t>(state.textureArrays[t])));
        state.textureArrays[t] = nullptr;
    }
    koru::gpu::destroy_launch_timer();
    // The device's tables go back to empty too: no node count, handles of
    // destroyed texture objects, window or lights stay behind for a later
    // launch.
    samplers = Sampler_Table();
    koru::gpu::upload_sampler_table(samplers);
    static const unsigned char empty_constants[sizeof(Constant_Block)] = {};
    koru::gpu::upload_constants(0, empty_constants, sizeof empty_constants);
    koru::gpu::upload_view_angle(koru::rt::half_view_angle);
    state = nyxDeviceScene();
    texture_limit[0] = texture_limit[1] = 0;
    linear_texture_limit = 0;
    initialised = false;
}

int nyxSetSpheres(const TAU_MATH::SPHERE<4, float>* spheres, int count)
{
    return set_growing(sphere_buffer, state.spheres, state.sphereCapacity, samplers.sph_tex, samplers.sph_words,
                       spheres, count);
}

int nyxSetVertices(const TAU_GRAPHICS::VERTEX<4, float>* vertices, int count)
{
    return set_growing(vertex_buffer, state.vertices, state.vertexCapacity, samplers.vert_tex, samplers.vert_words,
                       vertices, count);
}

int nyxSetIndices(const unsigned* indices, int count)
{
    return set_growing(index_buffer, state.indices, state.indexCapacity, samplers.ind_tex, samplers.ind_words,
                       indices, count);
}

int nyxSetMaterials(const TAU_GRAPHICS::MATERIAL<3>* materials, int count)
{
    if (koru::gpu::refuse_materials(count))
        return -1;
    if (count > 0)
        koru::gpu::upload_constants(offsetof(Constant_Block, materials_dump), materials,
                                    static_cast<std::size_t>(count) * sizeof(TAU_GRAPHICS::MATERIAL<3>));
    return 0;
}

int nyxSetPointLights(const TAU_GRAPHICS::Point_Light<4, float>* lights, int count)
{
    if (koru::gpu::refuse_point_lights(count))
        return -1;
    const int32_t n = count > 0 ? count : 0;
    if (n > 0)
        koru::gpu::upload_constants(offsetof(Constant_Block, point_lights_dump), lights,
                                    static_cast<std::size_t>(n) * sizeof(TAU_GRAPHICS::Point_Light<4, float>));
    koru::gpu::upload_constants(offsetof(Constant_Block, num_point_lights), &n, sizeof n);
    return 0;
}

int nyxAddTexture(int width, int height, const void* pixels)
{
    if (state.textureCount >= nyxMaxTextures)
        return -1;
    if (!koru::gpu::texture_fits(width, height, texture_limit[0], texture_limit[1])) {
        std::fprintf(stderr, "nyx ALERT: a texture of %dx%d texels is outside the device's limit of %dx%d\n", width,
                     height, texture_limit[0], texture_limit[1]);
        return -1;
    }
    const int index = state.textureCount;
    cudaArray_t array = nullptr;
    samplers.textures[index] = make_scene_texture(width, height, pixels, array);
    samplers.texture_width[index] = width;
    samplers.texture_height[index] = height;
    samplers.texture_count = index + 1;
    koru::gpu::upload_sampler_table(samplers);

    state.textureArrays[index] = array;
    state.textureCount = index + 1;
    return index;
}

int nyxSetTransform(const TAU_MATH::MATRIX<4, 4, float>* matrix)
{
    koru::gpu::upload_constants(offsetof(Constant_Block, pMatrix_transform), matrix, sizeof *matrix);
    return 0;
}

int nyxSetFieldOfView(float degrees)
{
    koru::gpu::upload_view_angle(koru::rt::half_view_angle_of(degrees));
    return 0;
}

int nyxSetAmbientLight(float value)
{
    const float ambient[4] = {value, value, value, 0.0f};
    koru::gpu::upload_constants(offsetof(Constant_Block, pAmbient_light), ambient, sizeof ambient);
    return 0;
}

int nyxSetKdTree(const RAYTR::KdTreeBox* box, const RAYTR::KdTreeNode* nodes, unsigned nodeCount, const void* objList,
                 unsigned objListBytes)
{
    koru::gpu::upload_constants(offsetof(Constant_Block, pWorldKdTreeBox), box, sizeof *box);
    if (state.kdTreeNodes != nullptr) {
        destroy_texture(samplers.world_kd_tree_tex);
        free_buffer(state.kdTreeNodes);
    }
    if (state.objListData != nullptr) {
        destroy_texture(samplers.world_obj_list_data_tex);
        free_buffer(state.objListData);
    }

    // An empty tree or object list still gets one element behind its
    // texture object.
    const std::size_t node_bytes = static_cast<std::size_t>(nodeCount) * sizeof(RAYTR::KdTreeNode);
    const std::size_t node_size = nodeCount > 0 ? node_bytes : sizeof(RAYTR::KdTreeNode);
    NYX_CHECK(cudaMalloc(&state.kdTreeNodes, node_size));
    samplers.world_kd_tree_tex = make_linear_texture(state.kdTreeNodes, node_size, words2());
    samplers.node_words = static_cast<const uint2*>(state.kdTreeNodes);
    if (node_bytes > 0)
        NYX_CHECK(cudaMemcpy(state.kdTreeNodes, nodes, node_bytes, cudaMemcpyHostToDevice));

    const std::size_t list_size = objListBytes >= least_buffer_bytes ? objListBytes : least_buffer_bytes;
    NYX_CHECK(cudaMalloc(&state.objListData, list_size));
    samplers.world_obj_list_data_tex = make_linear_texture(state.objListData, list_size, word1());
    samplers.obj_list_words = static_cast<const unsigned*>(state.objListData);
    if (objListBytes > 0)
        NYX_CHECK(cudaMemcpy(state.objListData, objList, objListBytes, cudaMemcpyHostToDevice));

    samplers.node_count = nodeCount;
    samplers.tree_scale = koru::rt::box_scale(*box);
    koru::gpu::upload_sampler_table(samplers);
    return 0;
}

int nyxRender(unsigned depth, bool shadows)
{
    if (!initialised)
        return nyxNoMemory;
    koru::gpu::launch_frame(depth, shadows, state.pixels, state.width, state.height);
    return 0;
}

int nyxReadPixels(unsigned* hostPixels)
{
    if (!initialised)
        return nyxNoMemory;
    const std::size_t bytes = static_cast<std::size_t>(state.width) * static_cast<std::size_t>(state.height) * 4;
    NYX_CHECK(cudaMemcpy(hostPixels, state.pixels, bytes, cudaMemcpyDeviceToHost));
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
    // Without the layer there is no scene to trace.
    if (!initialised)
        return nyxNoMemory;
    const std::size_t n = static_cast<std::size_t>(gridWidth) * static_cast<std::size_t>(gridHeight);
    TAU_MATH::RAY<3, float>* dev_rays = nullptr;
    RAYTR::Hit* dev_hits = nullptr;
    if (cudaMalloc(reinterpret_cast<void**>(&dev_rays), n * sizeof(TAU_MATH::RAY<3, float>)) != cudaSuccess) {
        cudaGetLastError();
        return nyxNoMemory;
    }
    if (cudaMalloc(reinterpret_cast<void**>(&dev_hits), n * sizeof(RAYTR::Hit)) != cudaSuccess) {
        cudaGetLastError();
        NYX_CHECK(cudaFree(dev_rays));
        return nyxNoMemory;
    }
    const std::size_t n_rays = count;
    if (n_rays > 0)
        NYX_CHECK(cudaMemcpy(dev_rays, rays, n_rays * sizeof(TAU_MATH::RAY<3, float>), cudaMemcpyHostToDevice));
    // The slots past the count are traced too; they hold zero rays rather
    // than whatever the memory held.
    if (n > n_rays)
        NYX_CHECK(cudaMemset(dev_rays + n_rays, 0, (n - n_rays) * sizeof(TAU_MATH::RAY<3, float>)));

    koru::gpu::launch_traversal(dev_rays, dev_hits, gridWidth, gridHeight);

    if (n_rays > 0)
        NYX_CHECK(cudaMemcpy(hits, dev_hits, n_rays * sizeof(RAYTR::Hit), cudaMemcpyDeviceToHost));
    NYX_CHECK(cudaFree(dev_rays));
    NYX_CHECK(cudaFree(dev_hits));
    return nyxNoError;
}

int nyxProbeTexture(int width, int height, const void* pixels, const float* coordinates, unsigned n, float* colors)
{
    if (!initialised)
        return nyxNoMemory;
    if (n == 0 || !koru::gpu::texture_fits(width, height, texture_limit[0], texture_limit[1]))
        return nyxBadSize;
    cudaArray_t array = nullptr;
    cudaTextureObject_t texture = make_scene_texture(width, height, pixels, array);
    float* dev_coordinates = nullptr;
    float* dev_colors = nullptr;
    NYX_CHECK(cudaMalloc(reinterpret_cast<void**>(&dev_coordinates), std::size_t{n} * 2 * sizeof(float)));
    NYX_CHECK(cudaMalloc(reinterpret_cast<void**>(&dev_colors), std::size_t{n} * 4 * sizeof(float)));
    NYX_CHECK(cudaMemcpy(dev_coordinates, coordinates, std::size_t{n} * 2 * sizeof(float), cudaMemcpyHostToDevice));
    koru::gpu::launch_texture_samples(texture, dev_coordinates, dev_colors, n);
    NYX_CHECK(cudaMemcpy(colors, dev_colors, std::size_t{n} * 4 * sizeof(float), cudaMemcpyDeviceToHost));
    free_buffer(dev_coordinates);
    free_buffer(dev_colors);
    destroy_texture(texture);
    NYX_CHECK(cudaFreeArray(array));
    return nyxNoError;
}
