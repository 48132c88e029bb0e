// koru_bench: frame time of the CPU ray tracer at 640 x 480 on the demo
// scene, on a displaced sphere mesh of about 40,000 triangles and on a mesh
// read from a scene file (OBJ, PLY, glTF, ...), at one thread and at all threads; on request the
// same frames drawn with Embree 3's packet queries in the same run. With
// --depth or --shadows it times the whole-scene mode (the GPU engine's
// picture: spheres, reflections) on the demo scene instead.
//
// usage: koru_bench [--frames N] [--scene demo|mesh|obj|all] [--obj FILE]
//                   [--threads N] [--compare embree] [--depth D] [--shadows on|off]
// Prints, per scene, a table of the median time per frame over N frames
// after a warm-up and the rays (primary and shadow) per second, per thread
// count, with Embree's and the ratio when compared; the share of Embree's
// pixels equal to the engine's; and a checksum of the engine's frame, so that
// a faster tracer can show it draws the same image.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "demo/scene.h"
#include "engine/engines.h"
#include "io/bmp.h"
#include "store/engine_access.h"
#include "kdtree/kdtree.h"

#if KORU_BENCH_WITH_EMBREE
#include "bench/embree_frame.h"
#endif
#include "bench/framing.h"
#include "engine/scene_io.h"
#include "store/capacity.h"

namespace {

using V4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

constexpr int frame_width = 640;
constexpr int frame_height = 480;
constexpr int warm_up_frames = 3;

struct Options {
    int frames = 30;
    int threads = 0; // 0: one thread, then all of them
    std::string scene; // demo, mesh, obj or all
    std::string obj_path;
    bool compare_embree = false;
    int packets = 16; // the widest packets this processor runs
    bool whole_scene = false; // --depth or --shadows given
    unsigned depth = 4;
    bool shadows = true;
};

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: koru_bench [--frames N] [--scene demo|mesh|obj|all] [--obj FILE]\n"
                 "                  [--threads N] [--packets 4|8|16] [--compare embree]\n"
                 "                  [--depth 1-5] [--shadows on|off]\n"
                 "Times 640 x 480 frames of the CPU engine, at 1 thread and at all threads\n"
                 "unless --threads N forces one count. --obj FILE benchmarks that mesh (alone\n"
                 "unless --scene all); --packets N keeps the engine's packets to at most N\n"
                 "rays (4: 2x2 blocks; 8: two blocks with AVX2; 16, the default: 4x4 pixels\n"
                 "with AVX-512); --compare embree draws the same frames with Embree 3.\n"
                 "--depth D and --shadows on|off time the whole-scene mode (spheres, D ray\n"
                 "generations of mirror reflections; defaults 4 and on) on the demo scene.\n");
}

// The demo's textures from data/ when they are there, else stand-ins of the
// same kind (stripes, checks, rings) made here.
void load_textures(IMAGE images[3])
{
    for (int t = 0; t < 3; ++t) {
        if (std::ifstream(demo::kTexturePaths[t]).good()) {
            koru::io::LoadBMP(demo::kTexturePaths[t], images[t]);
            continue;
        }
        const int size = 256;
        images[t].SetSize(size, size);
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                unsigned char* p = images[t].data + 4 * (y * size + x);
                const int v = t == 0 ? ((x / 16) % 2) * 120 + 80
                                     : t == 1 ? (((x / 32) + (y / 32)) % 2) * 150 + 60
                                              : static_cast<int>(127.5 + 127.5 * std::sin(0.1 * std::hypot(x - 128, y - 128)));
                p[0] = static_cast<unsigned char>(v);
                p[1] = static_cast<unsigned char>(255 - v);
                p[2] = static_cast<unsigned char>((v * 3) & 0xFF);
                p[3] = 0;
            }
    }
}

// A sphere of radius 3 with smooth bumps, as a latitude-longitude grid of
// `rows` bands and `slices` segments (2 * rows * slices triangles), smooth
// vertex normals and a repeating texture.
void add_bumpy_sphere(IGraphicsEngine& engine, int rows, int slices)
{
    const double pi = 3.14159265358979323846;
    const auto radius = [](double theta, double phi) {
        return 3.0 * (1.0 + 0.08 * std::sin(5.0 * theta) * std::cos(3.0 * phi) + 0.04 * std::sin(11.0 * phi + 2.0 * theta));
    };
    const auto point = [&](double theta, double phi) {
        const double r = radius(theta, phi);
        return V4(static_cast<float>(r * std::sin(theta) * std::cos(phi)), static_cast<float>(r * std::cos(theta)),
                  static_cast<float>(r * std::sin(theta) * std::sin(phi)), 1.0f);
    };
    std::vector<Vertex> vertices;
    for (int i = 0; i <= rows; ++i)
        for (int j = 0; j <= slices; ++j) {
            const double theta = pi * i / rows, phi = 2.0 * pi * j / slices;
            Vertex v;
            v.pos = point(theta, phi);
            // Normal from the surface's two tangents (finite differences).
            const double h = 1e-4;
            const V4 dt = point(theta + h, phi) - point(theta - h, phi);
            const V4 dp = point(std::max(theta, h), phi + h) - point(std::max(theta, h), phi - h);
            V4 n = TAU_MATH::Cross3(dp, dt);
            if (TAU_MATH::Dot3(n, v.pos) < 0.0f)
                n = n * -1.0f;
            v.norm = TAU_MATH::Normalize(n);
            v.norm[3] = 0.0f;
            v.tex_coord = TAU_MATH::VECTOR<2, float>(static_cast<float>(4.0 * j / slices), static_cast<float>(2.0 * i / rows));
            v.material_id = 0;
            v.tex_id[0] = 1;
            vertices.push_back(v);
        }
    std::vector<unsigned> indices;
    const auto at = [&](int i, int j) { return static_cast<unsigned>(i * (slices + 1) + j); };
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < slices; ++j) {
            const unsigned quad[6] = {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)};
            indices.insert(indices.end(), quad, quad + 6);
        }
    engine.AddTriangles(vertices.data(), static_cast<int>(vertices.size()), indices.data(),
                        static_cast<int>(indices.size()));
}

TAU_GRAPHICS::MATERIAL<3> mesh_material()
{
    TAU_GRAPHICS::MATERIAL<3> m;
    m.ambient = TAU_MATH::VECTOR<3, float>(0.15f, 0.15f, 0.15f);
    m.diffuse = TAU_MATH::VECTOR<3, float>(0.35f, 0.35f, 0.35f);
    m.specular = TAU_MATH::VECTOR<3, float>(0.55f, 0.55f, 0.55f);
    m.spec_power = 60.0f;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

// The demo's light where the demo's first frame puts it.
TAU_GRAPHICS::Point_Light<4, float> first_frame_light()
{
    TAU_GRAPHICS::Point_Light<4, float> light = demo::DemoLight();
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    return light;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

template <class Draw>
double time_ms(Draw&& draw)
{
    const auto start = std::chrono::steady_clock::now();
    draw();
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

// FNV-1a over the frame's pixel words.
unsigned long long frame_checksum(const unsigned* pixels, std::size_t n)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(pixels);
    unsigned long long hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < 4 * n; ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

// One line of a scene's table.
struct Row {
    int threads = 0;
    double koru_ms = 0.0;
    unsigned long long koru_rays = 0; // primary and shadow, per frame
    unsigned long long checksum = 0;
    double embree_ms = 0.0; // 0: not compared
    unsigned long long embree_rays = 0;
};

double mrays_per_s(unsigned long long rays, double ms) { return static_cast<double>(rays) / ms / 1000.0; }

// Times the engine's frames, and Embree's when asked, at each thread count
// and prints the scene's table. The two renderers take turns frame by frame,
// so that a busy moment of a shared machine falls on both alike.
void run_scene(const char* name, CPU_Ray_Tracer& engine, const Options& options)
{
    engine.SetPacketWidth(options.packets);
    engine.SetWholeScene(options.whole_scene);
    engine.SetThreadCount(0);
    const int all_threads = engine.ThreadCount();
    std::vector<int> thread_counts;
    if (options.threads > 0)
        thread_counts.push_back(options.threads);
    else {
        thread_counts.push_back(1);
        if (all_threads > 1)
            thread_counts.push_back(all_threads);
    }

#if KORU_BENCH_WITH_EMBREE
    std::unique_ptr<koru::bench::Embree_Frame> embree;
    if (options.compare_embree)
        embree.reset(new koru::bench::Embree_Frame(engine, options.whole_scene));
#endif

    std::vector<Row> rows;
    for (const int n : thread_counts) {
        engine.SetThreadCount(n);
        const auto draw_koru = [&] {
            if (options.whole_scene)
                engine.BeginDrawScene(options.depth, options.shadows);
            else
                engine.BeginDrawScene(1, true);
        };
        std::vector<double> koru_ms, embree_ms;
        for (int f = 0; f < warm_up_frames + options.frames; ++f) {
            const double k = time_ms(draw_koru);
            if (f >= warm_up_frames)
                koru_ms.push_back(k);
#if KORU_BENCH_WITH_EMBREE
            if (embree) {
                const double e = time_ms([&] {
                    if (options.whole_scene)
                        embree->render_whole(n, static_cast<int>(options.depth), options.shadows);
                    else
                        embree->render(n);
                });
                if (f >= warm_up_frames)
                    embree_ms.push_back(e);
            }
#endif
        }
        Row row;
        row.threads = engine.ThreadCount();
        row.koru_ms = median(koru_ms);
        const CPU_Ray_Tracer::Frame_Stats& stats = engine.LastFrameStats();
        row.koru_rays = stats.primary_rays + stats.shadow_rays + stats.secondary_rays;
        row.checksum = frame_checksum(engine.FrameBuffer(), static_cast<std::size_t>(engine.Width()) * engine.Height());
#if KORU_BENCH_WITH_EMBREE
        if (embree) {
            row.embree_ms = median(embree_ms);
            row.embree_rays = embree->counts().primary + embree->counts().shadow + embree->counts().secondary;
        }
#endif
        rows.push_back(row);
    }

    const CPU_Ray_Tracer::Frame_Stats& stats = engine.LastFrameStats();
    const double coherent = stats.packets ? 100.0 * stats.coherent_packets / stats.packets : 0.0;
    std::printf("scene %s: %dx%d, %d triangles, %u kd-tree nodes, medians of %d frames\n", name, engine.Width(),
                engine.Height(), engine.IndexCount() / 3, koru::Engine_Access::kd_tree(engine)->node_count, options.frames);
    if (options.whole_scene)
        std::printf("  whole scene: depth %u, shadows %s; rays per frame: %llu primary, %llu reflected, %llu shadow;\n"
                    "  packets of %d, %.1f %% of %llu 2x2 blocks walked as one\n",
                    options.depth, options.shadows ? "on" : "off", stats.primary_rays, stats.secondary_rays,
                    stats.shadow_rays, engine.PacketWidth(), coherent, stats.packets);
    else
        std::printf("  rays per frame: %llu primary, %llu shadow; packets of %d, %.1f %% of %llu 2x2 blocks walked "
                    "as one\n",
                    stats.primary_rays, stats.shadow_rays, engine.PacketWidth(), coherent, stats.packets);
    const bool compared = rows.front().embree_ms > 0.0;
    if (compared)
        std::printf("  threads   koru ms   Mrays/s   Embree ms   Mrays/s   koru/Embree\n");
    else
        std::printf("  threads   koru ms   Mrays/s\n");
    for (const Row& r : rows) {
        std::printf("  %7d  %8.2f  %8.2f", r.threads, r.koru_ms, mrays_per_s(r.koru_rays, r.koru_ms));
        if (compared)
            std::printf("  %10.2f  %8.2f  %12.2f", r.embree_ms, mrays_per_s(r.embree_rays, r.embree_ms),
                        r.koru_ms / r.embree_ms);
        std::printf("\n");
    }

#if KORU_BENCH_WITH_EMBREE
    if (embree) {
        const std::vector<unsigned>& theirs = embree->pixels();
        const unsigned* ours = engine.FrameBuffer();
        std::size_t differ = 0;
        for (std::size_t i = 0; i < theirs.size(); ++i)
            differ += theirs[i] != ours[i];
        std::printf("  Embree's frame: %.3f %% of pixels equal to koru's (%zu of %zu differ), %llu shadow rays\n",
                    100.0 * static_cast<double>(theirs.size() - differ) / static_cast<double>(theirs.size()), differ,
                    theirs.size(), embree->counts().shadow);
    }
#endif

    // The image must not depend on the thread count.
    bool same = true;
    for (const Row& r : rows)
        same = same && r.checksum == rows.front().checksum;
    if (same) {
        std::printf("  frame checksum: %016llx\n", rows.front().checksum);
    } else {
        std::printf("  frame checksums differ between thread counts:");
        for (const Row& r : rows)
            std::printf(" %016llx (%d)", r.checksum, r.threads);
        std::printf("\n");
    }
}

void bench_demo(const Options& options, const IMAGE* textures)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->Init(frame_width, frame_height);
    demo::AddDemoScene(*engine, textures);
    engine->SetPointLight(first_frame_light(), 0);
    engine->BuildKdTree();
    run_scene("demo", *engine, options);
    engine->Release();
    delete engine;
}

void bench_mesh(const Options& options, const IMAGE* textures)
{
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    engine->Init(frame_width, frame_height);
    engine->AddPointLight(first_frame_light());
    engine->AddMaterial(mesh_material());
    for (int t = 0; t < 3; ++t)
        engine->AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                           static_cast<unsigned>(textures[t].height), 0);
    add_bumpy_sphere(*engine, 140, 144); // 40,320 triangles
    engine->BuildKdTree();
    run_scene("mesh", *engine, options);
    engine->Release();
    delete engine;
}

struct Obj_Mesh {
    std::vector<Vertex> vertices; // every vertex in material 0, untextured
    std::vector<unsigned> indices;
    float lo[3] = {0.0f, 0.0f, 0.0f}; // bounding box of the faces' corners
    float hi[3] = {0.0f, 0.0f, 0.0f};
};

// The scene file's triangles through the library's importer, its normals
// smoothed as the importer does, untextured; its materials are left out.
Obj_Mesh load_obj_mesh(const std::string& path)
{
    koru::io::Load_Options options;
    options.textures = false;
    const koru::io::Scene scene = koru::io::ReadScene(path, options);
    Obj_Mesh obj;
    obj.vertices = scene.vertices;
    obj.indices = scene.indices;
    for (Vertex& v : obj.vertices) {
        v.material_id = 0;
        v.tex_id[0] = TAU_GRAPHICS::kNoTexture;
    }
    for (int a = 0; a < 3; ++a) {
        obj.lo[a] = scene.box_min[a];
        obj.hi[a] = scene.box_max[a];
    }
    return obj;
}

// The OBJ's mesh untextured in the neutral material, its bounding box framed
// by the camera and a light that does not fade with distance, so that any
// size and place gives a full, lit picture.
void bench_obj(const Options& options)
{
    const Obj_Mesh obj = load_obj_mesh(options.obj_path);
    const Obj_Mesh& mesh = obj;
    CPU_Ray_Tracer* engine = new CPU_Ray_Tracer();
    try {
        koru::reserve_capacity(*engine, mesh.vertices.size(), mesh.indices.size());
        engine->Init(frame_width, frame_height);
        const koru::bench::Box_View view = koru::bench::frame_box(obj.lo, obj.hi, frame_width, frame_height);
        TAU_GRAPHICS::Point_Light<4, float> light;
        light.power = 1.0f;
        light.kc = 1.0f;
        light.kl = 0.0f;
        light.kq = 0.0f;
        light.pos = view.light;
        engine->AddPointLight(light);
        engine->AddMaterial(mesh_material());
        engine->AddTriangles(mesh.vertices.data(), static_cast<int>(mesh.vertices.size()), mesh.indices.data(),
                             static_cast<int>(mesh.indices.size()));
        engine->SetCamPosition(view.camera);
        engine->BuildKdTree();
        const std::string name = "obj " + options.obj_path;
        run_scene(name.c_str(), *engine, options);
    } catch (...) {
        engine->Release();
        delete engine;
        throw;
    }
    engine->Release();
    delete engine;
}

// Says what was wrong with the command line, then the usage: status 2.
int refuse(const std::string& why)
{
    std::fprintf(stderr, "koru_bench: %s\n", why.c_str());
    usage(stderr);
    return 2;
}

// A whole decimal number, all of the text.
bool parse_int(const char* text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        const bool takes_value = arg == "--frames" || arg == "--threads" || arg == "--packets" || arg == "--scene" ||
                                 arg == "--obj" || arg == "--compare" || arg == "--depth" || arg == "--shadows";
        if (!takes_value)
            return refuse("unknown option '" + arg + "'");
        if (i + 1 >= argc)
            return refuse(arg + " needs a value");
        const std::string value = argv[++i];
        int number = 0;
        const bool is_number = parse_int(value.c_str(), number);
        if (arg == "--frames") {
            if (!is_number || number < 1)
                return refuse("--frames needs a positive whole number, not '" + value + "'");
            options.frames = number;
        } else if (arg == "--threads") {
            if (!is_number || number < 0)
                return refuse("--threads needs a whole number, 0 for one per hardware thread, not '" + value + "'");
            options.threads = number;
        } else if (arg == "--packets") {
            if (!is_number || (number != 4 && number != 8 && number != 16))
                return refuse("--packets needs 4, 8 or 16, not '" + value + "'");
            options.packets = number;
        } else if (arg == "--scene") {
            if (value != "demo" && value != "mesh" && value != "obj" && value != "all")
                return refuse("--scene needs demo, mesh, obj or all, not '" + value + "'");
            options.scene = value;
        } else if (arg == "--obj") {
            options.obj_path = value;
        } else if (arg == "--compare") {
            if (value != "embree")
                return refuse("--compare needs embree, not '" + value + "'");
            options.compare_embree = true;
        } else if (arg == "--depth") {
            if (!is_number || number < 1 || number > 5)
                return refuse("--depth needs a trace depth from 1 to 5, not '" + value + "'");
            options.depth = static_cast<unsigned>(number);
            options.whole_scene = true;
        } else {
            if (value != "on" && value != "off")
                return refuse("--shadows needs on or off, not '" + value + "'");
            options.shadows = value == "on";
            options.whole_scene = true;
        }
    }
    if (options.scene.empty())
        options.scene = options.whole_scene ? "demo" : options.obj_path.empty() ? "all" : "obj";
    if (options.whole_scene && options.scene != "demo") {
        std::fprintf(stderr, "koru_bench: --depth and --shadows time the demo scene (--scene demo)\n");
        return 2;
    }
    const std::string& scene = options.scene;
    if (scene == "obj" && options.obj_path.empty()) {
        std::fprintf(stderr, "koru_bench: --scene obj needs --obj FILE\n");
        return 2;
    }
#if !KORU_BENCH_WITH_EMBREE
    if (options.compare_embree) {
        std::fprintf(stderr, "koru_bench: built without Embree 3 (Debian: libembree-dev); no --compare embree\n");
        return 2;
    }
#endif
    try {
        IMAGE textures[3];
        load_textures(textures);
        if (scene == "demo" || scene == "all")
            bench_demo(options, textures);
        if (scene == "mesh" || scene == "all")
            bench_mesh(options, textures);
        if (scene == "obj" || (scene == "all" && !options.obj_path.empty()))
            bench_obj(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
