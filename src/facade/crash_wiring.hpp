// Crash capture as the facade arms it.
#pragma once

namespace zeplog::detail {

// Gives the crash upload its transport and arms crash capture. Not under
// global_resource_lock.
void armCrashCapture();

}  // namespace zeplog::detail
