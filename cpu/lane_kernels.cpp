// The lane kernels: the frame's block tracer and the packet walks, each one
// template over the packet width N, compiled once per lane type into entry
// points for that lane type's instructions (SSE for four lanes, AVX2 for
// eight, AVX-512 for sixteen). The frame picks its entry once, from the
// processor and the engine's packet width.
#include <algorithm>
#include <type_traits>

#include "../rt/gpu_pixel.h"
#include "frame.h"
#include "lane_shading.h"
#include "packet_walk.h"

namespace koru {
namespace cpu {
namespace {

// The colours of the packet's lanes (r, g, b lanes): black without a hit,
// else the shading of the hit with shadows.
template <int N>
void shade_packet(const Frame_Scene& scene, const Ray_Packet_Of<N>& packet, simd::vfloat<N> colors[3],
                  Frame_Stats& stats)
{
    using F = simd::vfloat<N>;
    for (int c = 0; c < 3; ++c)
        colors[c] = F(0.0f);

    alignas(16) Hit hits[N];
    const unsigned hit_mask = nearest_hits(scene.tree, packet, all_lanes<F>, hits, stats);
    stats.primary_rays += N;
    if (hit_mask == 0)
        return;
    shade_hit_lanes(scene, packet, Hit_Lanes<F>(scene, hits, hit_mask), hit_mask, true, colors, stats);
}

// The whole scene's colours of the packet's lanes (r, g, b lanes),
// generation after generation as rt::trace_pixel sums them: each
// generation's shading weighted by the reflectivities along the way, the
// ambient light for a reflected ray that leaves the scene. Each generation is
// one packet of the lanes still alive; the others borrow a live lane's ray,
// so that the packet stays as coherent as its live rays are, and are not
// walked.
template <int N>
void shade_whole_packet(const Frame_Scene& scene, const Ray_Packet_Of<N>& primary, simd::vfloat<N> totals[3],
                        Frame_Stats& stats)
{
    using F = simd::vfloat<N>;
    for (int c = 0; c < 3; ++c)
        totals[c] = F(0.0f);
    F weight(1.0f);
    Ray_Packet_Of<N> packet = primary;
    unsigned live = (1u << N) - 1u;
    stats.primary_rays += N;
    for (int generation = 0; generation < scene.depth; ++generation) {
        alignas(16) Hit hits[N];
        const unsigned hit_mask = nearest_hits(scene.tree, packet, live, hits, stats);
        if (generation > 0 && (live & ~hit_mask) != 0) {
            const Mask<F> left = lanes_of<F>(live & ~hit_mask);
            for (int c = 0; c < 3; ++c)
                totals[c] = simd::select(left, totals[c] + F(scene.ambient[c]) * weight, totals[c]);
        }
        live = hit_mask;
        if (live == 0)
            return;

        const Hit_Lanes<F> h(scene, hits, live);
        F colors[3] = {F(0.0f), F(0.0f), F(0.0f)};
        shade_hit_lanes(scene, packet, h, live, scene.shadows, colors, stats);
        const Mask<F> shaded = lanes_of<F>(live);
        for (int c = 0; c < 3; ++c)
            totals[c] = simd::select(shaded, totals[c] + colors[c] * weight, totals[c]);
        if (generation + 1 == scene.depth)
            return;

        // The mirror rays of the reflective hits.
        const unsigned reflective = static_cast<unsigned>(simd::movemask(h.reflectivity > F(0.0f))) & live;
        Ray_Packet_Of<N> next;
        live = reflective != 0 ? reflect_lanes(packet, h, reflective, next) : 0u;
        if (live == 0)
            return;
        weight = simd::select(lanes_of<F>(live), weight * h.reflectivity, weight);
        borrow_lanes(next, live);
        stats.secondary_rays += static_cast<unsigned>(__builtin_popcount(live));
        packet = next;
    }
}

// Lane k of a block of N lanes with lower-left pixel (x, y): the 2x2 blocks
// of four lanes side by side, then the next two above them.
constexpr int lane_dx(int k) { return 2 * (k / 4 % 2) + k % 2; }
constexpr int lane_dy(int k) { return 2 * (k / 8) + k % 4 / 2; }

// Every lane's offsets as floats, for lane arithmetic.
template <int N>
struct Lane_Offsets {
    float dx[N] = {};
    float dy[N] = {};

    constexpr Lane_Offsets()
    {
        for (int k = 0; k < N; ++k) {
            dx[k] = static_cast<float>(lane_dx(k));
            dy[k] = static_cast<float>(lane_dy(k));
        }
    }
};
template <int N>
constexpr Lane_Offsets<N> lane_offsets{};

// The primary rays of the block's lanes in world space; lanes past the
// frame's edge repeat its last column or row.
template <int N>
void primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet_Of<N>& packet)
{
    const IGraphicsEngine::MATRIX4& m = scene.cam_matrix;
    // Every eye ray starts at the camera, so the lanes share one origin.
    const IGraphicsEngine::VECTOR4 origin = m * IGraphicsEngine::VECTOR4(0.0f, 0.0f, 0.0f, 1.0f);
    for (int a = 0; a < 3; ++a)
        for (int k = 0; k < N; ++k)
            packet.origin[a][k] = origin[a];
    // The lanes' eye directions at once, each rounded as the single ray's.
    // Pixel numbers are whole floats, so these sums, differences and
    // minima are exact: the numbers the single ray converts.
    using F = simd::vfloat<N>;
    const F across = simd::min_or_bound(F(static_cast<float>(x)) + F::load(lane_offsets<N>.dx),
                                        F(static_cast<float>(scene.width - 1))) -
                     F(static_cast<float>(scene.eye.half_width));
    const F up = simd::min_or_bound(F(static_cast<float>(y)) + F::load(lane_offsets<N>.dy),
                                    F(static_cast<float>(scene.height - 1))) -
                 F(static_cast<float>(scene.eye.half_height));
    F d[3];
    scene.eye.direction_through(across, up, d);
    // Rotation only: a unit direction stays unit length.
    for (int a = 0; a < 3; ++a)
        ((F(m[a][0]) * d[0] + F(m[a][1]) * d[1]) + F(m[a][2]) * d[2]).store(packet.direction[a]);
}

// Stores the pixels (packed) of the 2x2 block at (x, y) that lie inside the
// frame.
void store_quad(const Frame_Scene& scene, int x, int y, const uint32_t pixels[4], unsigned* frame_buffer)
{
    const int width = scene.width;
    const std::size_t row = static_cast<std::size_t>(y) * width;
    const bool has_right = x + 1 < width;
    const bool has_above = y + 1 < scene.height;
    frame_buffer[row + x] = pixels[0];
    if (has_right)
        frame_buffer[row + x + 1] = pixels[1];
    if (has_above) {
        frame_buffer[row + width + x] = pixels[2];
        if (has_right)
            frame_buffer[row + width + x + 1] = pixels[3];
    }
}

// rt::pack_color of every lane's colour (r, g, b lanes).
template <class F>
void pack_lanes(const F colors[3], uint32_t pixels[])
{
    F bytes[3];
    for (int c = 0; c < 3; ++c) {
        const F channel = simd::select(colors[c] > F(0.0f), simd::min_or_bound(colors[c], F(1.0f)), F(0.0f));
        bytes[c] = channel * F(255.0f);
    }
    simd::pack_bytes(bytes[0], bytes[1], bytes[2], pixels);
}

// The size in pixels of a block of N lanes: 2x2, 4x2 or 4x4.
template <int N>
constexpr int block_width = N == 4 ? 2 : 4;
template <int N>
constexpr int block_height = N == 16 ? 4 : 2;

// Traces, shades and stores the block of N lanes at (x, y) as one packet.
template <int N>
void trace_block(const Frame_Scene& scene, int x, int y, unsigned* frame_buffer, Frame_Stats& stats)
{
    Ray_Packet_Of<N> packet;
    primary_packet(scene, x, y, packet);
    simd::vfloat<N> lanes[3];
    if (scene.whole_scene)
        shade_whole_packet(scene, packet, lanes, stats);
    else
        shade_packet(scene, packet, lanes, stats);
    alignas(4 * N) uint32_t pixels[N];
    pack_lanes(lanes, pixels);
    for (int quad = 0; quad < N / 4; ++quad)
        store_quad(scene, x + lane_dx(4 * quad), y + lane_dy(4 * quad), pixels + 4 * quad, frame_buffer);
}

template <int N>
using Width = std::integral_constant<int, N>;

// The narrower block tracer's entry, for the edges of a tile.
#define KORU_DECLARE_BLOCK_ENTRY(N)                                                                            \
    KORU_LANE_ENTRY_##N void block_entry(Width<N>, const Frame_Scene& scene, const Tile& tile, int x, int y,      \
                                         unsigned* frame_buffer, Frame_Stats& stats);
KORU_DECLARE_BLOCK_ENTRY(4)
#if KORU_SIMD_WIDE
KORU_DECLARE_BLOCK_ENTRY(8)
#endif
#undef KORU_DECLARE_BLOCK_ENTRY

// The block of N lanes at (x, y) in the tile: one packet where its last 2x2
// block starts inside the tile, else its two halves (a 4x4 block's lower and
// upper rows, a 4x2 block's left and right 2x2 blocks) where they start
// inside it.
template <int N>
void trace_block_in(const Frame_Scene& scene, const Tile& tile, int x, int y, unsigned* frame_buffer,
                    Frame_Stats& stats)
{
    if constexpr (N > 4) {
        if (x + block_width<N> - 2 >= tile.x1 || y + block_height<N> - 2 >= tile.y1) {
            constexpr int dx = N == 8 ? 2 : 0, dy = N == 16 ? 2 : 0;
            block_entry(Width<N / 2>(), scene, tile, x, y, frame_buffer, stats);
            if (x + dx < tile.x1 && y + dy < tile.y1)
                block_entry(Width<N / 2>(), scene, tile, x + dx, y + dy, frame_buffer, stats);
            return;
        }
    }
    trace_block<N>(scene, x, y, frame_buffer, stats);
}

template <int N>
void trace_tile(const Frame_Scene& scene, const Tile& tile, unsigned* frame_buffer, Frame_Stats& stats)
{
    for (int y = tile.y0; y < tile.y1; y += block_height<N>)
        for (int x = tile.x0; x < tile.x1; x += block_width<N>)
            trace_block_in<N>(scene, tile, x, y, frame_buffer, stats);
}

// Each lane type's entry points. Everything they call, other than the
// narrower entries, is compiled into them (flatten) for that lane type's
// instructions, so that no code for wider lanes runs before the processor is
// known to have them.
#define KORU_LANE_ENTRIES(N)                                                                                  \
    KORU_LANE_ENTRY_##N void tile_entry(Width<N>, const Frame_Scene& scene, const Tile& tile,                   \
                                        unsigned* frame_buffer, Frame_Stats& stats)                           \
    {                                                                                                         \
        trace_tile<N>(scene, tile, frame_buffer, stats);                                                      \
    }                                                                                                         \
    KORU_LANE_ENTRY_##N unsigned nearest_entry(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet,         \
                                               unsigned own, Hit hits[], Frame_Stats& stats)                  \
    {                                                                                                         \
        return nearest_hits(tree, packet, own, hits, stats);                                                  \
    }                                                                                                         \
    KORU_LANE_ENTRY_##N unsigned any_entry(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet,             \
                                           unsigned own, Frame_Stats& stats)                                  \
    {                                                                                                         \
        return any_hits(tree, packet, own, stats);                                                            \
    }

#define KORU_BLOCK_ENTRY(N)                                                                                   \
    KORU_LANE_ENTRY_##N void block_entry(Width<N>, const Frame_Scene& scene, const Tile& tile, int x, int y,      \
                                         unsigned* frame_buffer, Frame_Stats& stats)                          \
    {                                                                                                         \
        trace_block_in<N>(scene, tile, x, y, frame_buffer, stats);                                            \
    }

KORU_LANE_ENTRIES(4)
KORU_BLOCK_ENTRY(4)
#if KORU_SIMD_WIDE
KORU_LANE_ENTRIES(8)
KORU_BLOCK_ENTRY(8)
KORU_LANE_ENTRIES(16)
#endif
#undef KORU_LANE_ENTRIES
#undef KORU_BLOCK_ENTRY

// The frame's entry of N lanes.
template <int N>
void trace_tile_of(const Frame_Scene& scene, const Tile& tile, unsigned* frame_buffer, Frame_Stats& stats)
{
    tile_entry(Width<N>(), scene, tile, frame_buffer, stats);
}

} // namespace

Block_Tracer block_tracer(int max_width)
{
    const int lanes = std::min(max_width, simd::widest_lanes());
#if KORU_SIMD_WIDE
    if (lanes >= 16)
        return {16, &trace_tile_of<16>};
    if (lanes >= 8)
        return {8, &trace_tile_of<8>};
#endif
    (void)lanes;
    return {4, &trace_tile_of<4>};
}

void make_primary_packet(const Frame_Scene& scene, int x, int y, Ray_Packet& packet)
{
    primary_packet(scene, x, y, packet);
}

template <int N>
unsigned trace_packet(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, Hit hits[], Frame_Stats& stats,
                      unsigned own)
{
    return nearest_entry(tree, packet, own & all_lanes<simd::vfloat<N>>, hits, stats);
}

template <int N>
unsigned trace_shadow_packet(const Packet_Tree& tree, const Ray_Packet_Of<N>& packet, Frame_Stats& stats,
                             unsigned own)
{
    return any_entry(tree, packet, own & all_lanes<simd::vfloat<N>>, stats);
}

template unsigned trace_packet(const Packet_Tree&, const Ray_Packet_Of<4>&, Hit[], Frame_Stats&, unsigned);
template unsigned trace_shadow_packet(const Packet_Tree&, const Ray_Packet_Of<4>&, Frame_Stats&, unsigned);
#if KORU_SIMD_WIDE
template unsigned trace_packet(const Packet_Tree&, const Ray_Packet_Of<8>&, Hit[], Frame_Stats&, unsigned);
template unsigned trace_shadow_packet(const Packet_Tree&, const Ray_Packet_Of<8>&, Frame_Stats&, unsigned);
template unsigned trace_packet(const Packet_Tree&, const Ray_Packet_Of<16>&, Hit[], Frame_Stats&, unsigned);
template unsigned trace_shadow_packet(const Packet_Tree&, const Ray_Packet_Of<16>&, Frame_Stats&, unsigned);
#endif

unsigned kd_tree_traverse_packet(const Packet_Tree& tree, const Ray_Packet& packet, Hit hits[4])
{
    using simd::float4;
    if (tree.view.node_count == 0)
        return 0;
    const Packet_Rays<float4> rays(packet);
    const rt::Box_Stretch<float4> stretch = rt::slab_stretch<float4>(tree.view.world_box, rays.origin, rays.inv);
    if (simd::movemask(rt::meets_box(stretch)) != all_lanes<float4>)
        return 0;
    Nearest_Hit<float4> nearest{tree, hits};
    const unsigned done =
        static_cast<unsigned>(walk_packet(tree.view, packet, rays, stretch, all_lanes<float4>, nearest));
    nearest.fill_hits(done, packet);
    return done;
}

} // namespace cpu
} // namespace koru
