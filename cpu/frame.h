// The CPU tracer's frame, one 2x2 pixel block at a time: the block's primary
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
    const TAU_MATH::RAY<4, float>* eye_rays; // camera-space primary rays, row-major
    int width;
    int height;
};

// The primary rays of the block with lower-left pixel (x, y) in world space.
// On an odd width or height the last blocks repeat their last column or row
// in the lanes past the edge.
void make_primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet& packet);

// Traces and shades the block with lower-left pixel (x, y) and stores the
// pixels that lie inside the frame.
void trace_quad(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer, CPU_Ray_Tracer::Frame_Stats& stats);

// The same for the blocks at (x, y) and (x + 2, y) as one packet of eight;
// only where wide_packets_available() answers true, and x + 2 < width.
void trace_wide_block(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer,
                      CPU_Ray_Tracer::Frame_Stats& stats);

// The same for the blocks at (x, y), (x + 2, y), (x, y + 2) and (x + 2, y + 2)
// as one packet of sixteen; only where wider_packets_available() answers
// true, x + 2 < width and y + 2 < height.
void trace_wider_block(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer,
                       CPU_Ray_Tracer::Frame_Stats& stats);

} // namespace cpu
} // namespace koru
