// The three engines behind IGraphicsEngine. Clients create them with new and
// must call Release before delete.
#pragma once

#include "graphics_engine.h"

namespace koru {
namespace cpu {
struct Leaf_Blocks; // the CPU tracer's own copy of the leaves' triangles
} // namespace cpu
} // namespace koru

// Traces on the processor: packets of 2x2 pixel blocks over the kd-tree,
// triangles only, one shadow ray per light. In whole-scene mode
// (SetWholeScene) it draws the GPU engine's picture instead. Frames of any
// size: beyond the frame buffer it keeps nothing per pixel.
class CPU_Ray_Tracer : public Ray_Tracer {
public:
    // What the last frame traced; for benchmarks and tests.
    struct Frame_Stats {
        unsigned long long packets = 0;          // primary and shadow packets traced
        unsigned long long coherent_packets = 0; // of those, walked as one packet
        unsigned long long primary_rays = 0;
        unsigned long long shadow_rays = 0;      // shadow rays actually cast
        unsigned long long secondary_rays = 0;   // reflected rays (whole-scene mode)
    };

    CPU_Ray_Tracer() {}

    void Init(int width, int height) override;
    void Release() override;
    void BeginDrawScene(unsigned depth, bool shadows) override;
    void EndDrawScene() override;
    void BuildKdTree() override;
    RT_Core* GetRTCore() override;

    const Frame_Stats& LastFrameStats() const { return stats; }
    // Threads that trace a frame; 0 or less: one per hardware thread (the
    // default). At most kMaxThreads: a larger count is cut to it, with a
    // notice on standard error. The image is the same for every count.
    static constexpr int kMaxThreads = 256;
    void SetThreadCount(int count);
    int ThreadCount() const;
    // Rays walked at once: 4 (a 2x2 block), 8 (two blocks side by side; on
    // processors with AVX2) or 16 (4x4 pixels; with AVX-512). Frames use the
    // widest of these that is at most the count set and that the processor
    // runs, the widest of all by default; PacketWidth answers which. The
    // image is the same for every width.
    void SetPacketWidth(int lanes) { packet_width = lanes; }
    int PacketWidth() const;
    // Whole-scene mode, off by default: frames draw the GPU engine's picture
    // (rt/gpu_pixel.h), spheres included, with the depth (1 to 5, any other
    // value as 4) and shadow switch of BeginDrawScene, mirror reflections and
    // the ambient light. Off, depth and shadows are ignored: one generation,
    // triangles only, always with shadows.
    void SetWholeScene(bool on) { whole_scene = on; }
    bool WholeScene() const { return whole_scene; }

protected:
    friend struct koru::Engine_Access;

    Frame_Stats stats;
    int thread_count = 0; // 0: one per hardware thread
    koru::cpu::Leaf_Blocks* leaf_blocks = nullptr;
    int packet_width = 16;
    bool whole_scene = false;
};

// Traces triangles and spheres on an NVIDIA GPU through the CUDA runtime,
// with 1 to 5 ray generations (mirror reflections) and shadows on request.
// One may be live per process; all GPU state lives in the device layer
// (gpu/rtlib.h). Without a usable device, Init ends the process (status 1):
// ask koru::GpuDeviceAvailable() first.
class GPU_Ray_Tracer : public Ray_Tracer {
public:
    // Nearest hits of ray batches on the GPU. A hit record of a triangle has
    // prim_id -1, of a sphere the sphere's index, and a ray that hits nothing
    // gets zeros with prim_id kMissPrimId.
    class RT_Core : public Ray_Tracer::RT_Core {
    public:
        static constexpr int32_t kMissPrimId = -2;

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
    // Refuses a texture larger than the device's 2D texture limit.
    unsigned AddTexture(const void* pixels, unsigned width, unsigned height, unsigned unused) override;
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
    // share material and all four tex_id bytes, named 1, 2, 3 ...; in the
    // large mode (LargeCapacity) a run is cut into lists of at most 65,535
    // indices.
    struct GL_List {
        unsigned next_list = 1;
        OpenGL_Render* engine = nullptr; // whose scene the lists hold

        // Compiles the lists; refuses fewer than 3 indices, and 65536 or more
        // outside the large mode.
        void Init(const unsigned* indices, unsigned index_count, OpenGL_Render* owner);
    };

    // The projection: the field of view up the frame's height (the ray
    // tracers take it across the width), as of Init or the last frame.
    void load_projection();

    GLUquadric* quadric = nullptr; // every sphere and light marker
    GL_List gl_list;
    bool lists_pending = false;    // until the lists are compiled
    float projection_field_of_view = 0.0f; // the one load_projection used
};

namespace koru {

// Whether a CUDA device is usable by GPU_Ray_Tracer. Never ends the process;
// safe to ask before any engine exists.
bool GpuDeviceAvailable();

} // namespace koru
