#include "crash/crash_capture.hpp"

namespace zeplog::detail {

// Native crash capture is not built yet: nothing is installed.
void enableSendCrashReport() {}

}  // namespace zeplog::detail
