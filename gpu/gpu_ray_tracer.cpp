// GPU_Ray_Tracer without a device layer: every build answers that no CUDA
// device is usable until the device layer is compiled in.
#include "../engine/engines.h"
#include "../engine/tau_error.h"

namespace koru {

bool GpuDeviceAvailable() { return false; }

} // namespace koru

namespace {
[[noreturn]] void no_device() { throw TAU_ERROR::Error("GPU_Ray_Tracer: no usable CUDA device"); }
} // namespace

void GPU_Ray_Tracer::Init(int, int) { no_device(); }
void GPU_Ray_Tracer::Release() { Common_Graphics_Engine::Release(); }
void GPU_Ray_Tracer::BeginDrawScene(unsigned, bool) { no_device(); }
void GPU_Ray_Tracer::EndDrawScene() { no_device(); }
void GPU_Ray_Tracer::BuildKdTree() { no_device(); }
Ray_Tracer::RT_Core* GPU_Ray_Tracer::GetRTCore() { no_device(); }
void GPU_Ray_Tracer::RT_Core::TraverseRayGrid(const TAU_MATH::RAY<3, float>*, RAYTR::Hit*, unsigned, unsigned)
{
    no_device();
}
void GPU_Ray_Tracer::RT_Core::TraverseRays(const TAU_MATH::RAY<3, float>*, RAYTR::Hit*, unsigned) { no_device(); }
