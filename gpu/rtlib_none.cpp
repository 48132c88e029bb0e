// The device layer of a build without a CUDA toolkit: it behaves as the
// layer does on a machine without a device. nyxInit reports that there is no
// device; an operation that would reach the device fails as the runtime's
// calls fail there; what needs no device (limits, codes, texts) works.
#include <cstdio>
#include <cstdlib>

#include "../engine/engines.h"
#include "rtlib.h"
#include "rtlib_common.h"

namespace {

const char* const source_name = "rtlib_none.cpp";

nyxDeviceScene state; // stays zero: nothing is ever allocated

[[noreturn]] void no_device(int line)
{
    std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", source_name, line,
                 "no CUDA-capable device is detected");
    std::exit(1);
}

} // namespace

namespace koru {

bool GpuDeviceAvailable() { return false; }

} // namespace koru

const nyxDeviceScene& nyxGetDeviceScene() { return state; }

float nyxGetLastLaunchMilliseconds() { return 0.0f; }

void nyxInit(int, int)
{
    std::fprintf(stderr, "There is no device.\n");
    std::exit(1);
}

// Nothing was allocated, so nothing is freed.
void nyxRelease() {}

int nyxSetSpheres(const TAU_MATH::SPHERE<4, float>*, int count)
{
    if (count < 0)
        return nyxBadSize;
    no_device(__LINE__);
}

int nyxSetVertices(const TAU_GRAPHICS::VERTEX<4, float>*, int count)
{
    if (count < 0)
        return nyxBadSize;
    no_device(__LINE__);
}

int nyxSetIndices(const unsigned*, int count)
{
    if (count < 0)
        return nyxBadSize;
    no_device(__LINE__);
}

int nyxSetMaterials(const TAU_GRAPHICS::MATERIAL<3>*, int count)
{
    if (koru::gpu::refuse_materials(count))
        return -1;
    no_device(__LINE__);
}

int nyxSetPointLights(const TAU_GRAPHICS::Point_Light<4, float>*, int count)
{
    if (koru::gpu::refuse_point_lights(count))
        return -1;
    no_device(__LINE__);
}

int nyxAddTexture(int, int, const void*) { no_device(__LINE__); }
int nyxSetTransform(const TAU_MATH::MATRIX<4, 4, float>*) { no_device(__LINE__); }
int nyxSetAmbientLight(float) { no_device(__LINE__); }
int nyxSetKdTree(const RAYTR::KdTreeBox*, const RAYTR::KdTreeNode*, unsigned, const void*, unsigned)
{
    no_device(__LINE__);
}
int nyxRender(unsigned, bool) { no_device(__LINE__); }
int nyxReadPixels(unsigned*) { no_device(__LINE__); }

// The buffers cannot be had, which this operation reports by its code.
int nyxTraverseRays(const TAU_MATH::RAY<3, float>*, RAYTR::Hit*, unsigned gridWidth, unsigned gridHeight,
                    unsigned count)
{
    const int refused = koru::gpu::ray_request_code(gridWidth, gridHeight, count);
    return refused != nyxNoError ? refused : nyxNoMemory;
}
