#include "bench/bench_scenes.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "demo/scene.h"
#include "io/bmp.h"

namespace koru {
namespace bench {

using V4 = TAU_MATH::VECTOR<4, float>;
using Vertex = TAU_GRAPHICS::VERTEX<4, float>;

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

TAU_GRAPHICS::Point_Light<4, float> first_frame_light()
{
    TAU_GRAPHICS::Point_Light<4, float> light = demo::DemoLight();
    light.pos = demo::LightPosition(1.0f + 0.5f / 60.0f, 1.0f);
    return light;
}

Obj_Mesh load_obj_mesh(const std::string& path)
{
    io::Load_Options options;
    options.textures = false;
    Obj_Mesh obj;
    obj.mesh = io::ReadScene(path, options);
    for (Vertex& v : obj.mesh.vertices) {
        v.material_id = 0;
        v.tex_id[0] = TAU_GRAPHICS::kNoTexture;
    }
    for (int a = 0; a < 3; ++a) {
        obj.lo[a] = obj.mesh.box_min[a];
        obj.hi[a] = obj.mesh.box_max[a];
    }
    return obj;
}

double peak_memory_mib()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    // Linux counts ru_maxrss in KiB.
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace bench
} // namespace koru
