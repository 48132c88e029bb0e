// Four rays as a structure of arrays: origin x, y, z, then direction x, y, z,
// four lanes each. For the 2x2 block with lower-left pixel (x, y) the lanes
// are (x, y), (x+1, y), (x, y+1), (x+1, y+1).
#pragma once

#include "../engine/tau_math.h"

struct alignas(16) Ray_Packet {
    float origin[3][4];
    float direction[3][4];
};

static_assert(sizeof(Ray_Packet) == 96, "six arrays of four floats");

// Eight rays, the same way: lanes 0 to 3 are the 2x2 block with lower-left
// pixel (x, y), lanes 4 to 7 the block at (x + 2, y).
struct alignas(32) Wide_Ray_Packet {
    float origin[3][8];
    float direction[3][8];
};

namespace koru {
namespace cpu {

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
