// Numbering items by kind with one open-addressing table: the vertex join
// and the grouping of corners by position share it.
#pragma once

#include <cstdint>
#include <vector>

namespace koru {
namespace io {

// Gives each of the n items the number of its kind, into number[0, n):
// items that same(x, y) calls equal share a number, and kinds are numbered
// in the order in which they first appear. hash(i) must agree for equal
// items. Returns the number of kinds.
template <class Hash, class Same>
unsigned number_kinds(unsigned n, const Hash& hash, const Same& same, std::vector<uint32_t>& number)
{
    std::size_t slots = 16;
    while (slots < 2 * static_cast<std::size_t>(n))
        slots *= 2;
    constexpr uint32_t empty = UINT32_MAX;
    std::vector<uint32_t> first(slots, empty);
    number.resize(n);
    unsigned kinds = 0;
    for (unsigned i = 0; i < n; ++i) {
        std::size_t s = hash(i) & (slots - 1);
        while (first[s] != empty && !same(first[s], i))
            s = (s + 1) & (slots - 1);
        if (first[s] == empty) {
            first[s] = i;
            number[i] = kinds++;
        } else {
            number[i] = number[first[s]];
        }
    }
    return kinds;
}

} // namespace io
} // namespace koru
