// The log send thread.
#pragma once

#include <chrono>

namespace zeplog::detail {

// Starts the send thread once per process; false when it runs already or cannot start.
// Callers hold global_resource_lock, which makes the test-and-set of its flag safe.
bool createLogSendThread();

// The pause before each cycle, during which events gather into one request per project:
// one second. Tests and benchmarks shorten it; the public API does not offer it.
void setSendCycleSleep(std::chrono::milliseconds pause);

}  // namespace zeplog::detail
