// koru_kdtree: builds the kd-tree of a Wavefront OBJ file or of a random
// triangle soup through the engine's own scene store, so the limits and
// messages are the real ones. The build prints its statistics to standard
// error; the build time goes to standard output.
#include <cerrno>
#include <chrono>
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
#include "obj_mesh.h"

namespace {

using koru_tools::Mesh;
using koru_tools::make_vertex;

// The scene store alone: nothing is drawn.
class Headless_Engine : public Common_Graphics_Engine {
public:
    void BeginDrawScene(unsigned, bool) override {}
    void EndDrawScene() override {}
};

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

// Triangles with centres uniform in [-1, 1]^3 and corners up to 0.05 away
// from the centre on each axis.
Mesh random_soup(unsigned count, uint64_t seed)
{
    constexpr float spread = 0.05f;
    SplitMix64 rng{seed};
    Mesh scene;
    scene.vertices.reserve(3u * count);
    scene.indices.reserve(3u * count);
    for (unsigned t = 0; t < count; ++t) {
        const float c[3] = {rng.unit() * 2.0f - 1.0f, rng.unit() * 2.0f - 1.0f, rng.unit() * 2.0f - 1.0f};
        for (int k = 0; k < 3; ++k) {
            float p[3];
            for (int a = 0; a < 3; ++a)
                p[a] = c[a] + (rng.unit() * 2.0f - 1.0f) * spread;
            scene.indices.push_back(static_cast<unsigned>(scene.vertices.size()));
            scene.vertices.push_back(make_vertex(p[0], p[1], p[2]));
        }
    }
    return scene;
}

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: koru_kdtree FILE.obj\n"
                 "       koru_kdtree --random N SEED\n"
                 "Builds the kd-tree of an OBJ mesh (faces in file order, polygons fanned) or of N\n"
                 "random triangles from SEED, prints the build statistics on standard error and\n"
                 "the build time on standard output.\n");
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

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }

    Mesh scene;
    try {
        if (argc == 4 && std::strcmp(argv[1], "--random") == 0) {
            unsigned long long count = 0, seed = 0;
            if (!parse_unsigned(argv[2], count) || !parse_unsigned(argv[3], seed) || count > 1000000u) {
                std::fprintf(stderr, "koru_kdtree: --random needs a triangle count (up to 1000000) and a seed\n");
                return 2;
            }
            scene = random_soup(static_cast<unsigned>(count), seed);
        } else if (argc == 2 && argv[1][0] != '-') {
            scene = koru_tools::load_obj_file(argv[1]);
        } else {
            usage(stderr);
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "koru_kdtree: %s\n", e.what());
        return 1;
    }

    Headless_Engine engine;
    int status = 0;
    try {
        engine.Init(1, 1);
        TAU_GRAPHICS::MATERIAL<3> material{};
        engine.AddMaterial(material);
        koru_tools::add_mesh(engine, scene);
        const auto start = std::chrono::steady_clock::now();
        engine.BuildKdTree();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("build time: %.3f s\n", elapsed.count());
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
