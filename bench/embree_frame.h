// The CPU engine's frame drawn a second time with Embree 3's packet queries,
// as a yardstick: the same 2x2 primary packets from the engine's eye rays and
// camera, one shadow ray per light and hit made by the shared core, hits
// turned into the engine's Hit record and shaded by the shared shading, 16 x 16
// tiles on OpenMP threads. Only the kd-tree walk is Embree's.
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
    };

    // Builds Embree's scene over the engine's vertex and index arrays, which
    // it shares: the engine must outlive this and keep its triangles.
    explicit Embree_Frame(CPU_Ray_Tracer& engine);
    ~Embree_Frame();
    Embree_Frame(const Embree_Frame&) = delete;
    Embree_Frame& operator=(const Embree_Frame&) = delete;

    // Draws the frame from the engine's current camera matrix (the one its
    // last frame used) on thread_count threads.
    void render(int thread_count);

    // Width x height pixel words, row-major from the bottom row, as the
    // engine's frame buffer.
    const std::vector<unsigned>& pixels() const;
    // What the last frame traced.
    Ray_Counts counts() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace bench
} // namespace koru
