// N rays as a structure of arrays: origin x, y, z, then direction x, y, z,
// N lanes each. For the 2x2 block with lower-left pixel (x, y) the lanes are
// (x, y), (x+1, y), (x, y+1), (x+1, y+1); a packet of eight holds the blocks
// at (x, y) and (x + 2, y) in that order, one of sixteen those and the two
// blocks at (x, y + 2) and (x + 2, y + 2).
#pragma once

#include "../engine/tau_math.h"

namespace koru {
namespace cpu {

template <int N>
struct alignas(4 * N) Ray_Packet_Of {
    static constexpr int size = N;
    float origin[3][N];
    float direction[3][N];
};

using Ray_Packet = Ray_Packet_Of<4>;

static_assert(sizeof(Ray_Packet) == 96, "six arrays of four floats");

// Lane k as a single ray (fourth components 1; nothing reads them).
template <class Packet>
inline TAU_MATH::RAY<4, float> lane_ray(const Packet& packet, int k)
{
    TAU_MATH::RAY<4, float> ray;
    ray.pos = TAU_MATH::VECTOR<4, float>(packet.origin[0][k], packet.origin[1][k], packet.origin[2][k], 1.0f);
    ray.dir = TAU_MATH::VECTOR<4, float>(packet.direction[0][k], packet.direction[1][k], packet.direction[2][k], 1.0f);
    return ray;
}

template <class Packet>
inline void set_lane(Packet& packet, int k, const TAU_MATH::RAY<4, float>& ray)
{
    for (int a = 0; a < 3; ++a) {
        packet.origin[a][k] = ray.pos[a];
        packet.direction[a][k] = ray.dir[a];
    }
}

} // namespace cpu
} // namespace koru
