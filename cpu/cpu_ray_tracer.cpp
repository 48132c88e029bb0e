// The CPU engine's frame: camera-space primary rays made once per Init, then
// every frame 2x2 pixel blocks traced as packets, shaded with one shadow
// packet per light and packed into the frame buffer.
#include <GL/freeglut.h>

#include <cstdint>

#include "../kdtree/kdtree.h"
#include "engine/engines.h"
#include "ray_packet.h"
#include "rt_core.h"

using koru::rt::Color;
using RAYTR::Hit;

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
    if (eye_rays != nullptr) {
        TAU_MATH::aligned_free(eye_rays);
        eye_rays = nullptr;
    }
    Common_Graphics_Engine::Release();
}

void CPU_Ray_Tracer::BuildKdTree() { Common_Graphics_Engine::BuildKdTree(); }

Ray_Tracer::RT_Core* CPU_Ray_Tracer::GetRTCore() { return nullptr; }

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

    const koru::rt::Tree_View tree = tree_view();
    if (tree.node_count == 0) {
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

    for (int x = 0; x < width; x += 2)
        for (int y = 0; y < height; y += 2)
            trace_quad(x, y, tree, texture_views);
}

void CPU_Ray_Tracer::EndDrawScene()
{
    glDrawPixels(width, height, GL_RGBA, GL_UNSIGNED_BYTE, frame_buffer);
    glutSwapBuffers();
}

// On an odd width or height the last blocks repeat their last column or row
// in the lanes past the edge; those lanes are traced but never stored.
void CPU_Ray_Tracer::make_primary_packet(int x, int y, Ray_Packet& packet) const
{
    const int x1 = x + 1 < width ? x + 1 : x;
    const int y1 = y + 1 < height ? y + 1 : y;
    const int lane_x[4] = {x, x1, x, x1};
    const int lane_y[4] = {y, y, y1, y1};
    const MATRIX4& m = cam_matrix;
    for (int k = 0; k < 4; ++k) {
        const TAU_MATH::RAY<4, float>& eye = eye_rays[static_cast<std::size_t>(lane_y[k]) * width + lane_x[k]];
        const VECTOR4 origin = m * eye.pos;
        // Rotation only: a unit direction stays unit length.
        for (int a = 0; a < 3; ++a) {
            packet.origin[a][k] = origin[a];
            packet.direction[a][k] = m[a][0] * eye.dir[0] + m[a][1] * eye.dir[1] + m[a][2] * eye.dir[2];
        }
    }
}

void CPU_Ray_Tracer::trace_quad(int x, int y, const koru::rt::Tree_View& tree,
                                const koru::rt::Texture_View* texture_views)
{
    Ray_Packet packet;
    make_primary_packet(x, y, packet);
    VECTOR4 colors[4];
    shade_packet(packet, tree, texture_views, colors);

    const std::size_t row = static_cast<std::size_t>(y) * width;
    const bool has_right = x + 1 < width;
    const bool has_above = y + 1 < height;
    frame_buffer[row + x] = koru::rt::pack_color(colors[0]);
    if (has_right)
        frame_buffer[row + x + 1] = koru::rt::pack_color(colors[1]);
    if (has_above) {
        frame_buffer[row + width + x] = koru::rt::pack_color(colors[2]);
        if (has_right)
            frame_buffer[row + width + x + 1] = koru::rt::pack_color(colors[3]);
    }
}

void CPU_Ray_Tracer::shade_packet(const Ray_Packet& packet, const koru::rt::Tree_View& tree,
                                  const koru::rt::Texture_View* texture_views, VECTOR4 colors[4])
{
    for (int k = 0; k < 4; ++k)
        colors[k] = VECTOR4(0.0f, 0.0f, 0.0f, 0.0f);

    alignas(16) Hit hits[4];
    const unsigned hit_mask = trace_packet(packet, hits, tree);
    stats.primary_rays += 4;
    if (hit_mask == 0)
        return;

    int first_hit = 0;
    while (!(hit_mask & (1u << first_hit)))
        ++first_hit;
    const unsigned n_hits = ((hit_mask >> 0) & 1u) + ((hit_mask >> 1) & 1u) + ((hit_mask >> 2) & 1u) + ((hit_mask >> 3) & 1u);

    for (int l = 0; l < point_light_count; ++l) {
        const LIGHT& light = point_lights[l];
        // Lanes without a hit borrow a hit lane's shadow ray, so that every lane
        // holds a real ray and the packet stays coherent; their answer is unused.
        Ray_Packet shadow_packet;
        for (int k = 0; k < 4; ++k) {
            const int source = (hit_mask & (1u << k)) ? k : first_hit;
            koru::rt::set_lane(shadow_packet, k, koru::rt::make_shadow_ray(hits[source].pos, light.pos));
        }
        alignas(16) Hit shadow_hits[4];
        const unsigned shadowed = trace_packet(shadow_packet, shadow_hits, tree);
        stats.shadow_rays += n_hits;

        for (int k = 0; k < 4; ++k) {
            if (!(hit_mask & (1u << k)))
                continue;
            const Color c = koru::rt::shade_hit(koru::rt::lane_ray(packet, k), hits[k], light,
                                                (shadowed & (1u << k)) != 0, materials, texture_views, texture_count);
            colors[k] = colors[k] + koru::rt::clamp_above(c);
        }
    }
}
