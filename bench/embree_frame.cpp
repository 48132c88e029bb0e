#include "embree_frame.h"

#include <embree3/rtcore.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "rt/gpu_pixel.h"
#include "rt/shading.h"
#include "rt/scene_walk.h"
#include "rt/sphere.h"
#include "store/engine_access.h"
#include "kdtree/kdtree.h"

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
    rt::Eye_View eye;
    int width;
    int height;
    const rt::Vertex* vertices;
    const unsigned* indices;
    const rt::Material* materials;
    const rt::Light* lights;
    int light_count;
    const rt::Texture_View* textures;
    int texture_count;
    // The whole scene.
    const rt::Sphere* spheres;
    unsigned sphere_geometry;
    int depth;
    bool shadows;
};

// Lane k of a packet of Embree rays (RTCRay4, RTCRay16) as the shared
// core's ray (fourth components 1).
template <class Rays>
rt::Ray4 lane_ray(const Rays& ray, int k)
{
    rt::Ray4 r;
    r.pos = rt::Vec4(ray.org_x[k], ray.org_y[k], ray.org_z[k], 1.0f);
    r.dir = rt::Vec4(ray.dir_x[k], ray.dir_y[k], ray.dir_z[k], 1.0f);
    return r;
}

template <class Rays>
void set_lane(Rays& ray, int k, const rt::Vec4& origin, const rt::Vec4& direction)
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

// Lane k of a block of N lanes with lower-left pixel (x, y), as the engine
// lays out its packets: the 2x2 blocks of four lanes side by side, then the
// next two above them.
constexpr int lane_dx(int k) { return 2 * (k / 4 % 2) + k % 2; }
constexpr int lane_dy(int k) { return 2 * (k / 8) + k % 4 / 2; }

// Embree's packets of N rays and their queries.
template <int N>
struct Embree_Packet;
template <>
struct Embree_Packet<4> {
    using Ray_Hit = RTCRayHit4;
    using Ray = RTCRay4;
    static void intersect(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray_Hit* rays)
    {
        rtcIntersect4(valid, scene, context, rays);
    }
    static void occluded(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray* rays)
    {
        rtcOccluded4(valid, scene, context, rays);
    }
};
template <>
struct Embree_Packet<8> {
    using Ray_Hit = RTCRayHit8;
    using Ray = RTCRay8;
    static void intersect(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray_Hit* rays)
    {
        rtcIntersect8(valid, scene, context, rays);
    }
    static void occluded(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray* rays)
    {
        rtcOccluded8(valid, scene, context, rays);
    }
};
template <>
struct Embree_Packet<16> {
    using Ray_Hit = RTCRayHit16;
    using Ray = RTCRay16;
    static void intersect(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray_Hit* rays)
    {
        rtcIntersect16(valid, scene, context, rays);
    }
    static void occluded(const int* valid, RTCScene scene, RTCIntersectContext* context, Ray* rays)
    {
        rtcOccluded16(valid, scene, context, rays);
    }
};

// The block of N lanes (2x2, 4x2 or 4x4 pixels) with lower-left pixel
// (x, y), lanes past the frame's edge repeating its last column or row:
// primary packet, one shadow packet per light, shading and pixels, as the
// engine makes them.
template <int N>
void trace_block(const Frame_Inputs& in, int x, int y, RTCIntersectContext& context, unsigned* pixels,
                 Embree_Frame::Ray_Counts& counts)
{
    using Packet = Embree_Packet<N>;
    const IGraphicsEngine::MATRIX4& m = in.cam_matrix;
    const rt::Vec4 origin = m * rt::Vec4(0.0f, 0.0f, 0.0f, 1.0f);
    typename Packet::Ray_Hit primary;
    for (int k = 0; k < N; ++k) {
        const int px = x + lane_dx(k) < in.width ? x + lane_dx(k) : in.width - 1;
        const int py = y + lane_dy(k) < in.height ? y + lane_dy(k) : in.height - 1;
        const rt::Vec4 eye = in.eye.direction(px, py);
        rt::Vec4 direction;
        for (int a = 0; a < 3; ++a)
            direction[a] = (m[a][0] * eye[0] + m[a][1] * eye[1]) + m[a][2] * eye[2];
        set_lane(primary.ray, k, origin, direction);
        primary.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
        primary.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
    }
    int all_lanes[N];
    for (int& lane : all_lanes)
        lane = -1;
    Packet::intersect(all_lanes, in.scene, &context, &primary);
    counts.primary += N;

    RAYTR::Hit hits[N];
    int hit_lanes[N];
    unsigned n_hits = 0;
    int first_hit = 0;
    for (int k = N - 1; k >= 0; --k) {
        hit_lanes[k] = primary.hit.geomID[k] != RTC_INVALID_GEOMETRY_ID ? -1 : 0;
        if (!hit_lanes[k])
            continue;
        first_hit = k;
        const float u = primary.hit.u[k], v = primary.hit.v[k];
        rt::fill_hit(in.vertices, in.indices + 3 * static_cast<std::size_t>(primary.hit.primID[k]), 1.0f - u - v, u,
                     v, &hits[k]);
        ++n_hits;
    }

    Color colors[N];
    for (int k = 0; k < N; ++k)
        colors[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);
    for (int l = 0; n_hits > 0 && l < in.light_count; ++l) {
        const rt::Light& light = in.lights[l];
        // As the engine does: a shadow ray only for hits that face the light.
        int lit_lanes[N];
        unsigned n_lit = 0;
        for (int k = 0; k < N; ++k) {
            lit_lanes[k] = hit_lanes[k] && rt::faces_light(rt::light_direction(hits[k], light)) ? -1 : 0;
            n_lit += lit_lanes[k] ? 1u : 0u;
        }
        typename Packet::Ray shadow;
        if (n_lit > 0) {
            for (int k = 0; k < N; ++k) {
                // Lanes without a shadow ray are switched off; they still hold a defined ray.
                const rt::Ray4 r = rt::make_shadow_ray(hit_lanes[k] ? hits[k].pos : hits[first_hit].pos, light.pos);
                set_lane(shadow, k, r.pos, r.dir);
            }
            Packet::occluded(lit_lanes, in.scene, &context, &shadow);
            counts.shadow += n_lit;
        }
        for (int k = 0; k < N; ++k) {
            if (!hit_lanes[k])
                continue;
            // An occluded ray comes back with tfar set to minus infinity.
            const bool shadowed = lit_lanes[k] && shadow.tfar[k] < 0.0f;
            const Color c = rt::shade_hit(lane_ray(primary.ray, k), hits[k], light, shadowed, in.materials,
                                          in.textures, in.texture_count);
            colors[k] = colors[k] + rt::clamp_above(c);
        }
    }

    for (int k = 0; k < N; ++k) {
        const int px = x + lane_dx(k), py = y + lane_dy(k);
        if (px < in.width && py < in.height)
            pixels[static_cast<std::size_t>(py) * in.width + px] = rt::pack_color(colors[k]);
    }
}

// The spheres as Embree user geometry, through the shared sphere test.
void sphere_bounds(const RTCBoundsFunctionArguments* args)
{
    const rt::Sphere& s = static_cast<const rt::Sphere*>(args->geometryUserPtr)[args->primID];
    RTCBounds* b = args->bounds_o;
    b->lower_x = s.center[0] - s.radius;
    b->lower_y = s.center[1] - s.radius;
    b->lower_z = s.center[2] - s.radius;
    b->upper_x = s.center[0] + s.radius;
    b->upper_y = s.center[1] + s.radius;
    b->upper_z = s.center[2] + s.radius;
}

// The sphere's distance along lane i of a ray packet, if it lies in the
// ray's [tnear, tfar].
bool sphere_lane_hit(const rt::Sphere& s, RTCRayN* ray, unsigned n, unsigned i, float& t)
{
    const float origin[3] = {RTCRayN_org_x(ray, n, i), RTCRayN_org_y(ray, n, i), RTCRayN_org_z(ray, n, i)};
    const float dir[3] = {RTCRayN_dir_x(ray, n, i), RTCRayN_dir_y(ray, n, i), RTCRayN_dir_z(ray, n, i)};
    return rt::intersect_sphere(origin, dir, s, t) && t >= RTCRayN_tnear(ray, n, i) && t <= RTCRayN_tfar(ray, n, i);
}

void sphere_intersect(const RTCIntersectFunctionNArguments* args)
{
    const rt::Sphere& s = static_cast<const rt::Sphere*>(args->geometryUserPtr)[args->primID];
    RTCRayN* ray = RTCRayHitN_RayN(args->rayhit, args->N);
    RTCHitN* hit = RTCRayHitN_HitN(args->rayhit, args->N);
    for (unsigned i = 0; i < args->N; ++i) {
        float t;
        if (args->valid[i] == 0 || !sphere_lane_hit(s, ray, args->N, i, t))
            continue;
        RTCRayN_tfar(ray, args->N, i) = t;
        RTCHitN_u(hit, args->N, i) = 0.0f;
        RTCHitN_v(hit, args->N, i) = 0.0f;
        RTCHitN_Ng_x(hit, args->N, i) = 0.0f;
        RTCHitN_Ng_y(hit, args->N, i) = 0.0f;
        RTCHitN_Ng_z(hit, args->N, i) = 1.0f;
        RTCHitN_primID(hit, args->N, i) = args->primID;
        RTCHitN_geomID(hit, args->N, i) = args->geomID;
        RTCHitN_instID(hit, args->N, i, 0) = args->context->instID[0];
    }
}

void sphere_occluded(const RTCOccludedFunctionNArguments* args)
{
    const rt::Sphere& s = static_cast<const rt::Sphere*>(args->geometryUserPtr)[args->primID];
    for (unsigned i = 0; i < args->N; ++i) {
        float t;
        if (args->valid[i] != 0 && sphere_lane_hit(s, args->ray, args->N, i, t))
            RTCRayN_tfar(args->ray, args->N, i) = -ray_infinity;
    }
}

// The 4x4 block with lower-left pixel (x, y) of the whole-scene frame:
// generation after generation one packet of the live lanes, its hits shaded
// with a shadow packet per light (when asked), summed as rt::trace_pixel
// sums them.
void trace_whole_block(const Frame_Inputs& in, int x, int y, RTCIntersectContext& context, unsigned* pixels,
                       Embree_Frame::Ray_Counts& counts)
{
    const IGraphicsEngine::MATRIX4& m = in.cam_matrix;
    RTCRayHit16 rays;
    int live[16];
    Color totals[16];
    float weight[16];
    const Color ambient(koru::ambient_light, koru::ambient_light, koru::ambient_light, 1.0f);
    for (int k = 0; k < 16; ++k) {
        const int px = x + lane_dx(k) < in.width ? x + lane_dx(k) : in.width - 1;
        const int py = y + lane_dy(k) < in.height ? y + lane_dy(k) : in.height - 1;
        const rt::Vec4 eye = in.eye.direction(px, py);
        rt::Vec4 direction;
        for (int a = 0; a < 3; ++a)
            direction[a] = (m[a][0] * eye[0] + m[a][1] * eye[1]) + m[a][2] * eye[2];
        set_lane(rays.ray, k, m * rt::Vec4(0.0f, 0.0f, 0.0f, 1.0f), direction);
        live[k] = -1;
        totals[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);
        weight[k] = 1.0f;
    }
    counts.primary += 16;
    for (int generation = 0; generation < in.depth; ++generation) {
        for (int k = 0; k < 16; ++k) {
            rays.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
            rays.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
        }
        rtcIntersect16(live, in.scene, &context, &rays);
        RAYTR::Hit hits[16];
        int n_hits = 0, first_hit = 0;
        for (int k = 15; k >= 0; --k) {
            if (!live[k])
                continue;
            if (rays.hit.geomID[k] == RTC_INVALID_GEOMETRY_ID) {
                live[k] = 0;
                if (generation > 0)
                    totals[k] = totals[k] + ambient * weight[k];
                continue;
            }
            const rt::Ray4 r = lane_ray(rays.ray, k);
            if (rays.hit.geomID[k] == in.sphere_geometry)
                rt::fill_sphere_hit(r.pos.v, r.dir.v, rays.ray.tfar[k], in.spheres[rays.hit.primID[k]],
                                    rays.hit.primID[k], &hits[k]);
            else
                rt::fill_hit(in.vertices, in.indices + 3 * static_cast<std::size_t>(rays.hit.primID[k]),
                             1.0f - rays.hit.u[k] - rays.hit.v[k], rays.hit.u[k], rays.hit.v[k], &hits[k]);
            first_hit = k;
            ++n_hits;
        }
        if (n_hits == 0)
            break;

        Color colors[16];
        for (int k = 0; k < 16; ++k)
            colors[k] = Color(0.0f, 0.0f, 0.0f, 0.0f);
        for (int l = 0; l < in.light_count; ++l) {
            const rt::Light& light = in.lights[l];
            int lit[16];
            unsigned n_lit = 0;
            for (int k = 0; k < 16; ++k) {
                lit[k] = in.shadows && live[k] && rt::faces_light(rt::light_direction(hits[k], light)) ? -1 : 0;
                n_lit += lit[k] ? 1u : 0u;
            }
            RTCRay16 shadow;
            if (n_lit > 0) {
                for (int k = 0; k < 16; ++k) {
                    const rt::Ray4 r = rt::make_shadow_ray(live[k] ? hits[k].pos : hits[first_hit].pos, light.pos);
                    set_lane(shadow, k, r.pos, r.dir);
                }
                rtcOccluded16(lit, in.scene, &context, &shadow);
                counts.shadow += n_lit;
            }
            for (int k = 0; k < 16; ++k) {
                if (!live[k])
                    continue;
                const bool shadowed = lit[k] && shadow.tfar[k] < 0.0f;
                const Color c = rt::shade_hit(lane_ray(rays.ray, k), hits[k], light, shadowed, in.materials,
                                              in.textures, in.texture_count);
                colors[k] = colors[k] + rt::clamp_above(c);
            }
        }
        for (int k = 0; k < 16; ++k)
            if (live[k])
                totals[k] = totals[k] + colors[k] * weight[k];
        if (generation + 1 == in.depth)
            break;

        // The mirror rays of the reflective hits.
        int n_live = 0;
        for (int k = 0; k < 16; ++k) {
            if (!live[k])
                continue;
            const float r = rt::reflectivity(in.materials[hits[k].material_id]);
            rt::Ray4 reflected;
            if (!(r > 0.0f) || !rt::reflection_ray(lane_ray(rays.ray, k), hits[k], reflected)) {
                live[k] = 0;
                continue;
            }
            weight[k] = weight[k] * r;
            set_lane(rays.ray, k, reflected.pos, reflected.dir);
            ++n_live;
        }
        if (n_live == 0)
            break;
        counts.secondary += static_cast<unsigned long long>(n_live);
    }

    for (int k = 0; k < 16; ++k) {
        const int px = x + lane_dx(k), py = y + lane_dy(k);
        if (px < in.width && py < in.height)
            pixels[static_cast<std::size_t>(py) * in.width + px] = rt::pack_color(totals[k]);
    }
}

} // namespace

struct Embree_Frame::State {
    CPU_Ray_Tracer* engine = nullptr;
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    unsigned sphere_geometry = RTC_INVALID_GEOMETRY_ID;
    const rt::Sphere* spheres = nullptr;
    std::vector<unsigned> pixels;
    Ray_Counts counts;
    double build_seconds = 0.0;

    ~State()
    {
        if (scene)
            rtcReleaseScene(scene);
        if (device)
            rtcReleaseDevice(device);
    }
};

Embree_Frame::Embree_Frame(CPU_Ray_Tracer& engine, bool with_spheres, int build_threads) : state(new State)
{
    state->engine = &engine;
    const std::string config = build_threads > 0 ? "threads=" + std::to_string(build_threads) : std::string();
    state->device = rtcNewDevice(build_threads > 0 ? config.c_str() : nullptr);
    if (!state->device)
        throw std::runtime_error("Embree: no device (error " +
                                 std::to_string(static_cast<int>(rtcGetDeviceError(nullptr))) + ")");
    rtcSetDeviceErrorFunction(state->device, report_error, nullptr);

    // Embree's best tree for tracing, as the engine's SAH kd-tree is its best,
    // and its default triangle test (its robust mode agrees no better here).
    const auto build_start = std::chrono::steady_clock::now();
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
    // The spheres as the kd-tree holds them (the engine's tree is built).
    const RAYTR::KdTree* tree = Engine_Access::kd_tree(engine);
    if (with_spheres && tree != nullptr && tree->sphere_count > 0) {
        state->spheres = tree->spheres;
        RTCGeometry spheres = rtcNewGeometry(state->device, RTC_GEOMETRY_TYPE_USER);
        rtcSetGeometryUserPrimitiveCount(spheres, tree->sphere_count);
        rtcSetGeometryUserData(spheres, const_cast<rt::Sphere*>(tree->spheres));
        rtcSetGeometryBoundsFunction(spheres, sphere_bounds, nullptr);
        rtcSetGeometryIntersectFunction(spheres, sphere_intersect);
        rtcSetGeometryOccludedFunction(spheres, sphere_occluded);
        rtcCommitGeometry(spheres);
        state->sphere_geometry = rtcAttachGeometry(state->scene, spheres);
        rtcReleaseGeometry(spheres);
    }
    rtcCommitScene(state->scene);
    state->build_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - build_start).count();
    if (rtcGetDeviceError(state->device) != RTC_ERROR_NONE)
        throw std::runtime_error("Embree could not build the scene");
}

Embree_Frame::~Embree_Frame() = default;

void Embree_Frame::render(int thread_count) { render_frame(thread_count, 0, false); }

void Embree_Frame::render_whole(int thread_count, int depth, bool shadows)
{
    render_frame(thread_count, depth, shadows);
}

void Embree_Frame::render_frame(int thread_count, int depth, bool shadows)
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
    in.eye = rt::eye_view(engine.Width(), engine.Height(), rt::half_view_angle_of(engine.FieldOfView()));
    in.width = engine.Width();
    in.height = engine.Height();
    in.vertices = engine.Vertices();
    in.indices = engine.Indices();
    in.materials = engine.Materials();
    in.lights = engine.PointLights();
    in.light_count = engine.PointLightCount();
    in.textures = texture_views;
    in.texture_count = texture_count;
    in.spheres = state->spheres;
    in.sphere_geometry = state->sphere_geometry;
    in.depth = depth;
    in.shadows = shadows;
    // A whole frame goes in 4x4 blocks, the engine's own in blocks of its
    // packet width: Embree's packets of 16 where the processor runs them.
    using Block_Trace = void (*)(const Frame_Inputs&, int, int, RTCIntersectContext&, unsigned*, Ray_Counts&);
    Block_Trace trace = &trace_whole_block;
    int block_width = 4, block_height = 4;
    if (depth == 0) {
        const int lanes = engine.PacketWidth();
        trace = lanes >= 16 ? &trace_block<16> : lanes >= 8 ? &trace_block<8> : &trace_block<4>;
        block_width = lanes >= 8 ? 4 : 2;
        block_height = lanes >= 16 ? 4 : 2;
    }

    // Every frame writes every pixel: the buffer is only sized here.
    state->pixels.resize(static_cast<std::size_t>(in.width) * in.height);
    state->counts = Ray_Counts();
    if (engine.FrameBuffer() == nullptr)
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
                for (int y = y0; y < y1; y += block_height)
                    for (int x = x0; x < x1; x += block_width)
                        trace(in, x, y, context, pixels, thread_counts);
            }
        }
#pragma omp critical(koru_bench_embree_counts)
        {
            counts.primary += thread_counts.primary;
            counts.shadow += thread_counts.shadow;
            counts.secondary += thread_counts.secondary;
        }
    }
}

const std::vector<unsigned>& Embree_Frame::pixels() const { return state->pixels; }

Embree_Frame::Ray_Counts Embree_Frame::counts() const { return state->counts; }

double Embree_Frame::build_seconds() const { return state->build_seconds; }

} // namespace bench
} // namespace koru
