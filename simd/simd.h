// Four-wide single-precision values and lane masks: the host's second lane
// type of the shared intersection code (rt/intersect.h), used by the packet
// walk and the kd-tree build; device code never includes it. SSE when the
// compiler offers it, plain arrays otherwise; both behave alike, NaN handling
// of min and max included, and every lane gives the scalar lane's answer
// (simd/lanes.h). On x86 with GCC or Clang, eight-wide (AVX2) and sixteen-wide
// (AVX-512) types follow, for code chosen at run time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KORU_SIMD_SSE 1
#include <immintrin.h>
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
    // Lane k set where bit k of bits is: movemask's inverse.
    static mask4 from_bits(unsigned bits)
    {
        const __m128i lane_bit = _mm_setr_epi32(1, 2, 4, 8);
        const __m128i set = _mm_and_si128(_mm_set1_epi32(static_cast<int>(bits)), lane_bit);
        return mask4(_mm_castsi128_ps(_mm_cmpeq_epi32(set, lane_bit)));
    }

    friend mask4 operator&(mask4 a, mask4 b) { return mask4(_mm_and_ps(a.m, b.m)); }
    friend mask4 operator|(mask4 a, mask4 b) { return mask4(_mm_or_ps(a.m, b.m)); }
    // a without the lanes of b.
    friend mask4 andnot(mask4 a, mask4 b) { return mask4(_mm_andnot_ps(b.m, a.m)); }
};

// Bit k set when lane k is set.
inline int movemask(mask4 a) { return _mm_movemask_ps(a.m); }

struct float4 {
    static constexpr int size = 4;
    __m128 v;

    float4() = default;
    explicit float4(__m128 value) : v(value) {}
    float4(float s) : v(_mm_set1_ps(s)) {}
    float4(float a, float b, float c, float d) : v(_mm_setr_ps(a, b, c, d)) {}

    // Any address, as the wider lane types: a leaf's triangles start anywhere.
    static float4 load(const float* p) { return float4(_mm_loadu_ps(p)); }
    void store(float* p) const { _mm_storeu_ps(p, v); }
    // Lanes 4q to 4q + 3 from the four floats at p + q * stride.
    static float4 load_quads(const float* p, std::size_t) { return load(p); }
    // Byte `byte` (in memory order) of each of the four words, as a whole
    // number; the bytes of an RGBA texel.
    static float4 load_byte(const uint32_t* words, int byte)
    {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
        return float4(_mm_cvtepi32_ps(_mm_and_si128(_mm_srl_epi32(w, _mm_cvtsi32_si128(8 * byte)), _mm_set1_epi32(0xFF))));
    }

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

// Each lane's r, g and b (whole numbers from 0 to 255) truncated into bytes
// 0, 1 and 2 of its word, as r | g << 8 | b << 16.
inline void pack_bytes(float4 r, float4 g, float4 b, uint32_t* words)
{
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i rg = _mm_or_si128(_mm_and_si128(_mm_cvttps_epi32(r.v), low),
                                    _mm_slli_epi32(_mm_and_si128(_mm_cvttps_epi32(g.v), low), 8));
    const __m128i rgb = _mm_or_si128(rg, _mm_slli_epi32(_mm_and_si128(_mm_cvttps_epi32(b.v), low), 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words), rgb);
}

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
    static mask4 from_bits(unsigned bits)
    {
        mask4 r;
        for (int k = 0; k < 4; ++k)
            r.lane[k] = (bits >> k) & 1u ? 0xFFFFFFFFu : 0u;
        return r;
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
    static constexpr int size = 4;
    float lane[4];

    float4() = default;
    float4(float s) : lane{s, s, s, s} {}
    float4(float a, float b, float c, float d) : lane{a, b, c, d} {}

    static float4 load(const float* p) { return float4(p[0], p[1], p[2], p[3]); }
    static float4 load_quads(const float* p, std::size_t) { return load(p); }
    static float4 load_byte(const uint32_t* words, int byte)
    {
        float4 r;
        for (int k = 0; k < 4; ++k)
            r.lane[k] = static_cast<float>(reinterpret_cast<const unsigned char*>(words + k)[byte]);
        return r;
    }
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

inline void pack_bytes(float4 r, float4 g, float4 b, uint32_t* words)
{
    for (int k = 0; k < 4; ++k)
        words[k] = (static_cast<uint32_t>(r.lane[k]) & 0xFFu) | (static_cast<uint32_t>(g.lane[k]) & 0xFFu) << 8 |
                   (static_cast<uint32_t>(b.lane[k]) & 0xFFu) << 16;
}

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

inline mask4 both(mask4 a, mask4 b) { return a & b; }
inline mask4 either(mask4 a, mask4 b) { return a | b; }

inline bool any(mask4 a) { return movemask(a) != 0; }
inline bool all(mask4 a) { return movemask(a) == 0xF; }
inline bool none(mask4 a) { return movemask(a) == 0; }

#if KORU_SIMD_SSE && (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))

// Eight lanes with AVX2, for the wide packet walk. Every operation is
// compiled for AVX2 alone, so only functions compiled for it (marked
// KORU_WIDE_ENTRY, which inlines everything they call, and entered only
// after widest_lanes() answered 8 or more) may use these types; the rest of the
// program stays plain x86-64. Each lane answers as float4's lanes do.
#define KORU_SIMD_WIDE 1
#define KORU_WIDE_TARGET __attribute__((target("avx2")))
#define KORU_WIDE_ENTRY __attribute__((target("avx2"), flatten))

struct mask8 {
    __m256 m;

    mask8() = default;
    KORU_WIDE_TARGET explicit mask8(__m256 bits) : m(bits) {}
    KORU_WIDE_TARGET explicit mask8(bool set)
        : m(set ? _mm256_castsi256_ps(_mm256_set1_epi32(-1)) : _mm256_setzero_ps())
    {
    }
    KORU_WIDE_TARGET static mask8 from_bits(unsigned bits)
    {
        const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane_bit);
        return mask8(_mm256_castsi256_ps(_mm256_cmpeq_epi32(set, lane_bit)));
    }

    KORU_WIDE_TARGET friend mask8 operator&(mask8 a, mask8 b) { return mask8(_mm256_and_ps(a.m, b.m)); }
    KORU_WIDE_TARGET friend mask8 operator|(mask8 a, mask8 b) { return mask8(_mm256_or_ps(a.m, b.m)); }
    KORU_WIDE_TARGET friend mask8 andnot(mask8 a, mask8 b) { return mask8(_mm256_andnot_ps(b.m, a.m)); }
};

KORU_WIDE_TARGET inline int movemask(mask8 a) { return _mm256_movemask_ps(a.m); }

struct float8 {
    static constexpr int size = 8;
    __m256 v;

    float8() = default;
    KORU_WIDE_TARGET explicit float8(__m256 value) : v(value) {}
    KORU_WIDE_TARGET float8(float s) : v(_mm256_set1_ps(s)) {}

    // Any address: AddressSanitizer's stack frames do not keep every local
    // array at the 32 (64) bytes it asks for.
    KORU_WIDE_TARGET static float8 load(const float* p) { return float8(_mm256_loadu_ps(p)); }
    KORU_WIDE_TARGET void store(float* p) const { _mm256_storeu_ps(p, v); }
    KORU_WIDE_TARGET static float8 load_quads(const float* p, std::size_t stride)
    {
        return float8(_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + stride), 1));
    }
    KORU_WIDE_TARGET static float8 load_byte(const uint32_t* words, int byte)
    {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
        return float8(_mm256_cvtepi32_ps(
            _mm256_and_si256(_mm256_srl_epi32(w, _mm_cvtsi32_si128(8 * byte)), _mm256_set1_epi32(0xFF))));
    }

    KORU_WIDE_TARGET friend float8 operator+(float8 a, float8 b) { return float8(_mm256_add_ps(a.v, b.v)); }
    KORU_WIDE_TARGET friend float8 operator-(float8 a, float8 b) { return float8(_mm256_sub_ps(a.v, b.v)); }
    KORU_WIDE_TARGET friend float8 operator*(float8 a, float8 b) { return float8(_mm256_mul_ps(a.v, b.v)); }
    KORU_WIDE_TARGET friend float8 operator/(float8 a, float8 b) { return float8(_mm256_div_ps(a.v, b.v)); }

    KORU_WIDE_TARGET friend mask8 operator<(float8 a, float8 b) { return mask8(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)); }
    KORU_WIDE_TARGET friend mask8 operator<=(float8 a, float8 b) { return mask8(_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)); }
    KORU_WIDE_TARGET friend mask8 operator>(float8 a, float8 b) { return mask8(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)); }
    KORU_WIDE_TARGET friend mask8 operator>=(float8 a, float8 b) { return mask8(_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)); }
    KORU_WIDE_TARGET friend mask8 operator==(float8 a, float8 b) { return mask8(_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)); }
};

KORU_WIDE_TARGET inline void pack_bytes(float8 r, float8 g, float8 b, uint32_t* words)
{
    const __m256i low = _mm256_set1_epi32(0xFF);
    const __m256i rg = _mm256_or_si256(_mm256_and_si256(_mm256_cvttps_epi32(r.v), low),
                                       _mm256_slli_epi32(_mm256_and_si256(_mm256_cvttps_epi32(g.v), low), 8));
    const __m256i rgb = _mm256_or_si256(rg, _mm256_slli_epi32(_mm256_and_si256(_mm256_cvttps_epi32(b.v), low), 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), rgb);
}

KORU_WIDE_TARGET inline float8 min_or_bound(float8 t, float8 bound) { return float8(_mm256_min_ps(t.v, bound.v)); }
KORU_WIDE_TARGET inline float8 max_or_bound(float8 t, float8 bound) { return float8(_mm256_max_ps(t.v, bound.v)); }
KORU_WIDE_TARGET inline int sign_bits(float8 a) { return _mm256_movemask_ps(a.v); }
KORU_WIDE_TARGET inline float8 sqrt(float8 a) { return float8(_mm256_sqrt_ps(a.v)); }
KORU_WIDE_TARGET inline float8 select(mask8 m, float8 a, float8 b) { return float8(_mm256_blendv_ps(b.v, a.v, m.m)); }

KORU_WIDE_TARGET inline mask8 both(mask8 a, mask8 b) { return a & b; }
KORU_WIDE_TARGET inline mask8 either(mask8 a, mask8 b) { return a | b; }

KORU_WIDE_TARGET inline bool any(mask8 a) { return movemask(a) != 0; }
KORU_WIDE_TARGET inline bool all(mask8 a) { return movemask(a) == 0xFF; }
KORU_WIDE_TARGET inline bool none(mask8 a) { return movemask(a) == 0; }

// Sixteen lanes with AVX-512 (its foundation alone), the same way: only
// for functions marked KORU_WIDER_ENTRY, entered after
// widest_lanes() answered 16. A mask is a bit per lane.
#define KORU_WIDER_TARGET __attribute__((target("avx512f")))
#define KORU_WIDER_ENTRY __attribute__((target("avx512f"), flatten))

struct mask16 {
    __mmask16 m;

    mask16() = default;
    KORU_WIDER_TARGET explicit mask16(__mmask16 bits, int) : m(bits) {}
    KORU_WIDER_TARGET explicit mask16(bool set) : m(set ? 0xFFFF : 0) {}
    KORU_WIDER_TARGET static mask16 from_bits(unsigned bits) { return mask16(static_cast<__mmask16>(bits), 0); }

    KORU_WIDER_TARGET friend mask16 operator&(mask16 a, mask16 b) { return mask16(a.m & b.m, 0); }
    KORU_WIDER_TARGET friend mask16 operator|(mask16 a, mask16 b) { return mask16(a.m | b.m, 0); }
    KORU_WIDER_TARGET friend mask16 andnot(mask16 a, mask16 b)
    {
        return mask16(static_cast<__mmask16>(a.m & ~b.m), 0);
    }
};

KORU_WIDER_TARGET inline int movemask(mask16 a) { return a.m; }

struct float16 {
    static constexpr int size = 16;
    __m512 v;

    float16() = default;
    KORU_WIDER_TARGET explicit float16(__m512 value) : v(value) {}
    KORU_WIDER_TARGET float16(float s) : v(_mm512_set1_ps(s)) {}

    KORU_WIDER_TARGET static float16 load(const float* p) { return float16(_mm512_loadu_ps(p)); }
    KORU_WIDER_TARGET void store(float* p) const { _mm512_storeu_ps(p, v); }
    KORU_WIDER_TARGET static float16 load_quads(const float* p, std::size_t stride)
    {
        __m512 v = _mm512_castps128_ps512(_mm_loadu_ps(p));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(p + stride), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(p + 2 * stride), 2);
        return float16(_mm512_insertf32x4(v, _mm_loadu_ps(p + 3 * stride), 3));
    }
    KORU_WIDER_TARGET static float16 load_byte(const uint32_t* words, int byte)
    {
        const __m512i w = _mm512_loadu_si512(words);
        const __m512i shifted = _mm512_maskz_srl_epi32(0xFFFF, w, _mm_cvtsi32_si128(8 * byte));
        return float16(_mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_and_si512(shifted, _mm512_set1_epi32(0xFF))));
    }

    KORU_WIDER_TARGET friend float16 operator+(float16 a, float16 b) { return float16(_mm512_add_ps(a.v, b.v)); }
    KORU_WIDER_TARGET friend float16 operator-(float16 a, float16 b) { return float16(_mm512_sub_ps(a.v, b.v)); }
    KORU_WIDER_TARGET friend float16 operator*(float16 a, float16 b) { return float16(_mm512_mul_ps(a.v, b.v)); }
    KORU_WIDER_TARGET friend float16 operator/(float16 a, float16 b) { return float16(_mm512_div_ps(a.v, b.v)); }

    KORU_WIDER_TARGET friend mask16 operator<(float16 a, float16 b) { return mask16(_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ), 0); }
    KORU_WIDER_TARGET friend mask16 operator<=(float16 a, float16 b) { return mask16(_mm512_cmp_ps_mask(a.v, b.v, _CMP_LE_OQ), 0); }
    KORU_WIDER_TARGET friend mask16 operator>(float16 a, float16 b) { return mask16(_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ), 0); }
    KORU_WIDER_TARGET friend mask16 operator>=(float16 a, float16 b) { return mask16(_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ), 0); }
    KORU_WIDER_TARGET friend mask16 operator==(float16 a, float16 b) { return mask16(_mm512_cmp_ps_mask(a.v, b.v, _CMP_EQ_OQ), 0); }
};

KORU_WIDER_TARGET inline void pack_bytes(float16 r, float16 g, float16 b, uint32_t* words)
{
    const __m512i low = _mm512_set1_epi32(0xFF);
    const __m512i r8 = _mm512_and_si512(_mm512_maskz_cvttps_epi32(0xFFFF, r.v), low);
    const __m512i g8 = _mm512_and_si512(_mm512_maskz_cvttps_epi32(0xFFFF, g.v), low);
    const __m512i b8 = _mm512_and_si512(_mm512_maskz_cvttps_epi32(0xFFFF, b.v), low);
    const __m512i rg = _mm512_or_si512(r8, _mm512_maskz_slli_epi32(0xFFFF, g8, 8));
    _mm512_storeu_si512(words, _mm512_or_si512(rg, _mm512_maskz_slli_epi32(0xFFFF, b8, 16)));
}

// The zero-masking forms with every lane set: GCC 12 warns on the plain ones.
KORU_WIDER_TARGET inline float16 min_or_bound(float16 t, float16 bound)
{
    return float16(_mm512_maskz_min_ps(0xFFFF, t.v, bound.v));
}
KORU_WIDER_TARGET inline float16 max_or_bound(float16 t, float16 bound)
{
    return float16(_mm512_maskz_max_ps(0xFFFF, t.v, bound.v));
}
KORU_WIDER_TARGET inline int sign_bits(float16 a)
{
    return _mm512_cmplt_epi32_mask(_mm512_castps_si512(a.v), _mm512_setzero_si512());
}
KORU_WIDER_TARGET inline float16 sqrt(float16 a) { return float16(_mm512_maskz_sqrt_ps(0xFFFF, a.v)); }
KORU_WIDER_TARGET inline float16 select(mask16 m, float16 a, float16 b) { return float16(_mm512_mask_blend_ps(m.m, b.v, a.v)); }

KORU_WIDER_TARGET inline mask16 both(mask16 a, mask16 b) { return a & b; }
KORU_WIDER_TARGET inline mask16 either(mask16 a, mask16 b) { return a | b; }

KORU_WIDER_TARGET inline bool any(mask16 a) { return a.m != 0; }
KORU_WIDER_TARGET inline bool all(mask16 a) { return a.m == 0xFFFF; }
KORU_WIDER_TARGET inline bool none(mask16 a) { return a.m == 0; }

// The most lanes this processor runs: 16 with AVX-512F, 8 with AVX2, else 4.
inline int widest_lanes()
{
    static const int lanes = __builtin_cpu_supports("avx512f") ? 16 : __builtin_cpu_supports("avx2") ? 8 : 4;
    return lanes;
}

#else
#define KORU_SIMD_WIDE 0
inline int widest_lanes() { return 4; }
#endif

// The lane type of N lanes, as vfloat<N> names it.
template <int N>
struct vfloat_of;
template <>
struct vfloat_of<4> {
    using type = float4;
};
#if KORU_SIMD_WIDE
template <>
struct vfloat_of<8> {
    using type = float8;
};
template <>
struct vfloat_of<16> {
    using type = float16;
};
#endif
template <int N>
using vfloat = typename vfloat_of<N>::type;

} // namespace simd
} // namespace koru
