// How a crash-path send is made: its deadline and how it takes global_resource_lock.
//
// SendContext carries one send's bound: at crash time the hand-off's, otherwise the crash
// request timeout. CrashPathLock takes global_resource_lock for the crash path and, at crash
// time, gives up on it after a bounded wait rather than hang the upload.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "common/global_lock.hpp"
#include "common/waits.hpp"
#include "crash/crash_handler.hpp"

namespace zeplog::detail {

// Kept free at the end of the hand-off's bound for the handler's own re-raise.
inline constexpr std::int64_t kHandOffMarginNs = 300'000'000;

// How one send is made: at crash time it is bounded by the hand-off and may not wait for
// global_resource_lock for ever.
struct SendContext {
  bool crashTime = false;
  std::int64_t deadlineNs = 0;  // monotonic
  bool lockless = false;        // set once the lock could not be had at crash time

  static SendContext ordinary() {
    return {false, monotonicNs() + std::chrono::nanoseconds(waits().crashRequest.load()).count(),
            false};
  }
  static SendContext atCrash() {
    return {true, crashHandOff().crashMonotonicNs.load() + kCrashHandOffBoundNs - kHandOffMarginNs,
            crashHandOff().crashedThreadHeldGlobalLock.load()};
  }
  // What is left for a request: at most the request timeout, at most the time to the
  // deadline.
  std::chrono::milliseconds requestTimeout() const {
    const std::int64_t leftMs = (deadlineNs - monotonicNs()) / 1'000'000;
    return std::min(waits().crashRequest.load(),
                    std::chrono::milliseconds(std::max<std::int64_t>(leftMs, 0)));
  }
};

// global_resource_lock for the crash path. At crash time the holder may be the crashed
// thread itself, frozen in its handler, or a thread that keeps it too long: after a bounded
// wait the upload goes on without the lock. No other thread can then be changing what the
// lock guards in the first case; in the second the process is about to end either way, and
// a report that reaches the collector is worth more than a hang.
class CrashPathLock {
 public:
  explicit CrashPathLock(SendContext& context) {
    if (!context.crashTime) {
      global_resource_lock().lock();
      held_ = true;
    } else if (!context.lockless) {
      held_ = global_resource_lock().try_lock_for(waits().crashLockWait.load());
      context.lockless = !held_;
    }
  }
  ~CrashPathLock() {
    if (held_) global_resource_lock().unlock();
  }
  CrashPathLock(const CrashPathLock&) = delete;
  CrashPathLock& operator=(const CrashPathLock&) = delete;

 private:
  bool held_ = false;
};

}  // namespace zeplog::detail
