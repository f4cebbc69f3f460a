// The log send thread.
#pragma once

#include <chrono>
#include <thread>
#include <vector>

namespace zeplog::detail {

// Starts the send thread once per process; false when it runs already or cannot start.
// Callers hold global_resource_lock, which makes the test-and-set of its flag safe.
bool createLogSendThread();

// The send thread's std::thread (at most one), kept for the process and never joined.
// Guarded by global_resource_lock.
std::vector<std::thread>& gs_logSendThreads();

// Has the send thread send what is queued now at once, and waits up to `timeout` until that
// has ended. True when everything queued at the call was delivered (answered 200) and
// nothing waits in the failed-send queue; false when a send failed, an event was lost, the
// bound passed first, a background save took events to a file meanwhile, or events wait in
// the failed-send queue for a later run. At once:
// true before the first initialisation and whenever nothing is queued; with no send thread
// running or about to be started by the settings thread, and on the send thread itself
// (which cannot wait for its own cycle), true only when nothing is queued and no cycle is
// under way. Never holds global_resource_lock while it
// waits.
bool flushQueued(std::chrono::milliseconds timeout);

// For a process about to end: flushQueued(flushBound); if that fails, cancels the requests
// still running and waits up to cancelBound for their cycle to end, so their events are back
// in the failed-send queue. Returns flushQueued's answer.
bool flushBeforeExit(std::chrono::milliseconds flushBound, std::chrono::milliseconds cancelBound);

}  // namespace zeplog::detail
