// The log send thread.
#pragma once

namespace zeplog::detail {

// Starts the send thread once per process; false when it runs already or cannot start.
// Callers hold global_resource_lock, which makes the test-and-set of its flag safe.
bool createLogSendThread();

}  // namespace zeplog::detail
