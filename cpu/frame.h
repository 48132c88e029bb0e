// The CPU tracer's frame, one block of pixels at a time: the block's primary
// packet, its shading with one shadow packet per light, and its pixels.
#pragma once

#include "../engine/engines.h"
#include "../rt/shading.h"
#include "../rt/scene_walk.h"
#include "ray_packet.h"
#include "traversal.h"

namespace koru {
namespace cpu {

// Everything a frame reads; none of it changes during the frame.
struct Frame_Scene {
    Packet_Tree tree;
    const rt::Material* materials;
    const rt::Light* lights;
    int light_count;
    const rt::Texture_View* textures;
    int texture_count;
    IGraphicsEngine::MATRIX4 cam_matrix;
    rt::Eye_View eye; // camera-space primary rays, made as their blocks are traced
    int width;
    int height;
    // The whole scene (tree.spheres set): `depth` generations of mirror
    // reflections (1 to 5), shadow rays only when `shadows`, and the ambient
    // light that reflected rays leaving the scene bring back. Otherwise the
    // CPU tracer's own picture: one generation, always with shadows.
    bool whole_scene = false;
    int depth = 1;
    bool shadows = true;
    float ambient[3] = {0.0f, 0.0f, 0.0f};
};

// The pixels [x0, x1) x [y0, y1) of a frame.
struct Tile {
    int x0, y0, x1, y1;
};

// The frame's tracer of one packet width, chosen once per frame: it traces
// and shades a tile in blocks of `width` pixels (2x2, 4x2 or 4x4), each
// block one packet, and stores the pixels that lie inside the frame.
struct Block_Tracer {
    int width;
    void (*trace_tile)(const Frame_Scene& scene, const Tile& tile, unsigned* frame_buffer,
                       CPU_Ray_Tracer::Frame_Stats& stats);
};

// The widest block tracer of at most max_width lanes that this processor
// runs (at least the one of four).
Block_Tracer block_tracer(int max_width);

// The primary rays of the 2x2 block with lower-left pixel (x, y) in world
// space, as the block tracers make them. On an odd width or height the last
// blocks repeat their last column or row in the lanes past the edge.
void make_primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet& packet);

} // namespace cpu
} // namespace koru
