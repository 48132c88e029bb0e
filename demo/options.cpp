#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace demo {

namespace {

// A positive whole number up to limit.
bool parse_count(const std::string& text, long limit, long& count)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > limit)
        return false;
    count = value;
    return true;
}

constexpr long max_threads = 1024;

bool has_suffix(const std::string& text, const std::string& suffix)
{
    return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--engine") {
            if (!value(text))
                return false;
            if (text == "gpu")
                options.engine = EngineChoice::Gpu;
            else if (text == "cpu")
                options.engine = EngineChoice::Cpu;
            else if (text == "opengl")
                options.engine = EngineChoice::OpenGL;
            else {
                error = "--engine: unknown engine '" + text + "' (choose gpu, cpu or opengl)";
                return false;
            }
        } else if (arg == "--frames") {
            if (!value(text))
                return false;
            if (!parse_count(text, LONG_MAX, options.frames)) {
                error = "--frames needs a positive whole number, not '" + text + "'";
                return false;
            }
        } else if (arg == "--threads") {
            long threads = 0;
            if (!value(text))
                return false;
            if (!parse_count(text, max_threads, threads)) {
                error = "--threads needs a whole number from 1 to 1024, not '" + text + "'";
                return false;
            }
            options.threads = static_cast<int>(threads);
        } else if (arg == "--screenshot") {
            if (!value(options.screenshot))
                return false;
            if (!has_suffix(options.screenshot, ".png")) {
                error = "--screenshot needs a file name ending in .png, not '" + options.screenshot + "'";
                return false;
            }
        } else if (arg == "--log") {
            if (!value(options.log))
                return false;
        } else if (arg == "--obj") {
            if (!value(options.obj))
                return false;
            if (options.obj.empty()) {
                error = "--obj needs a file name";
                return false;
            }
        } else if (arg == "--data") {
            if (!value(options.data))
                return false;
            if (options.data.empty()) {
                error = "--data needs a folder";
                return false;
            }
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    return true;
}

std::string Usage(const char* program)
{
    return std::string("usage: ") + program +
           " [--engine gpu|cpu|opengl] [--frames N] [--screenshot FILE.png] [--log FILE]\n"
           "       [--obj SCENE] [--data DIR] [--threads N] [--help]\n"
           "\n"
           "  --engine E         the engine that draws the frames:\n"
           "                       gpu     ray traces triangles and spheres on an NVIDIA GPU, with\n"
           "                               1 to 5 ray generations (keys 1-5) and shadows on request (z)\n"
           "                               (the default; without a usable CUDA device the processor\n"
           "                               draws the same picture, keys and all)\n"
           "                       cpu     the CPU engine's own picture: the triangles on the\n"
           "                               processor, always one generation with shadows; no spheres\n"
           "                       opengl  rasterizes triangles, spheres and a small ball at each\n"
           "                               light with OpenGL; no shadows, wider view\n"
           "  --frames N         render N frames, then shut down as Escape does\n"
           "  --screenshot FILE  write the last presented frame as a PNG at shutdown\n"
           "  --log FILE         write one line per frame: depth, shadows, camera matrix, light angle\n"
           "  --obj SCENE        put a scene file's mesh (OBJ, PLY, glTF, ...) on the floor, not the cubes\n"
           "  --data DIR         read parquet.bmp, texture1.bmp and texture4.bmp from DIR\n"
           "  --threads N        threads of the cpu engine (default: one per hardware thread)\n"
           "  --help             show this text\n"
           "\n"
           "Keys: w a s d move, r f up and down, q e roll, 1-5 trace depth, z shadows, Esc quit.\n"
           "Left drag turns the camera. Without --data the textures come from data/ in this folder,\n"
           "else from data/ beside the program (or ../share/koru/data for an installed one).\n";
}

} // namespace demo
