// koru_kdtree: builds the kd-tree of a scene file (OBJ, PLY, glTF, ...) or of a random
// triangle soup through the engine's own scene store, so the limits and
// messages are the real ones. The build prints its statistics to standard
// error; the load time (reading or making the mesh and storing it), the
// build time, a checksum of the tree (nodes and leaf records, to compare
// builds) and the process's peak memory go to standard output. The build
// runs on one thread unless --threads says more.
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/graphics_engine.h"
#include "engine/tau_error.h"
#include "engine/scene_io.h"
#include "kdtree/kdtree.h"
#include "store/capacity.h"
#include "store/engine_access.h"

namespace {

using Mesh = koru::io::Scene;

// The scene store alone: nothing is drawn.
class Headless_Engine : public Common_Graphics_Engine {
public:
    void BeginDrawScene(unsigned, bool) override {}
    void EndDrawScene() override {}
};

// FNV-1a over the node words and the leaf records of a built tree.
uint64_t tree_checksum(const RAYTR::KdTree& tree)
{
    uint64_t h = 0xcbf29ce484222325ull;
    const auto mix = [&h](const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            h = (h ^ bytes[i]) * 0x100000001b3ull;
    };
    for (uint32_t i = 0; i < tree.node_count; ++i) {
        const uint32_t words[2] = {tree.nodes[i].word0, tree.nodes[i].word1};
        mix(reinterpret_cast<const unsigned char*>(words), sizeof words);
    }
    mix(tree.obj_list_data, tree.obj_list_data_top);
    return h;
}

// splitmix64: the same sequence on every platform and compiler.
struct SplitMix64 {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) with 24 bits, exact in single precision.
    float unit() { return static_cast<float>(next() >> 40) * (1.0f / 16777216.0f); }
};

// Shape of a random soup: triangle centres uniform in a cube of side
// `extent` around the origin, corners up to `edge` away from the centre on
// each axis, so edges average about 1.3 edge.
struct SoupShape {
    float extent = 2.0f;
    float edge = 0.05f;
};

// A vertex at (x, y, z) facing +z, material 0, untextured.
IGraphicsEngine::VERTEX plain_vertex(float x, float y, float z)
{
    IGraphicsEngine::VERTEX v;
    v.pos = IGraphicsEngine::VECTOR4(x, y, z, 1.0f);
    v.norm = IGraphicsEngine::VECTOR4(0.0f, 0.0f, 1.0f, 0.0f);
    v.tex_coord = TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
    v.material_id = 0;
    return v;
}

Mesh random_soup(unsigned count, uint64_t seed, const SoupShape& shape)
{
    const float half = shape.extent * 0.5f;
    SplitMix64 rng{seed};
    Mesh scene;
    scene.name = "the random soup";
    scene.materials.push_back(koru::io::NeutralGrey());
    scene.vertices.reserve(3u * count);
    scene.indices.reserve(3u * count);
    for (unsigned t = 0; t < count; ++t) {
        const float c[3] = {(rng.unit() * 2.0f - 1.0f) * half, (rng.unit() * 2.0f - 1.0f) * half,
                            (rng.unit() * 2.0f - 1.0f) * half};
        for (int k = 0; k < 3; ++k) {
            float p[3];
            for (int a = 0; a < 3; ++a)
                p[a] = c[a] + (rng.unit() * 2.0f - 1.0f) * shape.edge;
            scene.indices.push_back(static_cast<unsigned>(scene.vertices.size()));
            scene.vertices.push_back(plain_vertex(p[0], p[1], p[2]));
        }
    }
    return scene;
}

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: koru_kdtree [--repeat R] [--threads N] SCENE\n"
                 "       koru_kdtree [--repeat R] [--threads N] --random N SEED [--extent E] [--edge L]\n"
                 "Builds the kd-tree of a scene file's triangles (OBJ, PLY, STL, glTF, ...) or of N\n"
                 "random triangles from SEED, prints the build statistics on standard error and\n"
                 "the load time, build time and peak memory on standard output.\n"
                 "  --extent E  triangle centres in a cube of side E around the origin (default 2)\n"
                 "  --edge L    corners up to L from their triangle's centre on each axis, so edges\n"
                 "              average about 1.3 L (default 0.05)\n"
                 "  --repeat R  build R times (R statistics blocks) and print the median and the\n"
                 "              fastest build time\n"
                 "  --threads N build on N threads (default 1): the same tree, sooner\n");
}

// The most memory the process has held resident so far, in MiB.
double peak_memory_mib()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // Linux counts KiB
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool parse_unsigned(const char* text, unsigned long long& value)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

// A finite number above zero.
bool parse_size(const char* text, float& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text, &end);
    return errno == 0 && end != nullptr && *end == '\0' && std::isfinite(value) && value > 0.0f;
}

struct Options {
    const char* obj_path = nullptr;
    bool random = false;
    unsigned long long count = 0, seed = 0;
    SoupShape shape;
    bool shaped = false;
    unsigned long long repeat = 1;
    unsigned long long threads = 1;
};

// Returns false after printing what is wrong.
bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--random") == 0) {
            if (i + 2 >= argc || !parse_unsigned(argv[i + 1], options.count) ||
                !parse_unsigned(argv[i + 2], options.seed) || options.count > 1000000u) {
                std::fprintf(stderr, "koru_kdtree: --random needs a triangle count (up to 1000000) and a seed\n");
                return false;
            }
            options.random = true;
            i += 2;
        } else if (std::strcmp(arg, "--extent") == 0 || std::strcmp(arg, "--edge") == 0) {
            float& size = arg[3] == 'x' ? options.shape.extent : options.shape.edge;
            if (!parse_size(value, size)) {
                std::fprintf(stderr, "koru_kdtree: %s needs a finite size above 0\n", arg);
                return false;
            }
            options.shaped = true;
            ++i;
        } else if (std::strcmp(arg, "--repeat") == 0) {
            if (!parse_unsigned(value, options.repeat) || options.repeat < 1 || options.repeat > 1000) {
                std::fprintf(stderr, "koru_kdtree: --repeat needs a count from 1 to 1000\n");
                return false;
            }
            ++i;
        } else if (std::strcmp(arg, "--threads") == 0) {
            if (!parse_unsigned(value, options.threads) || options.threads < 1 || options.threads > 256) {
                std::fprintf(stderr, "koru_kdtree: --threads needs a count from 1 to 256\n");
                return false;
            }
            ++i;
        } else if (arg[0] != '-' && options.obj_path == nullptr) {
            options.obj_path = arg;
        } else {
            if (arg[0] == '-')
                std::fprintf(stderr, "koru_kdtree: unknown option '%s'\n", arg);
            else
                std::fprintf(stderr, "koru_kdtree: one mesh at a time, not '%s' as well\n", arg);
            usage(stderr);
            return false;
        }
    }
    if (options.random == (options.obj_path != nullptr) || (options.shaped && !options.random)) {
        if (options.random && options.obj_path != nullptr)
            std::fprintf(stderr, "koru_kdtree: either SCENE or --random, not both\n");
        else if (options.shaped && !options.random)
            std::fprintf(stderr, "koru_kdtree: --extent and --edge shape a --random soup\n");
        else
            std::fprintf(stderr, "koru_kdtree: no mesh: give SCENE or --random N SEED\n");
        usage(stderr);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }

    Options options;
    if (!parse_options(argc, argv, options))
        return 2;

    Mesh scene;
    koru::io::Load_Options no_textures; // the tree needs the geometry alone
    no_textures.textures = false;
    const auto load_start = std::chrono::steady_clock::now();
    try {
        if (options.random)
            scene = random_soup(static_cast<unsigned>(options.count), options.seed, options.shape);
        else
            scene = koru::io::ReadScene(options.obj_path, no_textures);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_kdtree: %s\n", e.what());
        return 1;
    }

    Headless_Engine engine;
    int status = 0;
    try {
        koru::reserve_capacity(engine, scene.vertices.size(), scene.indices.size());
        engine.Init(1, 1);
        engine.SetBuildThreads(static_cast<int>(options.threads));
        TAU_GRAPHICS::MATERIAL<3> material{};
        engine.AddMaterial(material);
        koru::io::AddScene(engine, scene);
        std::printf("load time: %.3f s\n", seconds_since(load_start));
        // Every build after the first starts from a fresh tree (BuildKdTree).
        std::vector<double> seconds;
        for (unsigned long long r = 0; r < options.repeat; ++r) {
            const auto start = std::chrono::steady_clock::now();
            engine.BuildKdTree();
            seconds.push_back(seconds_since(start));
        }
        if (seconds.size() == 1) {
            std::printf("build time: %.3f s\n", seconds[0]);
        } else {
            std::sort(seconds.begin(), seconds.end());
            const std::size_t n = seconds.size();
            const double median = n % 2 ? seconds[n / 2] : 0.5 * (seconds[n / 2 - 1] + seconds[n / 2]);
            std::printf("build time: median %.4f s, fastest %.4f s (%zu builds)\n", median, seconds[0], n);
        }
        std::printf("tree checksum: %016llx\n",
                    static_cast<unsigned long long>(tree_checksum(*koru::Engine_Access::kd_tree(engine))));
        std::printf("peak memory: %.1f MiB\n", peak_memory_mib());
    } catch (const std::out_of_range& e) {
        // The store's and the builder's limits; the notice is already on standard error.
        std::fprintf(stderr, "koru_kdtree: scene refused: %s\n", e.what());
        status = 1;
    } catch (const TAU_ERROR::Error& e) {
        std::fprintf(stderr, "koru_kdtree: %s\n", e.message.c_str());
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_kdtree: %s\n", e.what());
        status = 1;
    }
    engine.Release();
    return status;
}
