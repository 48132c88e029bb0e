#include "render_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/limits.h"

namespace render_tool {

const char* const usage_text =
    "usage: koru_render SCENE [--out FILE.png] [--size WxH] [--spp N] [--engine cpu|whole] [--threads N]\n"
    "                   [--camera EYE AT UP | --cam-pos X Y Z --cam-rot RX RY RZ] [--fov DEG]\n"
    "                   [--light X Y Z [R G B] [POWER]] [--quiet]\n"
    "       koru_render --demo [--depth D] [--shadows on|off] [--data DIR] [--out FILE.png] [--size WxH]\n"
    "                   [--spp N] [--fov DEG] [--engine whole|cpu|gpu|opengl] [--threads N] [--quiet]\n"
    "       koru_render --help | --version\n"
    "\n"
    "Renders a scene file (SCENE, or --obj SCENE: OBJ with its MTL materials, PLY, STL, glTF,\n"
    "Collada or FBX; a neutral grey without materials), or the demo's scene as the demo's first\n"
    "frame shows it, and writes a PNG.\n"
    "  --out FILE.png     the picture, PNG only, never the scene itself (default: the scene's name\n"
    "                     with .png, or demo.png, in this folder)\n"
    "  --size WxH         picture size in pixels (default 640x480, at most 8192 a side)\n"
    "  --spp N            N x N samples per pixel, averaged (a box filter; default 1, at most 16): the\n"
    "                     engine draws an N*W x N*H frame (at most 8192 a side), N*N times the memory\n"
    "                     of one sample a pixel (about 36 bytes a sample on the CPU engine)\n"
    "  --engine E         cpu     the CPU engine's own picture: triangles, one generation, shadows\n"
    "                             (the default for a mesh)\n"
    "                     whole   the CPU engine drawing the GPU engine's picture: spheres, 1 to 5\n"
    "                             generations of mirror reflections, shadows on request (the default\n"
    "                             for the demo scene)\n"
    "                     gpu     the GPU engine, its frame read back from the device (--demo only)\n"
    "                     opengl  the OpenGL renderer (--demo only), in a window of the display\n"
    "                             (a virtual one: xvfb-run koru_render ...)\n"
    "  --depth D          ray generations of the whole picture, 1 to 5 (default 4)\n"
    "  --shadows on|off   shadow rays in the whole picture (default on)\n"
    "  --data DIR         the demo's textures (default: data/ here or beside the program)\n"
    "  --threads N        threads of the CPU engine (default: one per hardware thread)\n"
    "  --camera EX EY EZ AX AY AZ UX UY UZ  (or --look-at) the camera at EYE looking at AT, with UP\n"
    "                     upwards in the picture. Without camera options the camera frames the mesh,\n"
    "                     looking down on it from the front right; each run prints the camera it used.\n"
    "  --cam-pos X Y Z    camera position; with it alone the camera looks along -z, y up\n"
    "  --cam-rot RX RY RZ camera angles in degrees (default 20 -30 0 when framing, else 0 0 0), turned\n"
    "                     about the world's axes, x first, then y, then z: +RX tilts the view down,\n"
    "                     +RY turns it right, +RZ rolls the camera clockwise (the picture turns\n"
    "                     anticlockwise)\n"
    "  --fov DEG          field of view across the picture's width, more than 0 and less than 180\n"
    "                     (default 45); the OpenGL renderer takes it up the picture's height\n"
    "  --light X Y Z [R G B] [POWER]\n"
    "                     the point light at X Y Z (default: above and right of the camera), its colour\n"
    "                     R G B from 0 to 1 (default 1 1 1), which tints its diffuse and specular light,\n"
    "                     and POWER, which scales all it gives a surface, the ambient term too (default\n"
    "                     1). It does not fade with distance.\n"
    "  --quiet            nothing on standard output and no progress line; errors still on standard\n"
    "                     error\n"
    "  --version          the koru version\n"
    "Timings of loading, building, rendering and writing go to standard output; a step that takes\n"
    "over a second shows a progress line on standard error when that is a terminal.\n";

namespace {

bool parse_number(const char* text, float& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text, &end);
    return *text != '\0' && *end == '\0' && errno == 0 && std::isfinite(value);
}

// A whole number from low to high, digits only.
bool parse_whole(const std::string& text, int low, int high, int& value)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::atoi(text.c_str());
    return value >= low && value <= high;
}

bool parse_size(const std::string& text, int& width, int& height)
{
    const std::size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    return parse_whole(text.substr(0, x), 1, max_side, width) && parse_whole(text.substr(x + 1), 1, max_side, height);
}

bool ends_with_png(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const std::size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    std::string extension = base.substr(dot);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".png";
}

bool is_option(const char* arg) { return arg[0] == '-' && arg[1] == '-'; }

std::string joined(char** argv, int first, int count)
{
    std::string text;
    for (int k = 0; k < count; ++k)
        text += (k ? " " : "") + std::string(argv[first + k]);
    return text;
}

} // namespace

M4 rotation_matrix(const V4& degrees)
{
    const float to_radians = TAU_MATH::kPi / 180.0f;
    return (TAU_MATH::RotationZ(degrees[2] * to_radians) * TAU_MATH::RotationY(degrees[1] * to_radians)) *
           TAU_MATH::RotationX(degrees[0] * to_radians);
}

// The camera's columns are right, up and back (it looks along -z). The
// engine's rotation matrices turn the other way from the usual ones, so the
// usual z-y-x decomposition gives the angles with their signs reversed.
bool look_at_angles(const V4& eye, const V4& at, const V4& up, V4& degrees)
{
    double f[3], u[3], r[3], t[3];
    for (int a = 0; a < 3; ++a) {
        f[a] = static_cast<double>(at[a]) - eye[a];
        u[a] = up[a];
    }
    const auto normalise = [](double v[3]) {
        const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        if (!(length > 0.0) || !std::isfinite(length))
            return false;
        for (int a = 0; a < 3; ++a)
            v[a] /= length;
        return true;
    };
    const auto cross = [](const double a[3], const double b[3], double c[3]) {
        c[0] = a[1] * b[2] - a[2] * b[1];
        c[1] = a[2] * b[0] - a[0] * b[2];
        c[2] = a[0] * b[1] - a[1] * b[0];
    };
    if (!normalise(f) || !normalise(u))
        return false;
    cross(f, u, r);
    const double sine = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    if (!(sine > 1e-6) || !normalise(r))
        return false;
    cross(r, f, t);
    // m[row][column] with the columns right, true up, back.
    const double m[3][3] = {{r[0], t[0], -f[0]}, {r[1], t[1], -f[1]}, {r[2], t[2], -f[2]}};
    const double to_degrees = 180.0 / 3.14159265358979323846;
    const double y = std::asin(std::fmax(-1.0, std::fmin(1.0, -m[2][0])));
    double x, z;
    if (std::fabs(m[2][0]) < 1.0 - 1e-9) {
        x = std::atan2(m[2][1], m[2][2]);
        z = std::atan2(m[1][0], m[0][0]);
    } else {
        // Right along z: only the sum of the x and z turns counts.
        x = std::atan2(-m[1][2], m[1][1]);
        z = 0.0;
    }
    degrees = V4(static_cast<float>(-x * to_degrees), static_cast<float>(-y * to_degrees),
                 static_cast<float>(-z * to_degrees), 0.0f);
    return true;
}

std::string parse_options(int argc, char** argv, Options& options)
{
    bool has_camera = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        // Reads count numbers after the option into values.
        const auto numbers = [&](int count, float* values, const char* meaning) -> std::string {
            for (int k = 0; k < count; ++k) {
                if (i + 1 + k >= argc || is_option(argv[i + 1 + k]))
                    return arg + " needs " + std::to_string(count) + " numbers (" + meaning + "), not " +
                           (k ? "'" + joined(argv, i + 1, k) + "'" : std::string("none"));
                if (!parse_number(argv[i + 1 + k], values[k]))
                    return arg + ": '" + argv[i + 1 + k] + "' is not a finite number (value " +
                           std::to_string(k + 1) + " of " + std::to_string(count) + ": " + meaning + ")";
            }
            i += count;
            return "";
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return "";
        } else if (arg == "--version") {
            options.version = true;
            return "";
        } else if (!is_option(argv[i])) {
            if (!options.scene.empty())
                return "one scene at a time: '" + options.scene + "' and '" + arg + "'";
            options.scene = arg;
        } else if (arg == "--obj" && has_value) {
            if (!options.scene.empty())
                return "one scene at a time: '" + options.scene + "' and --obj '" + argv[i + 1] + "'";
            options.scene = argv[++i];
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--data" && has_value) {
            options.data = argv[++i];
        } else if (arg == "--depth" && has_value) {
            int depth = 0;
            if (!parse_whole(argv[++i], 1, 5, depth))
                return std::string("--depth needs a whole number from 1 to 5, not '") + argv[i] + "'";
            options.depth = static_cast<unsigned>(depth);
        } else if (arg == "--shadows" && has_value) {
            const std::string text = argv[++i];
            if (text != "on" && text != "off")
                return "--shadows needs on or off, not '" + text + "'";
            options.shadows = text == "on";
        } else if (arg == "--out" && has_value) {
            options.out = argv[++i];
            if (!ends_with_png(options.out))
                return "--out '" + options.out + "': koru_render writes PNG files only; name it FILE.png";
        } else if (arg == "--size" && has_value) {
            if (!parse_size(argv[++i], options.width, options.height))
                return std::string("--size needs WxH with sides from 1 to ") + std::to_string(max_side) + ", not '" +
                       argv[i] + "'";
        } else if (arg == "--spp" && has_value) {
            if (!parse_whole(argv[++i], 1, max_samples_per_side, options.samples))
                return std::string("--spp needs a whole number from 1 to ") + std::to_string(max_samples_per_side) +
                       ", not '" + argv[i] + "'";
        } else if (arg == "--fov" && has_value) {
            float fov = 0.0f;
            if (!parse_number(argv[++i], fov) || !(fov > 0.0f && fov < 180.0f))
                return std::string("--fov needs degrees more than 0 and less than 180, not '") + argv[i] + "'";
            options.fov = fov;
        } else if (arg == "--engine" && has_value) {
            const std::string engine = argv[++i];
            if (engine != "cpu" && engine != "whole" && engine != "gpu" && engine != "opengl")
                return "--engine: unknown engine '" + engine + "' (choose cpu, whole, gpu or opengl)";
            options.engine = engine == "cpu"     ? Engine_Choice::Cpu
                             : engine == "whole" ? Engine_Choice::Whole
                             : engine == "gpu"   ? Engine_Choice::Gpu
                                                 : Engine_Choice::OpenGL;
        } else if (arg == "--threads" && has_value) {
            if (!parse_whole(argv[++i], 1, max_threads, options.threads))
                return std::string("--threads needs a whole number from 1 to ") + std::to_string(max_threads) +
                       ", not '" + argv[i] + "'";
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--cam-pos" || arg == "--cam-rot") {
            float v[3];
            const std::string problem = numbers(3, v, arg == "--cam-pos" ? "X Y Z" : "RX RY RZ");
            if (!problem.empty())
                return problem;
            if (arg == "--cam-pos") {
                options.position = V4(v[0], v[1], v[2], 1.0f);
                options.has_position = true;
            } else {
                options.rotation = V4(v[0], v[1], v[2], 0.0f);
                options.has_rotation = true;
            }
        } else if (arg == "--camera" || arg == "--look-at") {
            float v[9];
            const std::string problem = numbers(9, v, "EYE AT UP, x y z each");
            if (!problem.empty())
                return problem;
            const V4 eye(v[0], v[1], v[2], 1.0f), at(v[3], v[4], v[5], 1.0f), up(v[6], v[7], v[8], 0.0f);
            if (!look_at_angles(eye, at, up, options.rotation))
                return arg + " '" + joined(argv, i - 8, 9) + "': " +
                       (eye[0] == at[0] && eye[1] == at[1] && eye[2] == at[2]
                            ? "EYE and AT are the same point"
                            : "UP must not be zero or point along the view from EYE to AT");
            options.position = eye;
            const double dx = at[0] - static_cast<double>(eye[0]), dy = at[1] - static_cast<double>(eye[1]),
                         dz = at[2] - static_cast<double>(eye[2]);
            options.look_distance = static_cast<float>(std::sqrt(dx * dx + dy * dy + dz * dz));
            has_camera = true;
        } else if (arg == "--light") {
            // X Y Z, then R G B, then POWER: as many numbers as follow, up to seven.
            float v[7];
            int count = 0;
            while (count < 7 && i + 1 + count < argc && parse_number(argv[i + 1 + count], v[count]))
                ++count;
            if (count < 3)
                return numbers(3, v, "X Y Z");
            if (count == 5)
                return "--light takes X Y Z, then R G B, then POWER: 3, 4, 6 or 7 numbers, not 5 ('" +
                       joined(argv, i + 1, 5) + "')";
            const int power_at = count == 4 ? 3 : count == 7 ? 6 : -1;
            for (int k = 3; k < count; ++k)
                if (v[k] < 0.0f)
                    return "--light: " + std::string(k == power_at ? "POWER" : "R G B") + " must not be negative, not '" +
                           argv[i + 1 + k] + "'";
            options.light = V4(v[0], v[1], v[2], 1.0f);
            if (count >= 6)
                options.light_color = V4(v[3], v[4], v[5], 1.0f);
            if (power_at > 0)
                options.light_power = v[power_at];
            options.has_light = true;
            i += count;
        } else if (arg == "--obj" || arg == "--out" || arg == "--size" || arg == "--engine" || arg == "--threads" ||
                   arg == "--data" || arg == "--depth" || arg == "--shadows" || arg == "--spp" || arg == "--fov") {
            return "option " + arg + " needs a value";
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    if (has_camera && (options.has_position || options.has_rotation))
        return "--camera and --cam-pos or --cam-rot exclude each other";
    if (has_camera)
        options.has_position = options.has_rotation = true;
    const long long frame_width = static_cast<long long>(options.width) * options.samples;
    const long long frame_height = static_cast<long long>(options.height) * options.samples;
    if (frame_width > max_side || frame_height > max_side)
        return "--spp " + std::to_string(options.samples) + " at " + std::to_string(options.width) + "x" +
               std::to_string(options.height) + " would draw a frame of " + std::to_string(frame_width) + "x" +
               std::to_string(frame_height) + "; it may have at most " + std::to_string(max_side) + " pixels a side";
    if (options.demo) {
        if (!options.scene.empty())
            return "--demo draws the demo's scene, not '" + options.scene + "'";
        if (options.has_position || options.has_rotation || options.has_light)
            return "--demo takes the demo's camera and light";
        if (options.out.empty())
            options.out = "demo.png";
        if (options.engine == Engine_Choice::Default)
            options.engine = Engine_Choice::Whole;
        return "";
    }
    if (options.engine == Engine_Choice::OpenGL)
        return "--engine opengl draws the demo scene only (--demo)";
    if (options.scene.empty())
        return "a SCENE file (or --demo) is needed";
    if (options.out.empty()) {
        std::string name = options.scene.substr(options.scene.rfind('/') + 1);
        const std::size_t dot = name.rfind('.');
        options.out = (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + ".png";
    }
    return "";
}

} // namespace render_tool
