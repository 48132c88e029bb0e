// The CPU engine's frame drawn a second time with Embree 3's packet queries,
// as a yardstick: primary packets as wide as the engine's (2x2, 4x2 or 4x4
// pixels; Embree's packets of 16 where the processor has AVX-512) from the
// engine's eye view and camera, one shadow ray per light and hit made by the
// shared core, hits turned into the engine's Hit record and shaded by the
// shared shading, 16 x 16 tiles on OpenMP threads. Only the walk is Embree's,
// over a BVH it builds itself. Or the engine's
// whole-scene frame: 4x4 packets of 16 per ray generation, the spheres as
// user geometry tested by the shared sphere test, reflections and ambient
// light as rt/gpu_pixel.h has them.
#pragma once

#include <memory>
#include <vector>

#include "engine/engines.h"

namespace koru {
namespace bench {

class Embree_Frame {
public:
    struct Ray_Counts {
        unsigned long long primary = 0;
        unsigned long long shadow = 0;
        unsigned long long secondary = 0; // reflected rays (whole scene)
    };

    // Builds Embree's scene over the engine's vertex and index arrays, which
    // it shares: the engine must outlive this and keep its triangles.
    // With spheres, the engine's spheres join the scene (for whole frames).
    // Embree builds on build_threads threads, or as many as it takes by
    // default for 0.
    explicit Embree_Frame(CPU_Ray_Tracer& engine, bool with_spheres = false, int build_threads = 0);
    ~Embree_Frame();
    Embree_Frame(const Embree_Frame&) = delete;
    Embree_Frame& operator=(const Embree_Frame&) = delete;

    // Draws the frame from the engine's current camera matrix (the one its
    // last frame used) on thread_count threads.
    void render(int thread_count);
    // The whole-scene frame of depth generations (1 to 5), shadows on request;
    // needs the spheres.
    void render_whole(int thread_count, int depth, bool shadows);

    // Width x height pixel words, row-major from the bottom row, as the
    // engine's frame buffer.
    const std::vector<unsigned>& pixels() const;
    // What the last frame traced.
    Ray_Counts counts() const;
    // Seconds Embree took to build its BVH over the scene.
    double build_seconds() const;

private:
    void render_frame(int thread_count, int depth, bool shadows);

    struct State;
    std::unique_ptr<State> state;
};

} // namespace bench
} // namespace koru
