// The remote-settings thread and the latency-probe thread.
#pragma once

namespace zeplog::detail {

// Starts the settings thread and the probe thread once per process; false when they run
// already or cannot start.
bool createPerformanceThread();

}  // namespace zeplog::detail
