// The device layer of a build without a CUDA toolkit: it behaves as the
// layer does on a machine without a device. nyxInit reports that there is no
// device; an operation that would reach the device fails as the runtime's
// calls fail there; what needs no device (limits, codes, texts) works.
#include <cstdio>

#include "../engine/engines.h"
#include "rtlib.h"
#include "rtlib_common.h"

// What a runtime call answers on a machine without a device.
#define NYX_NO_DEVICE()                                                                                      \
    ::koru::gpu::cuda_failure(::koru::gpu::file_name(__FILE__), __LINE__, nullptr,                            \
                              "no CUDA-capable device is detected")

namespace {

nyxDeviceScene state; // stays zero: nothing is ever allocated

} // namespace

namespace koru {

bool GpuDeviceAvailable()
{
    static bool reason_printed = false;
    if (!reason_printed)
        std::fprintf(stderr, "koru: no usable CUDA device: this build of koru has no CUDA toolkit\n");
    reason_printed = true;
    return false;
}

} // namespace koru

const nyxDeviceScene& nyxGetDeviceScene() { return state; }

float nyxGetLastLaunchMilliseconds() { return 0.0f; }

void nyxGetTextureLimit(int* width, int* height)
{
    *width = 0;
    *height = 0;
}

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
    NYX_NO_DEVICE();
}

int nyxSetVertices(const TAU_GRAPHICS::VERTEX<4, float>*, int count)
{
    if (count < 0)
        return nyxBadSize;
    NYX_NO_DEVICE();
}

int nyxSetIndices(const unsigned*, int count)
{
    if (count < 0)
        return nyxBadSize;
    NYX_NO_DEVICE();
}

int nyxSetMaterials(const TAU_GRAPHICS::MATERIAL<3>*, int count)
{
    if (koru::gpu::refuse_materials(count))
        return -1;
    NYX_NO_DEVICE();
}

int nyxSetPointLights(const TAU_GRAPHICS::Point_Light<4, float>*, int count)
{
    if (koru::gpu::refuse_point_lights(count))
        return -1;
    NYX_NO_DEVICE();
}

int nyxAddTexture(int, int, const void*) { NYX_NO_DEVICE(); }
int nyxSetTransform(const TAU_MATH::MATRIX<4, 4, float>*) { NYX_NO_DEVICE(); }
int nyxSetFieldOfView(float) { NYX_NO_DEVICE(); }
int nyxSetAmbientLight(float) { NYX_NO_DEVICE(); }
int nyxSetKdTree(const RAYTR::KdTreeBox*, const RAYTR::KdTreeNode*, unsigned, const void*, unsigned)
{
    NYX_NO_DEVICE();
}
// The layer is never initialised here, so frames are refused.
int nyxRender(unsigned, bool) { return nyxNoMemory; }
int nyxReadPixels(unsigned*) { return nyxNoMemory; }
int nyxProbeTexture(int, int, const void*, const float*, unsigned, float*) { return nyxNoMemory; }

// The buffers cannot be had, which this operation reports by its code.
int nyxTraverseRays(const TAU_MATH::RAY<3, float>*, RAYTR::Hit*, unsigned gridWidth, unsigned gridHeight,
                    unsigned count)
{
    const int refused = koru::gpu::ray_request_code(gridWidth, gridHeight, count);
    return refused != nyxNoError ? refused : nyxNoMemory;
}
