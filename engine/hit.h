// The record of a ray's nearest triangle hit, filled by the traversals and
// returned by the GPU ray queries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace RAYTR {

struct Hit {
    float pos[3];            // hit point
    float norm[3];           // barycentric blend of the vertex normals, not renormalised
    float tex_coord[2];      // barycentric blend of the vertex texture coordinates
    uint8_t tex_id;          // first tex_id byte of the triangle's first vertex
    uint8_t material_id;     // low byte of the first vertex's material_id
    uint8_t untextured;      // nonzero switches the texture lookup off
    uint8_t reserved;
    int32_t prim_id;         // -1 for triangle hits
};

static_assert(sizeof(Hit) == 40, "Hit is a 40-byte record");
static_assert(offsetof(Hit, tex_id) == 32 && offsetof(Hit, prim_id) == 36, "Hit field order");

} // namespace RAYTR
