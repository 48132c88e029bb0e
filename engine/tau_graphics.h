// Scene records that cross the engine interface: vertices, materials and
// point lights. Their layouts are fixed (see the static_asserts).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tau_math.h"

namespace TAU_GRAPHICS {

using TAU_MATH::VECTOR;

// A tex_id first byte at or above the texture count means "not textured".
constexpr unsigned char kNoTexture = 255;

template <int N, class T>
struct VERTEX {
    VECTOR<N, T> pos;          // position, w = 1
    VECTOR<N, T> norm;         // unit normal, w = 0
    VECTOR<2, T> tex_coord;    // (u, v)
    int32_t material_id;
    unsigned char tex_id[4];   // [0]: texture index; the rest are carried along

    // Only tex_id is set; the rest stays unset like a plain record.
    KORU_HD VERTEX() : tex_id{kNoTexture, kNoTexture, kNoTexture, kNoTexture} {}
};

// One of the four shading parameter words: elements 0 to 2 are floats,
// element 3 an integer. The engine stores and copies them unchanged.
union MaterialParam {
    float f;
    int32_t i;
};

template <int N>
struct MATERIAL {
    VECTOR<N, float> ambient;
    VECTOR<N, float> diffuse;
    VECTOR<N, float> specular;
    float spec_power;
    MaterialParam param[4];
};

template <int N, class T>
struct Point_Light {
    VECTOR<N, T> color;
    T power;   // the tracers scale the light's whole contribution by it
    T kc;      // attenuation 1 / (kc + kl d + kq d^2)
    T kl;
    T kq;
    VECTOR<N, T> pos; // position, w = 1; left unset by the constructor

    KORU_HD Point_Light() : color(1.0f, 1.0f, 1.0f, 1.0f), power(1.0f), kc(1.0f), kl(0.01f), kq(0.005f) {}
};

using Vertex4f = VERTEX<4, float>;
using Material3 = MATERIAL<3>;
using Light4f = Point_Light<4, float>;
static_assert(sizeof(VERTEX<4, float>) == 48 && alignof(VERTEX<4, float>) == 16, "VERTEX<4,float>");
static_assert(offsetof(Vertex4f, norm) == 16 && offsetof(Vertex4f, tex_coord) == 32 &&
                  offsetof(Vertex4f, material_id) == 40 && offsetof(Vertex4f, tex_id) == 44,
              "VERTEX<4,float> field order");
static_assert(sizeof(MATERIAL<3>) == 56 && alignof(MATERIAL<3>) == 4, "MATERIAL<3>");
static_assert(offsetof(Material3, diffuse) == 12 && offsetof(Material3, specular) == 24 &&
                  offsetof(Material3, spec_power) == 36 && offsetof(Material3, param) == 40,
              "MATERIAL<3> field order");
static_assert(sizeof(Point_Light<4, float>) == 48 && alignof(Point_Light<4, float>) == 16, "Point_Light<4,float>");
static_assert(offsetof(Light4f, power) == 16 && offsetof(Light4f, kq) == 28 &&
                  offsetof(Light4f, pos) == 32,
              "Point_Light<4,float> field order");

} // namespace TAU_GRAPHICS
