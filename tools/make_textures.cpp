// Writes the demo's three textures as 24-bit BMP files into the folder given:
//   parquet.bmp  - herringbone oak parquet with grain and dark joints
//   texture1.bmp - running-bond brick wall with mortar joints
//   texture4.bmp - compass star over concentric rings
// Every image is made here from our own noise; the output is the same on
// every run and every machine. All three tile seamlessly.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int texture_size = 256;
constexpr float pi = 3.14159265f;

struct rgb {
    float r, g, b;
};

rgb operator*(rgb c, float s) { return {c.r * s, c.g * s, c.b * s}; }
rgb operator+(rgb a, rgb b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
rgb mix(rgb a, rgb b, float t) { return a * (1.0f - t) + b * t; }

struct picture {
    int width = texture_size;
    int height = texture_size;
    std::vector<rgb> pixels = std::vector<rgb>(texture_size * texture_size);

    rgb& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Integer hash (Wellons' lowbias32) behind all the randomness.
uint32_t hash32(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint32_t hash_combine(uint32_t a, uint32_t b) { return hash32(a ^ (hash32(b) + 0x9e3779b9U)); }

// Uniform in [0, 1) from a key.
float unit_random(uint32_t key) { return static_cast<float>(hash32(key) >> 8) * (1.0f / 16777216.0f); }

float smooth(float t) { return t * t * (3.0f - 2.0f * t); }

// Value noise on an integer lattice that repeats every `period` cells, so a
// texture built from it tiles.
float lattice_value(int x, int y, int period, uint32_t seed)
{
    x = ((x % period) + period) % period;
    y = ((y % period) + period) % period;
    return unit_random(hash_combine(seed, static_cast<uint32_t>(x) * 7919u + static_cast<uint32_t>(y)));
}

float value_noise(float x, float y, int period, uint32_t seed)
{
    const int x0 = static_cast<int>(std::floor(x));
    const int y0 = static_cast<int>(std::floor(y));
    const float tx = smooth(x - x0);
    const float ty = smooth(y - y0);
    const float a = lattice_value(x0, y0, period, seed);
    const float b = lattice_value(x0 + 1, y0, period, seed);
    const float c = lattice_value(x0, y0 + 1, period, seed);
    const float d = lattice_value(x0 + 1, y0 + 1, period, seed);
    return (a + (b - a) * tx) * (1.0f - ty) + (c + (d - c) * tx) * ty;
}

// Fractal sum of value noise in [0, 1); `period` is that of the first octave.
float fractal_noise(float x, float y, int period, int octaves, uint32_t seed)
{
    float sum = 0.0f, amplitude = 0.5f, total = 0.0f;
    for (int i = 0; i < octaves; ++i) {
        sum += amplitude * value_noise(x, y, period, seed + static_cast<uint32_t>(i) * 101u);
        total += amplitude;
        x *= 2.0f;
        y *= 2.0f;
        period *= 2;
        amplitude *= 0.5f;
    }
    return sum / total;
}

// Herringbone parquet. Planks are plank_cells x 1 cells of cell_size pixels.
// The pattern repeats under the lattice (1, 1), (n, -n) in cells: along each
// diagonal a horizontal plank at cell (k + n j, k) alternates with a vertical
// one at column n + k + n j; (2n, 0) and (0, 2n) are periods too.
picture make_parquet()
{
    constexpr int cell_size = 16;
    constexpr int plank_cells = 4;
    constexpr int cells = texture_size / cell_size;
    static_assert(cells % (2 * plank_cells) == 0, "the herringbone must tile the texture");

    const rgb oak_light{0.80f, 0.60f, 0.36f};
    const rgb oak_dark{0.50f, 0.31f, 0.15f};
    const rgb joint{0.16f, 0.09f, 0.04f};

    picture out;
    for (int y = 0; y < texture_size; ++y)
        for (int x = 0; x < texture_size; ++x) {
            const int cx = x / cell_size, cy = y / cell_size;
            const int sx = x % cell_size, sy = y % cell_size;
            const int n = plank_cells;
            const int diagonal = cx - cy;
            const int r = ((diagonal % (2 * n)) + 2 * n) % (2 * n);
            const bool horizontal = r < n;

            // Position in the plank: cells along it, pixels along and across.
            int along_cell, origin_x, origin_y, along, across;
            if (horizontal) {
                along_cell = r;
                origin_x = cx - along_cell;
                origin_y = cy;
                along = along_cell * cell_size + sx;
                across = sy;
            } else {
                along_cell = 2 * n - 1 - r;
                origin_x = cx;
                origin_y = cy - along_cell;
                along = along_cell * cell_size + sy;
                across = sx;
            }
            const int plank_length = n * cell_size;
            const uint32_t plank_key =
                hash_combine(horizontal ? 1u : 2u,
                             static_cast<uint32_t>(((origin_x % cells + cells) % cells) * 64 +
                                                   (origin_y % cells + cells) % cells));

            // Each plank gets its own tone and its own slice of the grain.
            const float tone = unit_random(plank_key);
            rgb base = mix(oak_light, oak_dark, 0.15f + 0.6f * tone);
            const float grain_offset = 100.0f * unit_random(plank_key + 17u);
            const float wobble =
                fractal_noise(along * 0.04f + grain_offset, across * 0.15f + grain_offset, 1 << 20, 3,
                              plank_key) - 0.5f;
            const float rings = std::sin((across + 9.0f * wobble + grain_offset) * 1.1f);
            const float fleck = fractal_noise(along * 0.5f, across * 0.5f + grain_offset, 1 << 20, 2,
                                              plank_key + 5u);
            float shade = 1.0f - 0.14f * (0.5f + 0.5f * rings) * (0.5f + rings * rings) + 0.12f * (fleck - 0.5f);

            // Slight darkening toward the plank ends, as worn varnish shows.
            const float end_distance = std::min(along, plank_length - 1 - along) / float(plank_length);
            shade *= 0.93f + 0.07f * std::min(1.0f, end_distance * 6.0f);

            rgb colour = base * shade;
            const bool edge = across == 0 || across == cell_size - 1 || along == 0 || along == plank_length - 1;
            if (edge)
                colour = mix(colour, joint, 0.7f);
            out.at(x, y) = colour;
        }
    return out;
}

// Running-bond brick wall: 64 x 32 pixel courses, alternate courses offset by
// half a brick, 4-pixel mortar joints.
picture make_bricks()
{
    constexpr int brick_width = 64;
    constexpr int brick_height = 32;
    constexpr int mortar = 4;
    constexpr int courses = texture_size / brick_height;
    constexpr int bricks_per_course = texture_size / brick_width;

    const rgb brick_colours[] = {
        {0.66f, 0.22f, 0.14f}, {0.74f, 0.31f, 0.18f}, {0.55f, 0.18f, 0.12f}, {0.80f, 0.42f, 0.24f}};
    const rgb mortar_colour{0.78f, 0.76f, 0.70f};

    picture out;
    for (int y = 0; y < texture_size; ++y)
        for (int x = 0; x < texture_size; ++x) {
            const int course = y / brick_height;
            const int shifted = (x + (course % 2) * (brick_width / 2)) % texture_size;
            const int brick = shifted / brick_width;
            const int bx = shifted % brick_width;
            const int by = y % brick_height;
            const uint32_t brick_key = hash_combine(0xb41c4u, static_cast<uint32_t>(course * 16 + brick));

            const float grit = fractal_noise(x / 8.0f, y / 8.0f, texture_size / 8, 4, 0x5a11du);
            const bool in_mortar = bx < mortar || by < mortar;
            rgb colour;
            if (in_mortar) {
                colour = mortar_colour * (0.85f + 0.25f * grit);
            } else {
                const rgb base = brick_colours[hash32(brick_key) % 4];
                const float speckle = unit_random(hash_combine(brick_key, static_cast<uint32_t>(y * 256 + x)));
                float shade = 0.8f + 0.35f * grit + (speckle > 0.93f ? -0.18f : 0.0f);
                // A lit top edge and a shadowed bottom edge give the bricks relief.
                if (by == mortar || bx == mortar)
                    shade *= 1.18f;
                else if (by == brick_height - 1 || bx == brick_width - 1)
                    shade *= 0.72f;
                colour = base * shade;
            }
            out.at(x, y) = colour;
        }
    static_assert(courses % 2 == 0 && bricks_per_course >= 1, "the bond must tile the texture");
    return out;
}

// Signed distance-like test: is p inside the triangle a, b, c (either winding)?
bool inside_triangle(float px, float py, float ax, float ay, float bx, float by, float cx, float cy)
{
    const float d1 = (px - bx) * (ay - by) - (ax - bx) * (py - by);
    const float d2 = (px - cx) * (by - cy) - (bx - cx) * (py - cy);
    const float d3 = (px - ax) * (cy - ay) - (cx - ax) * (py - ay);
    const bool has_negative = d1 < 0 || d2 < 0 || d3 < 0;
    const bool has_positive = d1 > 0 || d2 > 0 || d3 > 0;
    return !(has_negative && has_positive);
}

// Eight-pointed compass star on concentric gold rings over a navy field.
picture make_compass()
{
    const float centre = texture_size / 2.0f;
    const rgb navy{0.05f, 0.10f, 0.28f};
    const rgb navy_light{0.14f, 0.24f, 0.50f};
    const rgb gold{0.93f, 0.74f, 0.26f};
    const rgb ivory{0.97f, 0.94f, 0.84f};
    const rgb crimson{0.72f, 0.08f, 0.10f};
    const rgb slate{0.35f, 0.38f, 0.45f};

    picture out;
    for (int y = 0; y < texture_size; ++y)
        for (int x = 0; x < texture_size; ++x) {
            const float px = x + 0.5f - centre;
            const float py = y + 0.5f - centre;
            const float radius = std::sqrt(px * px + py * py);
            const float angle = std::atan2(py, px);

            rgb colour = mix(navy_light, navy, std::min(1.0f, radius / 181.0f));

            // Rings, and 32 tick marks between the outer two.
            const float rings[] = {122.0f, 108.0f, 60.0f};
            const float ring_width[] = {3.0f, 1.5f, 1.5f};
            for (int i = 0; i < 3; ++i)
                if (std::fabs(radius - rings[i]) < ring_width[i])
                    colour = gold;
            const float tick_phase = std::fmod(angle / (2.0f * pi) * 32.0f + 64.0f, 1.0f);
            if (radius > 110.0f && radius < 120.0f && (tick_phase < 0.08f || tick_phase > 0.92f))
                colour = gold;

            // Diagonal points first, then the four main points over them. Each
            // point is two triangles, one light and one dark, split along its axis.
            for (int pass = 0; pass < 2; ++pass)
                for (int k = 0; k < 4; ++k) {
                    const float axis = (pass == 0 ? pi / 4.0f : 0.0f) + k * pi / 2.0f;
                    const float tip = pass == 0 ? 78.0f : 120.0f;
                    const float base = pass == 0 ? 16.0f : 22.0f;
                    const float tx = tip * std::cos(axis), ty = tip * std::sin(axis);
                    const float lx = base * std::cos(axis + pi / 4.0f), ly = base * std::sin(axis + pi / 4.0f);
                    const float rx = base * std::cos(axis - pi / 4.0f), ry = base * std::sin(axis - pi / 4.0f);
                    const rgb light = pass == 0 ? slate * 1.6f : ivory;
                    const rgb dark = pass == 0 ? slate : (k == 1 ? crimson : gold * 0.75f);
                    if (inside_triangle(px, py, 0.0f, 0.0f, tx, ty, lx, ly))
                        colour = light;
                    else if (inside_triangle(px, py, 0.0f, 0.0f, tx, ty, rx, ry))
                        colour = dark;
                }

            // Hub.
            if (radius < 9.0f)
                colour = radius < 5.0f ? crimson : gold;

            // Faint parchment noise keeps flat areas from looking synthetic.
            const float grain = fractal_noise(x / 16.0f, y / 16.0f, texture_size / 16, 3, 0xc0de5u);
            out.at(x, y) = colour * (0.94f + 0.12f * grain);
        }
    return out;
}

unsigned char to_byte(float value)
{
    const float clamped = std::min(1.0f, std::max(0.0f, value));
    return static_cast<unsigned char>(std::lround(clamped * 255.0f));
}

void put_u16(std::vector<unsigned char>& out, std::size_t at, uint32_t value)
{
    out[at] = static_cast<unsigned char>(value);
    out[at + 1] = static_cast<unsigned char>(value >> 8);
}

void put_u32(std::vector<unsigned char>& out, std::size_t at, uint32_t value)
{
    put_u16(out, at, value & 0xffffU);
    put_u16(out, at + 2, value >> 16);
}

// Uncompressed 24-bit BMP: 14-byte file header, 40-byte information header,
// bottom row first, rows padded to 4 bytes.
bool write_bmp(const std::filesystem::path& path, picture& image)
{
    constexpr uint32_t header_bytes = 54;
    const uint32_t row_size = (static_cast<uint32_t>(image.width) * 3 + 3) / 4 * 4;
    const uint32_t pixel_bytes = row_size * static_cast<uint32_t>(image.height);
    std::vector<unsigned char> file(header_bytes + pixel_bytes, 0);

    file[0] = 'B';
    file[1] = 'M';
    put_u32(file, 2, header_bytes + pixel_bytes);
    put_u32(file, 10, header_bytes);
    put_u32(file, 14, 40);
    put_u32(file, 18, static_cast<uint32_t>(image.width));
    put_u32(file, 22, static_cast<uint32_t>(image.height));
    put_u16(file, 26, 1);
    put_u16(file, 28, 24);
    put_u32(file, 34, pixel_bytes);
    put_u32(file, 38, 2835); // 72 dots per inch
    put_u32(file, 42, 2835);

    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const rgb c = image.at(x, y);
            const std::size_t at = header_bytes + static_cast<std::size_t>(y) * row_size + 3u * x;
            file[at + 0] = to_byte(c.b);
            file[at + 1] = to_byte(c.g);
            file[at + 2] = to_byte(c.r);
        }

    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    stream.close();
    return static_cast<bool>(stream);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argc > 0 ? argv[0] : "koru_make_textures");
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "koru_make_textures: cannot create %s: %s\n", argv[1], error.message().c_str());
        return 1;
    }

    struct output {
        const char* name;
        picture (*make)();
    };
    const output outputs[] = {{"parquet.bmp", make_parquet}, {"texture1.bmp", make_bricks},
                              {"texture4.bmp", make_compass}};
    for (const output& item : outputs) {
        picture image = item.make();
        const std::filesystem::path path = folder / item.name;
        if (!write_bmp(path, image)) {
            std::fprintf(stderr, "koru_make_textures: cannot write %s\n", path.string().c_str());
            return 1;
        }
    }
    return 0;
}
