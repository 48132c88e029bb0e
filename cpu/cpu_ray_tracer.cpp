// The CPU engine's frame: camera-space primary rays made once per Init, then
// every frame 2x2 pixel blocks traced as packets, shaded with one shadow
// packet per light and packed into the frame buffer. Tiles of blocks go to
// OpenMP's threads, which live for the whole process.
#include <GL/freeglut.h>

#include <cstdint>
#include <thread>

#include "../kdtree/kdtree.h"
#include "engine/engines.h"
#include "frame.h"
#include "leaf_blocks.h"
#include "../rt/simd.h"
#include "traversal.h"

using koru::rt::Color;
using koru::simd::float4;
using RAYTR::Hit;

namespace {

// Tiles of 16 x 16 pixels: small enough to balance two threads on the demo
// scene, large enough that handing them out costs nothing.
constexpr int tile_size = 16;

void add_stats(CPU_Ray_Tracer::Frame_Stats& sum, const CPU_Ray_Tracer::Frame_Stats& part)
{
    sum.packets += part.packets;
    sum.coherent_packets += part.coherent_packets;
    sum.primary_rays += part.primary_rays;
    sum.shadow_rays += part.shadow_rays;
}

} // namespace

void CPU_Ray_Tracer::Init(int frame_width, int frame_height)
{
    Common_Graphics_Engine::Init(frame_width, frame_height);
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * sizeof(TAU_MATH::RAY<4, float>);
    // The table must be addressable with 32-bit sizes.
    if (bytes > UINT32_MAX)
        throw TAU_MATH::Aligned_Bad_Alloc();
    eye_rays = static_cast<TAU_MATH::RAY<4, float>*>(TAU_MATH::aligned_malloc(static_cast<std::size_t>(bytes), 16));
    init_eye_rays();
}

void CPU_Ray_Tracer::Release()
{
    delete leaf_blocks;
    leaf_blocks = nullptr;
    if (eye_rays != nullptr) {
        TAU_MATH::aligned_free(eye_rays);
        eye_rays = nullptr;
    }
    Common_Graphics_Engine::Release();
}

void CPU_Ray_Tracer::BuildKdTree()
{
    Common_Graphics_Engine::BuildKdTree();
    delete leaf_blocks;
    leaf_blocks = nullptr;
    leaf_blocks = koru::cpu::make_leaf_blocks(koru::cpu::tree_view(*this)).release();
}

Ray_Tracer::RT_Core* CPU_Ray_Tracer::GetRTCore() { return nullptr; }

void CPU_Ray_Tracer::SetThreadCount(int count) { thread_count = count > 0 ? count : 0; }

int CPU_Ray_Tracer::ThreadCount() const
{
    if (thread_count > 0)
        return thread_count;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

unsigned CPU_Ray_Tracer::kd_tree_traverse(const TAU_MATH::RAY<4, float>& ray, Hit* hit)
{
    return koru::rt::traverse_ray(koru::cpu::tree_view(*this), ray, hit);
}

void CPU_Ray_Tracer::init_eye_rays()
{
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y) {
            TAU_MATH::RAY<4, float>& ray = eye_rays[static_cast<std::size_t>(y) * width + x];
            ray.pos = VECTOR4(0.0f, 0.0f, 0.0f, 1.0f);
            ray.dir = koru::rt::eye_ray_direction(x, y, width, height);
        }
}

// Depth and the shadow switch do not apply: one primary ray per pixel and one
// shadow ray per light and hit, always.
void CPU_Ray_Tracer::BeginDrawScene(unsigned, bool)
{
    stats = Frame_Stats();
    if (frame_buffer == nullptr || eye_rays == nullptr)
        return;
    UpdateCamMatrices();

    koru::cpu::Frame_Scene scene;
    scene.tree = koru::cpu::packet_tree(*this);
    if (scene.tree.view.node_count == 0) {
        // No tree yet: nothing can be hit.
        const std::size_t n_pixels = static_cast<std::size_t>(width) * height;
        for (std::size_t i = 0; i < n_pixels; ++i)
            frame_buffer[i] = 0;
        return;
    }
    koru::rt::Texture_View texture_views[kMaxTextures];
    for (int i = 0; i < texture_count; ++i) {
        texture_views[i].width = textures[i].width;
        texture_views[i].height = textures[i].height;
        texture_views[i].texels = textures[i].data;
    }
    scene.materials = materials;
    scene.lights = point_lights;
    scene.light_count = point_light_count;
    scene.textures = texture_views;
    scene.texture_count = texture_count;
    scene.cam_matrix = cam_matrix;
    scene.eye_rays = eye_rays;
    scene.width = width;
    scene.height = height;

    // Every block writes only its own pixels, so the tiles may go in any
    // order to any thread; each thread counts into its own statistics.
    const int tiles_x = (width + tile_size - 1) / tile_size;
    const int n_tiles = tiles_x * ((height + tile_size - 1) / tile_size);
    unsigned* const pixels = frame_buffer;
#pragma omp parallel num_threads(ThreadCount())
    {
        Frame_Stats thread_stats;
#pragma omp for schedule(dynamic)
        for (int tile = 0; tile < n_tiles; ++tile) {
            const int x0 = (tile % tiles_x) * tile_size, y0 = (tile / tiles_x) * tile_size;
            const int x1 = x0 + tile_size < scene.width ? x0 + tile_size : scene.width;
            const int y1 = y0 + tile_size < scene.height ? y0 + tile_size : scene.height;
            for (int x = x0; x < x1; x += 2)
                for (int y = y0; y < y1; y += 2)
                    koru::cpu::trace_quad(scene, x, y, pixels, thread_stats);
        }
#pragma omp critical(koru_frame_stats)
        add_stats(stats, thread_stats);
    }
}

void CPU_Ray_Tracer::EndDrawScene()
{
    glDrawPixels(width, height, GL_RGBA, GL_UNSIGNED_BYTE, frame_buffer);
    glutSwapBuffers();
}

namespace koru {
namespace cpu {
namespace {

// The colours of the block's four lanes: black without a hit, else the sum
// over the lights of each light's shading, each limited to 1 per channel.
void shade_packet(const Frame_Scene& scene, const Ray_Packet& packet, Color colors[4],
                  CPU_Ray_Tracer::Frame_Stats& stats)
{
    for (int k = 0; k < 4; ++k)
        colors[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);

    alignas(16) Hit hits[4];
    const unsigned hit_mask = trace_packet(scene.tree, packet, hits, stats);
    stats.primary_rays += 4;
    if (hit_mask == 0)
        return;

    for (int l = 0; l < scene.light_count; ++l) {
        const rt::Light& light = scene.lights[l];
        // Only hits that face the light need a shadow ray: elsewhere shading
        // ignores shadows.
        unsigned lit = 0;
        for (int k = 0; k < 4; ++k)
            if ((hit_mask & (1u << k)) && rt::faces_light(rt::light_direction(hits[k], light)))
                lit |= 1u << k;
        unsigned shadowed = 0;
        if (lit != 0) {
            // Lanes without a shadow ray of their own borrow one, so that every
            // lane holds a real ray and the packet stays coherent; their answer
            // is unused.
            int first_lit = 0;
            while (!(lit & (1u << first_lit)))
                ++first_lit;
            Ray_Packet shadow_packet;
            for (int k = 0; k < 4; ++k) {
                const int source = (lit & (1u << k)) ? k : first_lit;
                set_lane(shadow_packet, k, rt::make_shadow_ray(hits[source].pos, light.pos));
            }
            shadowed = trace_shadow_packet(scene.tree, shadow_packet, stats) & lit;
            stats.shadow_rays += ((lit >> 0) & 1u) + ((lit >> 1) & 1u) + ((lit >> 2) & 1u) + ((lit >> 3) & 1u);
        }

        for (int k = 0; k < 4; ++k) {
            if (!(hit_mask & (1u << k)))
                continue;
            const Color c = rt::shade_hit(lane_ray(packet, k), hits[k], light, (shadowed & (1u << k)) != 0,
                                          scene.materials, scene.textures, scene.texture_count);
            colors[k] = colors[k] + rt::clamp_above(c);
        }
    }
}

} // namespace

void make_primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet& packet)
{
    const int x1 = x + 1 < scene.width ? x + 1 : x;
    const int y1 = y + 1 < scene.height ? y + 1 : y;
    const TAU_MATH::RAY<4, float>* lane_eye[4] = {
        &scene.eye_rays[static_cast<std::size_t>(y) * scene.width + x],
        &scene.eye_rays[static_cast<std::size_t>(y) * scene.width + x1],
        &scene.eye_rays[static_cast<std::size_t>(y1) * scene.width + x],
        &scene.eye_rays[static_cast<std::size_t>(y1) * scene.width + x1]};
    const IGraphicsEngine::MATRIX4& m = scene.cam_matrix;
    // Every eye ray starts at the camera, so the lanes share one origin.
    const IGraphicsEngine::VECTOR4 origin = m * lane_eye[0]->pos;
    for (int a = 0; a < 3; ++a) {
        const float4 along(origin[a]);
        along.store(packet.origin[a]);
    }
    // Rotation only: a unit direction stays unit length.
    float4 eye[3];
    for (int i = 0; i < 3; ++i)
        eye[i] = float4(lane_eye[0]->dir[i], lane_eye[1]->dir[i], lane_eye[2]->dir[i], lane_eye[3]->dir[i]);
    for (int a = 0; a < 3; ++a)
        ((float4(m[a][0]) * eye[0] + float4(m[a][1]) * eye[1]) + float4(m[a][2]) * eye[2]).store(packet.direction[a]);
}

void trace_quad(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer, CPU_Ray_Tracer::Frame_Stats& stats)
{
    Ray_Packet packet;
    make_primary_packet(scene, x, y, packet);
    Color colors[4];
    shade_packet(scene, packet, colors, stats);

    const int width = scene.width;
    const std::size_t row = static_cast<std::size_t>(y) * width;
    const bool has_right = x + 1 < width;
    const bool has_above = y + 1 < scene.height;
    frame_buffer[row + x] = rt::pack_color(colors[0]);
    if (has_right)
        frame_buffer[row + x + 1] = rt::pack_color(colors[1]);
    if (has_above) {
        frame_buffer[row + width + x] = rt::pack_color(colors[2]);
        if (has_right)
            frame_buffer[row + width + x + 1] = rt::pack_color(colors[3]);
    }
}

} // namespace cpu
} // namespace koru
