// koru_bench: frame time of the CPU ray tracer at 640 x 480 (or any size) on
// the demo scene, on a displaced sphere mesh of about 40,000 triangles and on a mesh
// read from a scene file (OBJ, PLY, glTF, ...), at one thread and at all threads; on request the
// same frames drawn with Embree 3's packet queries in the same run. With
// --depth or --shadows it times the whole-scene mode (the GPU engine's
// picture: spheres, reflections) on the demo scene instead.
//
// usage: koru_bench [--frames N] [--scene demo|mesh|obj|all] [--obj FILE]
//                   [--threads N] [--compare embree] [--depth D] [--shadows on|off]
//                   [--width W] [--height H]
// Prints, per scene, the time to load it and to build its kd-tree (and
// Embree's BVH when compared); a table of the median time per frame over N
// frames after a warm-up, the rays (primary and shadow) per second and the
// process's peak memory, per thread count, with Embree's and the ratio when
// compared; the share of Embree's pixels equal to the engine's; a
// checksum of the engine's frame, so that a faster tracer can show it draws
// the same image; and the kd-tree build (and Embree's) timed again at each
// thread count.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_scenes.h"
#include "demo/scene.h"
#include "engine/engines.h"
#include "store/engine_access.h"
#include "kdtree/kdtree.h"

#if KORU_BENCH_WITH_EMBREE
#include "bench/embree_frame.h"
#endif
#include "bench/framing.h"
#include "store/capacity.h"

namespace {

using namespace koru::bench;

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
    int width = 640;
    int height = 480;
};

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: koru_bench [--frames N] [--scene demo|mesh|obj|all] [--obj FILE]\n"
                 "                  [--threads N] [--packets 4|8|16] [--compare embree]\n"
                 "                  [--depth 1-5] [--shadows on|off] [--width W] [--height H]\n"
                 "Times frames of the CPU engine, W x H pixels (default 640 x 480), at 1\n"
                 "thread and at all threads unless --threads N forces one count. --obj FILE\n"
                 "benchmarks that mesh (alone unless --scene all); --packets N keeps the\n"
                 "engine's packets to at most N rays (4: 2x2 blocks; 8: two blocks with AVX2;\n"
                 "16, the default: 4x4 pixels with AVX-512); --compare embree draws the same\n"
                 "frames with Embree 3. --depth D and --shadows on|off time the whole-scene\n"
                 "mode (spheres, D ray generations of mirror reflections; defaults 4 and on)\n"
                 "on the demo scene.\n");
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
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
    double peak_mib = 0.0; // the process's, after these frames
};

// Seconds a scene took to set up: reading or making it, building its tree.
struct Setup_Times {
    double load = 0.0;
    double build = 0.0;
};

template <class Step>
double time_s(Step&& step)
{
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double mrays_per_s(unsigned long long rays, double ms) { return static_cast<double>(rays) / ms / 1000.0; }

// Times the engine's frames, and Embree's when asked, at each thread count
// and prints the scene's table. The two renderers take turns frame by frame,
// so that a busy moment of a shared machine falls on both alike.
void run_scene(const char* name, CPU_Ray_Tracer& engine, const Options& options, const Setup_Times& setup)
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
    std::unique_ptr<Embree_Frame> embree;
    if (options.compare_embree)
        embree.reset(new Embree_Frame(engine, options.whole_scene));
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
            const double k = 1000.0 * time_s(draw_koru);
            if (f >= warm_up_frames)
                koru_ms.push_back(k);
#if KORU_BENCH_WITH_EMBREE
            if (embree) {
                const double e = 1000.0 * time_s([&] {
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
        row.peak_mib = peak_memory_mib();
        rows.push_back(row);
    }

    const CPU_Ray_Tracer::Frame_Stats& stats = engine.LastFrameStats();
    const double coherent = stats.packets ? 100.0 * stats.coherent_packets / stats.packets : 0.0;
    std::printf("scene %s: %dx%d, %d triangles, %u kd-tree nodes, medians of %d frames\n", name, engine.Width(),
                engine.Height(), engine.IndexCount() / 3, koru::Engine_Access::kd_tree(engine)->node_count, options.frames);
    std::printf("  load %.3f s, kd-tree build %.3f s", setup.load, setup.build);
#if KORU_BENCH_WITH_EMBREE
    if (embree)
        std::printf(", Embree BVH build %.3f s", embree->build_seconds());
#endif
    std::printf("\n");
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
        std::printf("  threads   koru ms   Mrays/s   Embree ms   Mrays/s   koru/Embree   peak MiB\n");
    else
        std::printf("  threads   koru ms   Mrays/s   peak MiB\n");
    for (const Row& r : rows) {
        std::printf("  %7d  %8.2f  %8.2f", r.threads, r.koru_ms, mrays_per_s(r.koru_rays, r.koru_ms));
        if (compared)
            std::printf("  %10.2f  %8.2f  %12.2f", r.embree_ms, mrays_per_s(r.embree_rays, r.embree_ms),
                        r.koru_ms / r.embree_ms);
        std::printf("  %9.1f\n", r.peak_mib);
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

    // The builds again at each thread count (the same tree), Embree's beside
    // them when compared.
    std::printf("  builds:  threads   kd-tree s%s\n", compared ? "   Embree BVH s   kd-tree/Embree" : "");
    for (const int n : thread_counts) {
        engine.SetBuildThreads(n);
        const double koru_s = time_s([&] { engine.BuildKdTree(); });
        std::printf("  %15d  %10.3f", n, koru_s);
#if KORU_BENCH_WITH_EMBREE
        if (embree) {
            const double embree_s = Embree_Frame(engine, options.whole_scene, n).build_seconds();
            std::printf("  %13.3f  %15.2f", embree_s, koru_s / embree_s);
        }
#endif
        std::printf("\n");
    }
    engine.SetBuildThreads(1);
}

// A scene's engine, released and deleted however the scene ends.
struct Scene_Engine {
    CPU_Ray_Tracer& engine = *new CPU_Ray_Tracer();
    Scene_Engine() = default;
    Scene_Engine(const Scene_Engine&) = delete;
    Scene_Engine& operator=(const Scene_Engine&) = delete;
    ~Scene_Engine()
    {
        engine.Release();
        delete &engine;
    }
};

void bench_demo(const Options& options, const IMAGE* textures)
{
    Scene_Engine scene;
    CPU_Ray_Tracer& engine = scene.engine;
    engine.Init(options.width, options.height);
    Setup_Times setup;
    setup.load = time_s([&] { demo::AddDemoScene(engine, textures); });
    engine.SetPointLight(first_frame_light(), 0);
    setup.build = time_s([&] { engine.BuildKdTree(); });
    run_scene("demo", engine, options, setup);
}

void bench_mesh(const Options& options, const IMAGE* textures)
{
    Scene_Engine scene;
    CPU_Ray_Tracer& engine = scene.engine;
    engine.Init(options.width, options.height);
    engine.AddPointLight(first_frame_light());
    engine.AddMaterial(mesh_material());
    for (int t = 0; t < 3; ++t)
        engine.AddTexture(textures[t].data, static_cast<unsigned>(textures[t].width),
                          static_cast<unsigned>(textures[t].height), 0);
    Setup_Times setup;
    setup.load = time_s([&] { add_bumpy_sphere(engine, 140, 144); }); // 40,320 triangles
    setup.build = time_s([&] { engine.BuildKdTree(); });
    run_scene("mesh", engine, options, setup);
}

// The scene file's mesh untextured in the neutral material, its bounding box framed
// by the camera and a light that does not fade with distance, so that any
// size and place gives a full, lit picture. Its load time is the reading of
// the file and the storing of its triangles.
void bench_obj(const Options& options)
{
    Setup_Times setup;
    Obj_Mesh obj;
    setup.load = time_s([&] { obj = load_obj_mesh(options.obj_path); });
    const koru::io::Scene& mesh = obj.mesh;
    Scene_Engine scene;
    CPU_Ray_Tracer& engine = scene.engine;
    koru::reserve_capacity(engine, mesh.vertices.size(), mesh.indices.size());
    engine.Init(options.width, options.height);
    const Box_View view = frame_box(obj.lo, obj.hi, options.width, options.height);
    TAU_GRAPHICS::Point_Light<4, float> light;
    light.power = 1.0f;
    light.kc = 1.0f;
    light.kl = 0.0f;
    light.kq = 0.0f;
    light.pos = view.light;
    engine.AddPointLight(light);
    engine.AddMaterial(mesh_material());
    setup.load += time_s([&] {
        engine.AddTriangles(mesh.vertices.data(), static_cast<int>(mesh.vertices.size()), mesh.indices.data(),
                            static_cast<int>(mesh.indices.size()));
    });
    engine.SetCamPosition(view.camera);
    setup.build = time_s([&] { engine.BuildKdTree(); });
    const std::string name = "obj " + options.obj_path;
    run_scene(name.c_str(), engine, options, setup);
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
                                 arg == "--obj" || arg == "--compare" || arg == "--depth" || arg == "--shadows" ||
                                 arg == "--width" || arg == "--height";
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
        } else if (arg == "--width" || arg == "--height") {
            if (!is_number || number < 1)
                return refuse(arg + " needs a positive number of pixels, not '" + value + "'");
            (arg == "--width" ? options.width : options.height) = number;
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
