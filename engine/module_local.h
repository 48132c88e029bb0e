// State that each deliverable (the library, the demo, a test program) keeps
// for itself: the error log stream and the image serial counter. Every
// deliverable compiles store/module_local.cpp once; the symbols are hidden so that
// the library's copy never resolves to the program's.
#pragma once

#include <fstream>

#define KORU_MODULE_LOCAL __attribute__((visibility("hidden")))

namespace koru {

// "Err.txt" in the working directory, opened (truncated) at load.
KORU_MODULE_LOCAL std::ofstream& error_log();

// Next image serial number of this deliverable.
KORU_MODULE_LOCAL unsigned next_image_serial();

} // namespace koru
