// The three engines behind IGraphicsEngine. Clients create them with new and
// must call Release before delete.
#pragma once

#include "graphics_engine.h"

struct Ray_Packet; // cpu/ray_packet.h
namespace koru {
namespace rt {
struct Tree_View;    // cpu/rt_core.h
struct Texture_View;
} // namespace rt
} // namespace koru

// Traces on the processor: 2x2 packets over the kd-tree, triangles only, one
// shadow ray per light.
class CPU_Ray_Tracer : public Ray_Tracer {
public:
    // What the last frame traced; for benchmarks and tests.
    struct Frame_Stats {
        unsigned long long packets = 0;          // primary and shadow packets traced
        unsigned long long coherent_packets = 0; // of those, walked as one packet
        unsigned long long primary_rays = 0;
        unsigned long long shadow_rays = 0;      // shadow rays actually cast
    };

    CPU_Ray_Tracer() {}

    void Init(int width, int height) override;
    void Release() override;
    void BeginDrawScene(unsigned depth, bool shadows) override;
    void EndDrawScene() override;
    void BuildKdTree() override;
    RT_Core* GetRTCore() override;

    const Frame_Stats& LastFrameStats() const { return stats; }

protected:
    // Walks one ray front to back; 0xFFFFFFFF on a hit (hit filled), 0 on a miss.
    unsigned kd_tree_traverse(const TAU_MATH::RAY<4, float>& ray, RAYTR::Hit* hit);

    // The frame, block by block (cpu/cpu_ray_tracer.cpp).
    void init_eye_rays();
    void trace_quad(int x, int y, const koru::rt::Tree_View& tree, const koru::rt::Texture_View* textures);
    void make_primary_packet(int x, int y, Ray_Packet& packet) const;
    void shade_packet(const Ray_Packet& packet, const koru::rt::Tree_View& tree,
                      const koru::rt::Texture_View* textures, VECTOR4 colors[4]);

    // Traversal (cpu/traversal.cpp). trace_packet walks a packet whose
    // directions share an octant as one, and any other ray by ray; both return
    // the lane mask of hits (bit k for lane k) with hits[k] filled for them.
    unsigned trace_packet(const Ray_Packet& packet, RAYTR::Hit hits[4], const koru::rt::Tree_View& tree);
    // The packet walk alone: the four rays enter the tree together or, when
    // one misses the world box, not at all (empty mask).
    unsigned kd_tree_traverse_packet(const Ray_Packet& packet, RAYTR::Hit hits[4],
                                     const koru::rt::Tree_View& tree);
    // What the walks read of the scene store and the kd-tree.
    koru::rt::Tree_View tree_view() const;

    TAU_MATH::RAY<4, float>* eye_rays = nullptr; // camera-space primary rays, row-major
    Frame_Stats stats;
};

// Traces on an NVIDIA GPU through the CUDA runtime. One may be live per process.
class GPU_Ray_Tracer : public Ray_Tracer {
public:
    class RT_Core : public Ray_Tracer::RT_Core {
    public:
        void TraverseRayGrid(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned width,
                             unsigned height) override;
        void TraverseRays(const TAU_MATH::RAY<3, float>* rays, RAYTR::Hit* hits, unsigned count) override;
    };

    GPU_Ray_Tracer() {}

    void Init(int width, int height) override;
    void Release() override;
    void BeginDrawScene(unsigned depth, bool shadows) override;
    void EndDrawScene() override;
    void BuildKdTree() override;
    Ray_Tracer::RT_Core* GetRTCore() override;

protected:
    // Never to be used: engines are not assignable.
    virtual GPU_Ray_Tracer& operator=(const GPU_Ray_Tracer&)
    {
        throw TAU_ERROR::Error("GPU_Ray_Tracer:: Atempt to call protected operator=() ");
    }
};

// Rasterizes the scene with fixed-function OpenGL as a reference picture:
// triangles through display lists compiled at the first frame, spheres and
// light markers as GLU quadrics, at most eight OpenGL lights. Needs the
// current OpenGL context from Init on; builds no kd-tree.
class OpenGL_Render : public Common_Graphics_Engine {
public:
    OpenGL_Render() {}

    void Init(int width, int height) override;
    void BeginDrawScene(unsigned depth, bool shadows) override;
    void EndDrawScene() override;
    unsigned AddTexture(const void* pixels, unsigned width, unsigned height, unsigned unused) override;

protected:
    // The triangle display lists: one per run of consecutive triangles that
    // share material and all four tex_id bytes, named 1, 2, 3 ...
    struct GL_List {
        unsigned next_list = 1;
        OpenGL_Render* engine = nullptr; // whose scene the lists hold

        // Compiles the lists; refuses fewer than 3 or 65536 or more indices.
        void Init(const unsigned* indices, unsigned index_count, OpenGL_Render* owner);
    };

    GLUquadric* quadric = nullptr; // every sphere and light marker
    GL_List gl_list;
    bool lists_pending = false;    // until the lists are compiled
};

namespace koru {

// Whether a CUDA device is usable by GPU_Ray_Tracer. Never ends the process;
// safe to ask before any engine exists.
bool GpuDeviceAvailable();

} // namespace koru
