#include "embree_frame.h"

#include <embree3/rtcore.h>

#include <cstddef>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "rt/shading.h"
#include "rt/scene_walk.h"

namespace koru {
namespace bench {
namespace {

using rt::Color;

// The engine's tiles and runs of tiles, so that both frames share out work
// alike.
constexpr int tile_size = 16;
constexpr int run_tiles = 20;
// The engine takes no hit nearer to the origin than this (its least squared
// distance is 1e-8); Embree's rays start there.
constexpr float min_hit_distance = 1e-4f;
constexpr float ray_infinity = std::numeric_limits<float>::infinity();

void report_error(void*, RTCError code, const char* message)
{
    std::fprintf(stderr, "koru_bench: Embree error %d: %s\n", static_cast<int>(code), message ? message : "");
}

// What a frame reads; none of it changes during the frame.
struct Frame_Inputs {
    RTCScene scene;
    IGraphicsEngine::MATRIX4 cam_matrix;
    const TAU_MATH::RAY<4, float>* eye_rays;
    int width;
    int height;
    const rt::Vertex* vertices;
    const unsigned* indices;
    const rt::Material* materials;
    const rt::Light* lights;
    int light_count;
    const rt::Texture_View* textures;
    int texture_count;
};

// Lane k of a packet as the shared core's ray (fourth components 1).
rt::Ray4 lane_ray(const RTCRay4& ray, int k)
{
    rt::Ray4 r;
    r.pos = rt::Vec4(ray.org_x[k], ray.org_y[k], ray.org_z[k], 1.0f);
    r.dir = rt::Vec4(ray.dir_x[k], ray.dir_y[k], ray.dir_z[k], 1.0f);
    return r;
}

void set_lane(RTCRay4& ray, int k, const rt::Vec4& origin, const rt::Vec4& direction)
{
    ray.org_x[k] = origin[0];
    ray.org_y[k] = origin[1];
    ray.org_z[k] = origin[2];
    ray.dir_x[k] = direction[0];
    ray.dir_y[k] = direction[1];
    ray.dir_z[k] = direction[2];
    ray.tnear[k] = min_hit_distance;
    ray.tfar[k] = ray_infinity;
    ray.time[k] = 0.0f;
    ray.mask[k] = 0xFFFFFFFFu;
    ray.id[k] = static_cast<unsigned>(k);
    ray.flags[k] = 0;
}

// The block with lower-left pixel (x, y), lanes (x, y), (x+1, y), (x, y+1),
// (x+1, y+1), edge lanes repeated on odd sizes: primary packet, one shadow
// packet per light, shading and pixels, as the engine makes them.
void trace_block(const Frame_Inputs& in, int x, int y, RTCIntersectContext& context, unsigned* pixels,
                 Embree_Frame::Ray_Counts& counts)
{
    const int x1 = x + 1 < in.width ? x + 1 : x;
    const int y1 = y + 1 < in.height ? y + 1 : y;
    const int lane_x[4] = {x, x1, x, x1};
    const int lane_y[4] = {y, y, y1, y1};
    const IGraphicsEngine::MATRIX4& m = in.cam_matrix;

    RTCRayHit4 primary;
    for (int k = 0; k < 4; ++k) {
        const TAU_MATH::RAY<4, float>& eye = in.eye_rays[static_cast<std::size_t>(lane_y[k]) * in.width + lane_x[k]];
        const rt::Vec4 origin = m * eye.pos;
        rt::Vec4 direction;
        for (int a = 0; a < 3; ++a)
            direction[a] = m[a][0] * eye.dir[0] + m[a][1] * eye.dir[1] + m[a][2] * eye.dir[2];
        set_lane(primary.ray, k, origin, direction);
        primary.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
        primary.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
    }
    const int all_lanes[4] = {-1, -1, -1, -1};
    rtcIntersect4(all_lanes, in.scene, &context, &primary);
    counts.primary += 4;

    RAYTR::Hit hits[4];
    int hit_lanes[4];
    unsigned n_hits = 0;
    int first_hit = 0;
    for (int k = 3; k >= 0; --k) {
        hit_lanes[k] = primary.hit.geomID[k] != RTC_INVALID_GEOMETRY_ID ? -1 : 0;
        if (!hit_lanes[k])
            continue;
        first_hit = k;
        const float u = primary.hit.u[k], v = primary.hit.v[k];
        rt::fill_hit(in.vertices, in.indices + 3 * static_cast<std::size_t>(primary.hit.primID[k]), 1.0f - u - v, u,
                     v, &hits[k]);
        ++n_hits;
    }

    Color colors[4];
    for (int k = 0; k < 4; ++k)
        colors[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);
    for (int l = 0; n_hits > 0 && l < in.light_count; ++l) {
        const rt::Light& light = in.lights[l];
        // As the engine does: a shadow ray only for hits that face the light.
        int lit_lanes[4];
        unsigned n_lit = 0;
        for (int k = 0; k < 4; ++k) {
            lit_lanes[k] = hit_lanes[k] && rt::faces_light(rt::light_direction(hits[k], light)) ? -1 : 0;
            n_lit += lit_lanes[k] ? 1u : 0u;
        }
        RTCRay4 shadow;
        if (n_lit > 0) {
            for (int k = 0; k < 4; ++k) {
                // Lanes without a shadow ray are switched off; they still hold a defined ray.
                const rt::Ray4 r = rt::make_shadow_ray(hit_lanes[k] ? hits[k].pos : hits[first_hit].pos, light.pos);
                set_lane(shadow, k, r.pos, r.dir);
            }
            rtcOccluded4(lit_lanes, in.scene, &context, &shadow);
            counts.shadow += n_lit;
        }
        for (int k = 0; k < 4; ++k) {
            if (!hit_lanes[k])
                continue;
            // An occluded ray comes back with tfar set to minus infinity.
            const bool shadowed = lit_lanes[k] && shadow.tfar[k] < 0.0f;
            const Color c = rt::shade_hit(lane_ray(primary.ray, k), hits[k], light, shadowed, in.materials,
                                          in.textures, in.texture_count);
            colors[k] = colors[k] + rt::clamp_above(c);
        }
    }

    const std::size_t row = static_cast<std::size_t>(y) * in.width;
    const bool has_right = x + 1 < in.width;
    const bool has_above = y + 1 < in.height;
    pixels[row + x] = rt::pack_color(colors[0]);
    if (has_right)
        pixels[row + x + 1] = rt::pack_color(colors[1]);
    if (has_above) {
        pixels[row + in.width + x] = rt::pack_color(colors[2]);
        if (has_right)
            pixels[row + in.width + x + 1] = rt::pack_color(colors[3]);
    }
}

} // namespace

struct Embree_Frame::State {
    CPU_Ray_Tracer* engine = nullptr;
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    std::vector<unsigned> pixels;
    Ray_Counts counts;

    ~State()
    {
        if (scene)
            rtcReleaseScene(scene);
        if (device)
            rtcReleaseDevice(device);
    }
};

Embree_Frame::Embree_Frame(CPU_Ray_Tracer& engine) : state(new State)
{
    state->engine = &engine;
    state->device = rtcNewDevice(nullptr);
    if (!state->device)
        throw std::runtime_error("Embree: no device (error " +
                                 std::to_string(static_cast<int>(rtcGetDeviceError(nullptr))) + ")");
    rtcSetDeviceErrorFunction(state->device, report_error, nullptr);

    // Embree's best tree for tracing, as the engine's SAH kd-tree is its best,
    // and its default triangle test (its robust mode agrees no better here).
    state->scene = rtcNewScene(state->device);
    rtcSetSceneBuildQuality(state->scene, RTC_BUILD_QUALITY_HIGH);
    const int n_triangles = engine.IndexCount() / 3;
    if (n_triangles > 0) {
        RTCGeometry mesh = rtcNewGeometry(state->device, RTC_GEOMETRY_TYPE_TRIANGLE);
        rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, engine.Vertices(),
                                   offsetof(rt::Vertex, pos), sizeof(rt::Vertex),
                                   static_cast<std::size_t>(engine.VertexCount()));
        rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, engine.Indices(), 0,
                                   3 * sizeof(unsigned), static_cast<std::size_t>(n_triangles));
        rtcCommitGeometry(mesh);
        rtcAttachGeometry(state->scene, mesh);
        rtcReleaseGeometry(mesh);
    }
    rtcCommitScene(state->scene);
    if (rtcGetDeviceError(state->device) != RTC_ERROR_NONE)
        throw std::runtime_error("Embree could not build the scene");
}

Embree_Frame::~Embree_Frame() = default;

void Embree_Frame::render(int thread_count)
{
    CPU_Ray_Tracer& engine = *state->engine;
    const int texture_count = engine.TextureCount();
    rt::Texture_View texture_views[Common_Graphics_Engine::kMaxTextures];
    for (int i = 0; i < texture_count; ++i) {
        texture_views[i].width = engine.Textures()[i].width;
        texture_views[i].height = engine.Textures()[i].height;
        texture_views[i].texels = engine.Textures()[i].data;
    }
    Frame_Inputs in;
    in.scene = state->scene;
    in.cam_matrix = engine.GetCamMatrix();
    in.eye_rays = engine.EyeRays();
    in.width = engine.Width();
    in.height = engine.Height();
    in.vertices = engine.Vertices();
    in.indices = engine.Indices();
    in.materials = engine.Materials();
    in.lights = engine.PointLights();
    in.light_count = engine.PointLightCount();
    in.textures = texture_views;
    in.texture_count = texture_count;

    // Every frame writes every pixel: the buffer is only sized here.
    state->pixels.resize(static_cast<std::size_t>(in.width) * in.height);
    state->counts = Ray_Counts();
    if (in.eye_rays == nullptr)
        return;

    const int tiles_x = (in.width + tile_size - 1) / tile_size;
    const int runs_per_row = (tiles_x + run_tiles - 1) / run_tiles;
    const int n_runs = runs_per_row * ((in.height + tile_size - 1) / tile_size);
    unsigned* const pixels = state->pixels.data();
    Ray_Counts& counts = state->counts;
#pragma omp parallel num_threads(thread_count > 0 ? thread_count : 1)
    {
        Ray_Counts thread_counts;
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
#pragma omp for schedule(dynamic)
        for (int run = 0; run < n_runs; ++run) {
            const int first = run % runs_per_row * tiles_x / runs_per_row;
            const int end = (run % runs_per_row + 1) * tiles_x / runs_per_row;
            const int y0 = run / runs_per_row * tile_size;
            const int y1 = y0 + tile_size < in.height ? y0 + tile_size : in.height;
            for (int tile = first; tile < end; ++tile) {
                const int x0 = tile * tile_size;
                const int x1 = x0 + tile_size < in.width ? x0 + tile_size : in.width;
                for (int y = y0; y < y1; y += 2)
                    for (int x = x0; x < x1; x += 2)
                        trace_block(in, x, y, context, pixels, thread_counts);
            }
        }
#pragma omp critical(koru_bench_embree_counts)
        {
            counts.primary += thread_counts.primary;
            counts.shadow += thread_counts.shadow;
        }
    }
}

const std::vector<unsigned>& Embree_Frame::pixels() const { return state->pixels; }

Embree_Frame::Ray_Counts Embree_Frame::counts() const { return state->counts; }

} // namespace bench
} // namespace koru
