// A stable radix sort of 64-bit entries by their high 32 bits, for the
// builder's sorts of primitive bounds, and the float keys they sort on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace RAYTR {
namespace build {

// Maps a float to an integer of the same order; -0 and +0 become equal, as
// they compare. A NaN maps beyond the infinities: the integers stay totally
// ordered, but the floats' comparisons give NaN no place.
inline uint32_t ordered_bits(float x)
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits == 0x80000000u)
        bits = 0;
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Sorts entries[0, n) by their high 32 bits, least significant digit first,
// 11 bits a pass; entries with equal high bits keep their order, so entries
// whose low bits ascend come out as std::sort puts them. scratch holds n
// entries. Digits that every entry shares take no pass.
inline void radix_sort_high_words(uint64_t* entries, uint64_t* scratch, uint32_t n)
{
    constexpr int digit_bits = 11;
    constexpr int n_digits = 3;
    constexpr uint32_t n_buckets = 1u << digit_bits;
    constexpr uint32_t digit_mask = n_buckets - 1;
    uint32_t count[n_digits][n_buckets];
    std::memset(count, 0, sizeof count);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t key = static_cast<uint32_t>(entries[i] >> 32);
        for (int d = 0; d < n_digits; ++d)
            ++count[d][(key >> (digit_bits * d)) & digit_mask];
    }
    uint64_t* from = entries;
    uint64_t* to = scratch;
    for (int d = 0; d < n_digits; ++d) {
        uint32_t* start = count[d];
        if (std::find(start, start + n_buckets, n) != start + n_buckets)
            continue;
        uint32_t sum = 0;
        for (uint32_t b = 0; b < n_buckets; ++b) {
            const uint32_t c = start[b];
            start[b] = sum;
            sum += c;
        }
        const int shift = 32 + digit_bits * d;
        for (uint32_t i = 0; i < n; ++i)
            to[start[(from[i] >> shift) & digit_mask]++] = from[i];
        std::swap(from, to);
    }
    if (from != entries)
        std::memcpy(entries, from, static_cast<std::size_t>(n) * sizeof(uint64_t));
}

} // namespace build
} // namespace RAYTR
