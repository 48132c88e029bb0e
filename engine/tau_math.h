// Small value types shared by the library and its clients: vectors, matrices,
// rays, spheres and the 16-byte aligned allocation base.
//
// The layouts are a contract between koru and its clients (arrays of these
// cross the library boundary and are copied byte for byte), so every size and
// alignment is pinned by a static_assert below.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "host_device.h"

namespace TAU_MATH {

// Single-precision pi used for every degree-to-radian conversion.
constexpr float kPi = 3.1415927f;

// std::bad_alloc with the message every aligned allocation failure carries.
class Aligned_Bad_Alloc : public std::bad_alloc {
public:
    const char* what() const noexcept override
    {
        return "_aligned_malloc(): unsufficient memory";
    }
};

// 16-byte aligned block from the platform allocator; throws Aligned_Bad_Alloc.
inline void* aligned_malloc(std::size_t size, std::size_t alignment = 16)
{
    void* block = nullptr;
    if (size == 0)
        size = 1;
    if (posix_memalign(&block, alignment, size) != 0 || block == nullptr)
        throw Aligned_Bad_Alloc();
    return block;
}

inline void aligned_free(void* block) noexcept { std::free(block); }

// Typed helpers: allocate and default-construct / destroy and free n objects.
template <class T>
T* aligned_new_array(std::size_t n)
{
    if (n > SIZE_MAX / sizeof(T))
        throw Aligned_Bad_Alloc();
    T* items = static_cast<T*>(aligned_malloc(n * sizeof(T), alignof(T) < 16 ? 16 : alignof(T)));
    for (std::size_t i = 0; i < n; ++i)
        new (items + i) T();
    return items;
}

template <class T>
void aligned_delete_array(T* items, std::size_t n) noexcept
{
    if (items == nullptr)
        return;
    for (std::size_t i = 0; i < n; ++i)
        items[i].~T();
    aligned_free(items);
}

// Base that gives derived classes 16-byte aligned dynamic allocation.
class SSE_Aligned_Object {
public:
    static void* operator new(std::size_t size) { return aligned_malloc(size, 16); }
    static void* operator new[](std::size_t size) { return aligned_malloc(size, 16); }
    static void operator delete(void* block) noexcept { aligned_free(block); }
    static void operator delete[](void* block) noexcept { aligned_free(block); }
};

template <int N, class T>
struct alignas((N == 4 && sizeof(T) == 4) ? 16 : alignof(T)) VECTOR {
    T v[N];

    // Elements are left unset, as for a built-in array.
    VECTOR() = default;

    template <class... A, class = std::enable_if_t<sizeof...(A) == N && (N > 1)>>
    KORU_HD constexpr VECTOR(A... a) : v{static_cast<T>(a)...}
    {
    }

    KORU_HD T& operator[](int i) { return v[i]; }
    KORU_HD const T& operator[](int i) const { return v[i]; }
};

template <int N, class T>
KORU_HD VECTOR<N, T> operator+(const VECTOR<N, T>& a, const VECTOR<N, T>& b)
{
    VECTOR<N, T> r;
    for (int i = 0; i < N; ++i)
        r[i] = a[i] + b[i];
    return r;
}

template <int N, class T>
KORU_HD VECTOR<N, T> operator-(const VECTOR<N, T>& a, const VECTOR<N, T>& b)
{
    VECTOR<N, T> r;
    for (int i = 0; i < N; ++i)
        r[i] = a[i] - b[i];
    return r;
}

template <int N, class T>
KORU_HD VECTOR<N, T> operator*(const VECTOR<N, T>& a, T s)
{
    VECTOR<N, T> r;
    for (int i = 0; i < N; ++i)
        r[i] = a[i] * s;
    return r;
}

template <int N, class T>
KORU_HD bool operator==(const VECTOR<N, T>& a, const VECTOR<N, T>& b)
{
    for (int i = 0; i < N; ++i)
        if (!(a[i] == b[i]))
            return false;
    return true;
}

// Dot and cross products of the x, y, z parts; w never enters.
template <int N, class T>
KORU_HD T Dot3(const VECTOR<N, T>& a, const VECTOR<N, T>& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

KORU_HD VECTOR<4, float> Cross3(const VECTOR<4, float>& a, const VECTOR<4, float>& b)
{
    return VECTOR<4, float>(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                            a[0] * b[1] - a[1] * b[0], 0.0f);
}

// Divides all four components by the length of (x, y, z); w is scaled too.
KORU_HD VECTOR<4, float> Normalize(const VECTOR<4, float>& a)
{
    const float length = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    return VECTOR<4, float>(a[0] / length, a[1] / length, a[2] / length, a[3] / length);
}

// Row-major matrix; column vectors multiply on the right (M x v).
template <int R, int C, class T>
struct MATRIX {
    VECTOR<C, T> m[R];

    // The identity: a fresh matrix is relied on to be one.
    KORU_HD MATRIX()
    {
        for (int i = 0; i < R; ++i)
            for (int j = 0; j < C; ++j)
                m[i][j] = (i == j) ? T(1) : T(0);
    }

    KORU_HD VECTOR<C, T>& operator[](int i) { return m[i]; }
    KORU_HD const VECTOR<C, T>& operator[](int i) const { return m[i]; }

    KORU_HD void Transpose()
    {
        static_assert(R == C, "only square matrices transpose in place");
        for (int i = 0; i < R; ++i)
            for (int j = i + 1; j < C; ++j) {
                const T t = m[i][j];
                m[i][j] = m[j][i];
                m[j][i] = t;
            }
    }
};

// C = A x B, each element accumulated in k order into a zeroed result.
template <int R, int K, int C, class T>
KORU_HD MATRIX<R, C, T> operator*(const MATRIX<R, K, T>& a, const MATRIX<K, C, T>& b)
{
    MATRIX<R, C, T> c;
    for (int i = 0; i < R; ++i)
        for (int j = 0; j < C; ++j) {
            T sum = T(0);
            for (int k = 0; k < K; ++k)
                sum += a[i][k] * b[k][j];
            c[i][j] = sum;
        }
    return c;
}

// r[i] = row i . v over all components, summed left to right in index order.
template <int R, int C, class T>
KORU_HD VECTOR<R, T> operator*(const MATRIX<R, C, T>& a, const VECTOR<C, T>& v)
{
    VECTOR<R, T> r;
    for (int i = 0; i < R; ++i) {
        T sum = a[i][0] * v[0];
        for (int k = 1; k < C; ++k)
            sum += a[i][k] * v[k];
        r[i] = sum;
    }
    return r;
}

// Rotations for an angle in radians; these are the transposes of the usual
// right-handed rotations, and the camera is built from exactly these.
KORU_HD MATRIX<4, 4, float> RotationX(float a)
{
    MATRIX<4, 4, float> r;
    const float c = std::cos(a), s = std::sin(a);
    r[1][1] = c;
    r[1][2] = s;
    r[2][1] = -s;
    r[2][2] = c;
    return r;
}

KORU_HD MATRIX<4, 4, float> RotationY(float a)
{
    MATRIX<4, 4, float> r;
    const float c = std::cos(a), s = std::sin(a);
    r[0][0] = c;
    r[0][2] = -s;
    r[2][0] = s;
    r[2][2] = c;
    return r;
}

KORU_HD MATRIX<4, 4, float> RotationZ(float a)
{
    MATRIX<4, 4, float> r;
    const float c = std::cos(a), s = std::sin(a);
    r[0][0] = c;
    r[0][1] = s;
    r[1][0] = -s;
    r[1][1] = c;
    return r;
}

// Identity with the fourth column replaced by t.
KORU_HD MATRIX<4, 4, float> Translation(const VECTOR<4, float>& t)
{
    MATRIX<4, 4, float> r;
    r[0][3] = t[0];
    r[1][3] = t[1];
    r[2][3] = t[2];
    r[3][3] = t[3];
    return r;
}

template <int N, class T>
struct RAY {
    VECTOR<N, T> pos; // origin, w = 1 for N = 4
    VECTOR<N, T> dir; // direction, w = 0 for N = 4
};

template <int N, class T>
struct SPHERE {
    VECTOR<N, T> center;
    T radius;
    T radius2;         // radius squared, filled by the caller
    int32_t material_id;
    int32_t reserved;  // keeps the stride at 32 bytes; never copied
};

static_assert(sizeof(VECTOR<4, float>) == 16 && alignof(VECTOR<4, float>) == 16, "VECTOR<4,float>");
static_assert(sizeof(VECTOR<3, float>) == 12, "VECTOR<3,float>");
static_assert(sizeof(VECTOR<2, float>) == 8, "VECTOR<2,float>");
static_assert(sizeof(VECTOR<2, unsigned>) == 8, "VECTOR<2,unsigned>");
static_assert(sizeof(MATRIX<4, 4, float>) == 64 && alignof(MATRIX<4, 4, float>) == 16, "MATRIX<4,4,float>");
static_assert(sizeof(RAY<4, float>) == 32 && alignof(RAY<4, float>) == 16, "RAY<4,float>");
static_assert(sizeof(RAY<3, float>) == 24, "RAY<3,float>");
static_assert(sizeof(SPHERE<4, float>) == 32 && alignof(SPHERE<4, float>) == 16, "SPHERE<4,float>");
using Sphere4f = SPHERE<4, float>;
static_assert(offsetof(Sphere4f, radius) == 16 && offsetof(Sphere4f, material_id) == 24,
              "SPHERE<4,float> field order");
static_assert(std::is_trivially_copyable<VECTOR<4, float>>::value, "vectors copy as bytes");

} // namespace TAU_MATH
