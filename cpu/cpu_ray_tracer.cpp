// The CPU engine's frame: camera-space primary rays made once per Init, then
// every frame 2x2 pixel blocks traced as packets (one, two or four blocks to
// a packet, as wide as the processor allows), shaded with one shadow packet
// per light and packed into the frame buffer. Runs of tiles go to OpenMP's
// threads, which live for the whole process.
#include <GL/freeglut.h>

#include <cstdint>
#include <thread>

#include "../kdtree/kdtree.h"
#include "engine/engines.h"
#include "frame.h"
#include "leaf_blocks.h"
#include "traversal.h"

using koru::rt::Color;
using RAYTR::Hit;

namespace {

// Tiles of 16 x 16 pixels, handed out in runs of about 20 along a tile row:
// each thread then streams through its own stretch of the eye rays and the
// frame buffer. Threads that take turns at neighbouring tiles run slower (on
// two cores, the demo scene at about 1.7 times one thread's speed, against
// 1.9 with runs), and a frame still has dozens of runs to balance them.
constexpr int tile_size = 16;
constexpr int run_tiles = 20;

void add_stats(CPU_Ray_Tracer::Frame_Stats& sum, const CPU_Ray_Tracer::Frame_Stats& part)
{
    sum.packets += part.packets;
    sum.coherent_packets += part.coherent_packets;
    sum.primary_rays += part.primary_rays;
    sum.shadow_rays += part.shadow_rays;
}

// Traces the pixels [x0, x1) x [y0, y1) in steps of 4x4: one packet of
// sixteen, two of eight or four of four, as wide as lanes allows and the
// edges of the tile leave room for.
void trace_tile(const koru::cpu::Frame_Scene& scene, int lanes, int x0, int y0, int x1, int y1, unsigned* pixels,
                CPU_Ray_Tracer::Frame_Stats& stats)
{
    for (int y = y0; y < y1; y += 4)
        for (int x = x0; x < x1; x += 4) {
            if (lanes == 16 && x + 2 < x1 && y + 2 < y1) {
                koru::cpu::trace_wider_block(scene, x, y, pixels, stats);
                continue;
            }
            for (int row = y; row < y + 4 && row < y1; row += 2) {
                if (lanes >= 8 && x + 2 < x1) {
                    koru::cpu::trace_wide_block(scene, x, row, pixels, stats);
                    continue;
                }
                koru::cpu::trace_quad(scene, x, row, pixels, stats);
                if (x + 2 < x1)
                    koru::cpu::trace_quad(scene, x + 2, row, pixels, stats);
            }
        }
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

int CPU_Ray_Tracer::PacketWidth() const
{
    if (packet_width >= 16 && koru::cpu::wider_packets_available())
        return 16;
    if (packet_width >= 8 && koru::cpu::wide_packets_available())
        return 8;
    return 4;
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

    koru::cpu::Frame_Scene frame;
    frame.tree = koru::cpu::packet_tree(*this);
    if (frame.tree.view.node_count == 0) {
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
    frame.materials = materials;
    frame.lights = point_lights;
    frame.light_count = point_light_count;
    frame.textures = texture_views;
    frame.texture_count = texture_count;
    frame.cam_matrix = cam_matrix;
    frame.eye_rays = eye_rays;
    frame.width = width;
    frame.height = height;
    const int lanes = PacketWidth();

    // Every block writes only its own pixels, so the tiles may go in any
    // order to any thread; each thread counts into its own statistics.
    const int tiles_x = (width + tile_size - 1) / tile_size;
    const int runs_per_row = (tiles_x + run_tiles - 1) / run_tiles;
    const int n_runs = runs_per_row * ((height + tile_size - 1) / tile_size);
    unsigned* const pixels = frame_buffer;
#pragma omp parallel num_threads(ThreadCount())
    {
        // Each thread reads its own copy of what the frame reads and counts
        // on cache lines of its own, so that no line written at every packet
        // (the first thread's counts, on its stack beside the frame's
        // description) is read by another thread.
        struct alignas(64) Thread_Frame {
            koru::cpu::Frame_Scene scene;
            koru::rt::Texture_View textures[kMaxTextures];
            Frame_Stats stats;
        } mine;
        mine.scene = frame;
        for (int i = 0; i < frame.texture_count; ++i)
            mine.textures[i] = frame.textures[i];
        mine.scene.textures = mine.textures;
        const koru::cpu::Frame_Scene& scene = mine.scene;
        Frame_Stats& thread_stats = mine.stats;
#pragma omp for schedule(dynamic)
        for (int run = 0; run < n_runs; ++run) {
            const int first = run % runs_per_row * tiles_x / runs_per_row;
            const int end = (run % runs_per_row + 1) * tiles_x / runs_per_row;
            const int y0 = run / runs_per_row * tile_size;
            const int y1 = y0 + tile_size < scene.height ? y0 + tile_size : scene.height;
            for (int tile = first; tile < end; ++tile) {
                const int x0 = tile * tile_size;
                const int x1 = x0 + tile_size < scene.width ? x0 + tile_size : scene.width;
                trace_tile(scene, lanes, x0, y0, x1, y1, pixels, thread_stats);
            }
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

// The colours of the packet's lanes: black without a hit, else the sum over
// the lights of each light's shading, each limited to 1 per channel.
template <class Packet>
void shade_packet(const Frame_Scene& scene, const Packet& packet, Color colors[], CPU_Ray_Tracer::Frame_Stats& stats)
{
    constexpr int n = Packet::lanes;
    for (int k = 0; k < n; ++k)
        colors[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);

    alignas(16) Hit hits[n];
    const unsigned hit_mask = trace_packet(scene.tree, packet, hits, stats);
    stats.primary_rays += n;
    if (hit_mask == 0)
        return;

    for (int l = 0; l < scene.light_count; ++l) {
        const rt::Light& light = scene.lights[l];
        // Only hits that face the light need a shadow ray: elsewhere shading
        // ignores shadows.
        unsigned lit = 0;
        for (int k = 0; k < n; ++k)
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
            Packet shadow_packet;
            for (int k = 0; k < n; ++k) {
                const int source = (lit & (1u << k)) ? k : first_lit;
                set_lane(shadow_packet, k, rt::make_shadow_ray(hits[source].pos, light.pos));
            }
            shadowed = trace_shadow_packet(scene.tree, shadow_packet, stats) & lit;
            for (unsigned bits = lit; bits != 0; bits &= bits - 1)
                ++stats.shadow_rays;
        }

        for (int k = 0; k < n; ++k) {
            if (!(hit_mask & (1u << k)))
                continue;
            const Color c = rt::shade_hit(lane_ray(packet, k), hits[k], light, (shadowed & (1u << k)) != 0,
                                          scene.materials, scene.textures, scene.texture_count);
            colors[k] = colors[k] + rt::clamp_above(c);
        }
    }
}

// The primary rays of the pixels (lane_x[k], lane_y[k]) in world space.
template <class Packet, int N>
void primary_lanes(const Frame_Scene& scene, const int (&lane_x)[N], const int (&lane_y)[N], Packet& packet)
{
    const IGraphicsEngine::MATRIX4& m = scene.cam_matrix;
    const auto eye = [&](int k) -> const TAU_MATH::RAY<4, float>& {
        return scene.eye_rays[static_cast<std::size_t>(lane_y[k]) * scene.width + lane_x[k]];
    };
    // Every eye ray starts at the camera, so the lanes share one origin.
    const IGraphicsEngine::VECTOR4 origin = m * eye(0).pos;
    for (int a = 0; a < 3; ++a)
        for (int k = 0; k < N; ++k)
            packet.origin[a][k] = origin[a];
    // Rotation only: a unit direction stays unit length.
    for (int k = 0; k < N; ++k) {
        const IGraphicsEngine::VECTOR4& d = eye(k).dir;
        for (int a = 0; a < 3; ++a)
            packet.direction[a][k] = (m[a][0] * d[0] + m[a][1] * d[1]) + m[a][2] * d[2];
    }
}

} // namespace

void make_primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet& packet)
{
    const int x1 = x + 1 < scene.width ? x + 1 : x;
    const int y1 = y + 1 < scene.height ? y + 1 : y;
    primary_lanes(scene, {x, x1, x, x1}, {y, y, y1, y1}, packet);
}

namespace {

// Stores the pixels of the 2x2 block at (x, y) that lie inside the frame.
void store_block(const Frame_Scene& scene, int x, int y, const Color colors[4], unsigned* frame_buffer)
{
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

} // namespace

void trace_quad(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer, CPU_Ray_Tracer::Frame_Stats& stats)
{
    Ray_Packet packet;
    make_primary_packet(scene, x, y, packet);
    Color colors[4];
    shade_packet(scene, packet, colors, stats);
    store_block(scene, x, y, colors, frame_buffer);
}

void trace_wide_block(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer,
                      CPU_Ray_Tracer::Frame_Stats& stats)
{
    const int x3 = x + 3 < scene.width ? x + 3 : x + 2;
    const int y1 = y + 1 < scene.height ? y + 1 : y;
    Wide_Ray_Packet packet;
    primary_lanes(scene, {x, x + 1, x, x + 1, x + 2, x3, x + 2, x3}, {y, y, y1, y1, y, y, y1, y1}, packet);
    Color colors[8];
    shade_packet(scene, packet, colors, stats);
    store_block(scene, x, y, colors, frame_buffer);
    store_block(scene, x + 2, y, colors + 4, frame_buffer);
}

void trace_wider_block(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer,
                       CPU_Ray_Tracer::Frame_Stats& stats)
{
    const int x3 = x + 3 < scene.width ? x + 3 : x + 2;
    const int y3 = y + 3 < scene.height ? y + 3 : y + 2;
    Wider_Ray_Packet packet;
    primary_lanes(scene, {x, x + 1, x, x + 1, x + 2, x3, x + 2, x3, x, x + 1, x, x + 1, x + 2, x3, x + 2, x3},
                  {y, y, y + 1, y + 1, y, y, y + 1, y + 1, y + 2, y + 2, y3, y3, y + 2, y + 2, y3, y3}, packet);
    Color colors[16];
    shade_packet(scene, packet, colors, stats);
    store_block(scene, x, y, colors, frame_buffer);
    store_block(scene, x + 2, y, colors + 4, frame_buffer);
    store_block(scene, x, y + 2, colors + 8, frame_buffer);
    store_block(scene, x + 2, y + 2, colors + 12, frame_buffer);
}

} // namespace cpu
} // namespace koru
