// Four-wide single-precision values and lane masks: the host's second lane
// type of the shared intersection code (rt/intersect.h), used by the packet
// walk and the kd-tree build; device code never includes it. SSE when the
// compiler offers it, plain arrays otherwise; both behave alike, NaN handling
// of min and max included, and every lane gives the scalar lane's answer
// (rt/lanes.h).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KORU_SIMD_SSE 1
#include <emmintrin.h>
#else
#define KORU_SIMD_SSE 0
#endif

namespace koru {
namespace simd {

#if KORU_SIMD_SSE

// Four lanes, each all ones (set) or all zeros (clear).
struct mask4 {
    __m128 m;

    mask4() = default;
    explicit mask4(__m128 bits) : m(bits) {}
    explicit mask4(bool set) : m(set ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : _mm_setzero_ps()) {}

    friend mask4 operator&(mask4 a, mask4 b) { return mask4(_mm_and_ps(a.m, b.m)); }
    friend mask4 operator|(mask4 a, mask4 b) { return mask4(_mm_or_ps(a.m, b.m)); }
    // a without the lanes of b.
    friend mask4 andnot(mask4 a, mask4 b) { return mask4(_mm_andnot_ps(b.m, a.m)); }
};

// Bit k set when lane k is set.
inline int movemask(mask4 a) { return _mm_movemask_ps(a.m); }

struct float4 {
    __m128 v;

    float4() = default;
    explicit float4(__m128 value) : v(value) {}
    float4(float s) : v(_mm_set1_ps(s)) {}
    float4(float a, float b, float c, float d) : v(_mm_setr_ps(a, b, c, d)) {}

    static float4 load(const float* aligned) { return float4(_mm_load_ps(aligned)); }
    void store(float* aligned) const { _mm_store_ps(aligned, v); }

    friend float4 operator+(float4 a, float4 b) { return float4(_mm_add_ps(a.v, b.v)); }
    friend float4 operator-(float4 a, float4 b) { return float4(_mm_sub_ps(a.v, b.v)); }
    friend float4 operator*(float4 a, float4 b) { return float4(_mm_mul_ps(a.v, b.v)); }
    friend float4 operator/(float4 a, float4 b) { return float4(_mm_div_ps(a.v, b.v)); }

    friend mask4 operator<(float4 a, float4 b) { return mask4(_mm_cmplt_ps(a.v, b.v)); }
    friend mask4 operator<=(float4 a, float4 b) { return mask4(_mm_cmple_ps(a.v, b.v)); }
    friend mask4 operator>(float4 a, float4 b) { return mask4(_mm_cmpgt_ps(a.v, b.v)); }
    friend mask4 operator>=(float4 a, float4 b) { return mask4(_mm_cmpge_ps(a.v, b.v)); }
    friend mask4 operator==(float4 a, float4 b) { return mask4(_mm_cmpeq_ps(a.v, b.v)); }
};

// The smaller (larger) of t and bound; the bound in every lane where either
// is NaN.
inline float4 min_or_bound(float4 t, float4 bound) { return float4(_mm_min_ps(t.v, bound.v)); }
inline float4 max_or_bound(float4 t, float4 bound) { return float4(_mm_max_ps(t.v, bound.v)); }

// Sign bits of the four lanes, bit k for lane k (set for -0.0 too).
inline int sign_bits(float4 a) { return _mm_movemask_ps(a.v); }

// Correctly rounded, as std::sqrt.
inline float4 sqrt(float4 a) { return float4(_mm_sqrt_ps(a.v)); }

// a where the mask is set, b elsewhere.
inline float4 select(mask4 m, float4 a, float4 b)
{
    return float4(_mm_or_ps(_mm_and_ps(m.m, a.v), _mm_andnot_ps(m.m, b.v)));
}

#else

struct mask4 {
    uint32_t lane[4];

    mask4() = default;
    explicit mask4(bool set)
    {
        for (int k = 0; k < 4; ++k)
            lane[k] = set ? 0xFFFFFFFFu : 0u;
    }

    friend mask4 operator&(mask4 a, mask4 b) { return combine(a, b, [](uint32_t x, uint32_t y) { return x & y; }); }
    friend mask4 operator|(mask4 a, mask4 b) { return combine(a, b, [](uint32_t x, uint32_t y) { return x | y; }); }
    friend mask4 andnot(mask4 a, mask4 b) { return combine(a, b, [](uint32_t x, uint32_t y) { return x & ~y; }); }

private:
    template <class F>
    static mask4 combine(mask4 a, mask4 b, F f)
    {
        mask4 r;
        for (int k = 0; k < 4; ++k)
            r.lane[k] = f(a.lane[k], b.lane[k]);
        return r;
    }
};

inline int movemask(mask4 a)
{
    int bits = 0;
    for (int k = 0; k < 4; ++k)
        bits |= static_cast<int>(a.lane[k] >> 31) << k;
    return bits;
}

struct float4 {
    float lane[4];

    float4() = default;
    float4(float s) : lane{s, s, s, s} {}
    float4(float a, float b, float c, float d) : lane{a, b, c, d} {}

    static float4 load(const float* p) { return float4(p[0], p[1], p[2], p[3]); }
    void store(float* p) const
    {
        for (int k = 0; k < 4; ++k)
            p[k] = lane[k];
    }

#define KORU_SIMD_ARITH(op)                                                                                    \
    friend float4 operator op(float4 a, float4 b)                                                              \
    {                                                                                                          \
        return float4(a.lane[0] op b.lane[0], a.lane[1] op b.lane[1], a.lane[2] op b.lane[2], a.lane[3] op b.lane[3]); \
    }
    KORU_SIMD_ARITH(+)
    KORU_SIMD_ARITH(-)
    KORU_SIMD_ARITH(*)
    KORU_SIMD_ARITH(/)
#undef KORU_SIMD_ARITH

#define KORU_SIMD_COMPARE(op)                                                                                  \
    friend mask4 operator op(float4 a, float4 b)                                                               \
    {                                                                                                          \
        mask4 r;                                                                                               \
        for (int k = 0; k < 4; ++k)                                                                            \
            r.lane[k] = (a.lane[k] op b.lane[k]) ? 0xFFFFFFFFu : 0u;                                           \
        return r;                                                                                              \
    }
    KORU_SIMD_COMPARE(<)
    KORU_SIMD_COMPARE(<=)
    KORU_SIMD_COMPARE(>)
    KORU_SIMD_COMPARE(>=)
    KORU_SIMD_COMPARE(==)
#undef KORU_SIMD_COMPARE
};

inline float4 min_or_bound(float4 t, float4 bound)
{
    float4 r;
    for (int k = 0; k < 4; ++k)
        r.lane[k] = t.lane[k] < bound.lane[k] ? t.lane[k] : bound.lane[k];
    return r;
}

inline float4 max_or_bound(float4 t, float4 bound)
{
    float4 r;
    for (int k = 0; k < 4; ++k)
        r.lane[k] = t.lane[k] > bound.lane[k] ? t.lane[k] : bound.lane[k];
    return r;
}

inline float4 sqrt(float4 a)
{
    return float4(std::sqrt(a.lane[0]), std::sqrt(a.lane[1]), std::sqrt(a.lane[2]), std::sqrt(a.lane[3]));
}

inline int sign_bits(float4 a)
{
    int bits = 0;
    for (int k = 0; k < 4; ++k) {
        uint32_t word;
        std::memcpy(&word, &a.lane[k], sizeof word);
        bits |= static_cast<int>(word >> 31) << k;
    }
    return bits;
}

inline float4 select(mask4 m, float4 a, float4 b)
{
    float4 r;
    for (int k = 0; k < 4; ++k)
        r.lane[k] = m.lane[k] ? a.lane[k] : b.lane[k];
    return r;
}

#endif

inline bool any(mask4 a) { return movemask(a) != 0; }
inline bool all(mask4 a) { return movemask(a) == 0xF; }
inline bool none(mask4 a) { return movemask(a) == 0; }

} // namespace simd
} // namespace koru
