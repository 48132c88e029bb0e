// koru_make_mesh: writes a closed, displaced sphere of a requested triangle
// count as a Wavefront OBJ file, the same bytes on every run.
//
// The sphere is a latitude-longitude grid: `rows` bands between the poles,
// `slices` around, the two polar bands fanned to a pole vertex, so it has
// 2 * slices * (rows - 1) triangles and slices * (rows - 1) + 2 vertices.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: koru_make_mesh TRIANGLES OUT.obj\n"
                 "Writes a displaced sphere of TRIANGLES triangles (an even number, at least 8).\n");
}

// (rows - 1) * slices = triangles / 2, with slices about twice rows (cells
// about square); a prime half leaves one ring, a double cone.
void pick_grid(unsigned long half, unsigned long& rows, unsigned long& slices)
{
    rows = 2;
    slices = half;
    double best = 1e300;
    for (unsigned long rings = 1; rings * rings <= half; ++rings) {
        if (half % rings != 0 || half / rings < 3)
            continue;
        const double skew = std::fabs(std::log(static_cast<double>(half / rings) / (2.0 * (rings + 1))));
        if (skew < best) {
            best = skew;
            rows = rings + 1;
            slices = half / rings;
        }
    }
}

// Smooth bumps: a few low-frequency waves over the angles.
double radius_at(double theta, double phi)
{
    return 1.0 + 0.08 * std::sin(5.0 * theta) * std::cos(3.0 * phi) + 0.04 * std::sin(11.0 * phi + 2.0 * theta) +
           0.02 * std::cos(17.0 * theta - 7.0 * phi);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc != 3) {
        usage(stderr);
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long triangles = std::strtoul(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || argv[1][0] == '-' || triangles < 8 || triangles % 2 != 0 ||
        triangles > 100000000ul) {
        std::fprintf(stderr, "koru_make_mesh: TRIANGLES must be an even number from 8 to 100000000\n");
        return 2;
    }
    unsigned long rows, slices;
    pick_grid(triangles / 2, rows, slices);

    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::fprintf(stderr, "koru_make_mesh: cannot write '%s': %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    const double pi = 3.14159265358979323846;
    std::fprintf(out, "# displaced sphere: %lu triangles, %lu bands, %lu slices\n", triangles, rows, slices);

    // Vertex 1 is the north pole, then rings 1 .. rows-1, then the south pole.
    auto write_vertex = [&](double theta, double phi) {
        const double r = radius_at(theta, phi);
        const float x = static_cast<float>(r * std::sin(theta) * std::cos(phi));
        const float y = static_cast<float>(r * std::cos(theta));
        const float z = static_cast<float>(r * std::sin(theta) * std::sin(phi));
        std::fprintf(out, "v %.9g %.9g %.9g\n", x, y, z);
    };
    write_vertex(0.0, 0.0);
    for (unsigned long i = 1; i < rows; ++i)
        for (unsigned long j = 0; j < slices; ++j)
            write_vertex(pi * static_cast<double>(i) / static_cast<double>(rows),
                         2.0 * pi * static_cast<double>(j) / static_cast<double>(slices));
    write_vertex(pi, 0.0);

    const unsigned long north = 1;
    const unsigned long south = 2 + slices * (rows - 1);
    auto ring = [&](unsigned long i, unsigned long j) { return 2 + (i - 1) * slices + (j % slices); };
    for (unsigned long j = 0; j < slices; ++j)
        std::fprintf(out, "f %lu %lu %lu\n", north, ring(1, j + 1), ring(1, j));
    for (unsigned long i = 1; i + 1 < rows; ++i)
        for (unsigned long j = 0; j < slices; ++j) {
            std::fprintf(out, "f %lu %lu %lu\n", ring(i, j), ring(i, j + 1), ring(i + 1, j + 1));
            std::fprintf(out, "f %lu %lu %lu\n", ring(i, j), ring(i + 1, j + 1), ring(i + 1, j));
        }
    for (unsigned long j = 0; j < slices; ++j)
        std::fprintf(out, "f %lu %lu %lu\n", ring(rows - 1, j), ring(rows - 1, j + 1), south);

    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "koru_make_mesh: writing '%s' failed\n", argv[2]);
        return 1;
    }
    return 0;
}
