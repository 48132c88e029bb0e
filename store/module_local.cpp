// Each program's own error log and image counter (engine/module_local.h).
#include "../engine/module_local.h"

namespace koru {

namespace {
// Opened when the module loads so that "Err.txt" exists, empty, from the start.
std::ofstream g_error_log("Err.txt", std::ios::out | std::ios::trunc);
unsigned g_image_serial = 0;
} // namespace

std::ofstream& error_log() { return g_error_log; }

unsigned next_image_serial() { return ++g_image_serial; }

} // namespace koru
