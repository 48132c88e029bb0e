// The CPU engine: every frame the tiles traced on all threads by the block
// tracer of the widest packets the processor runs (lane_kernels.cpp), into
// the frame buffer.
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "../kdtree/kdtree.h"
#include "engine/engines.h"
#include "frame.h"
#include "leaf_blocks.h"
#include "../rt/gpu_pixel.h"
#include "../store/engine_access.h"
#include "parallel_tiles.h"
#include "traversal.h"

using RAYTR::Hit;

namespace {

void add_stats(CPU_Ray_Tracer::Frame_Stats& sum, const CPU_Ray_Tracer::Frame_Stats& part)
{
    sum.packets += part.packets;
    sum.coherent_packets += part.coherent_packets;
    sum.primary_rays += part.primary_rays;
    sum.shadow_rays += part.shadow_rays;
    sum.secondary_rays += part.secondary_rays;
}

// What one thread reads and counts during a frame: its own copy of the
// frame's description, on cache lines of its own, so that no line written at
// every packet (one thread's counts) is read by another thread.
struct alignas(64) Thread_Frame {
    koru::cpu::Frame_Scene scene;
    koru::rt::Texture_View textures[Common_Graphics_Engine::kMaxTextures];
    CPU_Ray_Tracer::Frame_Stats stats;
};

} // namespace

// The engine keeps nothing per pixel but the frame buffer: a frame makes
// each primary ray as its block is traced. So Init is the scene store's,
// all or nothing: a frame too large to hold leaves the engine as it was.
void CPU_Ray_Tracer::Init(int frame_width, int frame_height)
{
    Common_Graphics_Engine::Init(frame_width, frame_height);
}

void CPU_Ray_Tracer::Release()
{
    delete leaf_blocks;
    leaf_blocks = nullptr;
    Common_Graphics_Engine::Release();
}

void CPU_Ray_Tracer::BuildKdTree()
{
    Common_Graphics_Engine::BuildKdTree();
    delete leaf_blocks;
    leaf_blocks = nullptr;
    leaf_blocks = koru::cpu::make_leaf_blocks(koru::cpu::tree_view(*this), BuildThreads()).release();
}

Ray_Tracer::RT_Core* CPU_Ray_Tracer::GetRTCore() { return nullptr; }

void CPU_Ray_Tracer::SetThreadCount(int count)
{
    // Far more threads than any machine runs only exhaust the thread runtime.
    if (count > kMaxThreads) {
        std::fprintf(stderr, "SetThreadCount: %d threads asked; a frame uses at most %d\n", count, kMaxThreads);
        count = kMaxThreads;
    }
    thread_count = count > 0 ? count : 0;
}

int CPU_Ray_Tracer::ThreadCount() const
{
    if (thread_count > 0)
        return thread_count;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(std::min(hardware, static_cast<unsigned>(kMaxThreads))) : 1;
}

int CPU_Ray_Tracer::PacketWidth() const { return koru::cpu::block_tracer(packet_width).width; }

// Without whole-scene mode depth and the shadow switch do not apply: one
// primary ray per pixel and one shadow ray per light and hit, always.
void CPU_Ray_Tracer::BeginDrawScene(unsigned depth, bool shadows)
{
    stats = Frame_Stats();
    if (frame_buffer == nullptr)
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
    frame.materials = materials;
    frame.lights = point_lights;
    frame.light_count = point_light_count;
    frame.texture_count = texture_count;
    frame.cam_matrix = cam_matrix;
    frame.eye = koru::rt::eye_view(width, height, koru::rt::half_view_angle_of(field_of_view));
    frame.width = width;
    frame.height = height;
    if (whole_scene) {
        frame.tree.spheres = koru::Engine_Access::kd_tree(*this)->spheres;
        frame.whole_scene = true;
        frame.depth = koru::rt::kernel_depth(depth);
        frame.shadows = shadows;
        for (float& c : frame.ambient)
            c = koru::ambient_light;
    }

    const int threads = ThreadCount();
    std::vector<Thread_Frame> per_thread(static_cast<std::size_t>(threads));
    for (Thread_Frame& mine : per_thread) {
        mine.scene = frame;
        for (int i = 0; i < texture_count; ++i) {
            mine.textures[i].width = textures[i].width;
            mine.textures[i].height = textures[i].height;
            mine.textures[i].texels = textures[i].data;
        }
        mine.scene.textures = mine.textures;
    }

    // Every block writes only its own pixels, so the tiles may go in any
    // order to any thread.
    const koru::cpu::Block_Tracer tracer = koru::cpu::block_tracer(packet_width);
    unsigned* const pixels = frame_buffer;
    koru::cpu::parallel_tiles(width, height, threads, [&](const koru::cpu::Tile& tile, int thread) {
        Thread_Frame& mine = per_thread[static_cast<std::size_t>(thread)];
        tracer.trace_tile(mine.scene, tile, pixels, mine.stats);
    });
    for (const Thread_Frame& mine : per_thread)
        add_stats(stats, mine.stats);
}

void CPU_Ray_Tracer::EndDrawScene()
{
    glDrawPixels(width, height, GL_RGBA, GL_UNSIGNED_BYTE, frame_buffer);
    glutSwapBuffers();
}

