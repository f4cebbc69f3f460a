#include "delivery/flush_signal.hpp"

#include <algorithm>
#include <new>

#include "common/caller_limits.hpp"
#include "common/fork_locks.hpp"

namespace zeplog::detail {

bool FlushSignal::anyWaiting() const {
  return std::any_of(waiters_.begin(), waiters_.end(), [](const Waiter* w) { return !w->done; });
}

void FlushSignal::pause(std::chrono::milliseconds pause, const std::function<bool()>& backlog,
                        bool flushesCut) {
  std::unique_lock<std::mutex> l(mu_);
  wake_.wait_for(l, pause, [&] { return (flushesCut && anyWaiting()) || backlog(); });
}

void FlushSignal::wake() {
  // Taken, so the wake cannot fall between the pause's test and its wait.
  std::lock_guard<std::mutex> g(mu_);
  wake_.notify_all();
}

bool FlushSignal::flushWaiting() {
  std::lock_guard<std::mutex> g(mu_);
  return anyWaiting();
}

void FlushSignal::answerIfEmpty(const std::function<bool()>& queueEmpty) {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!anyWaiting() || !queueEmpty()) return;
    for (Waiter* w : waiters_) w->done = true;
  }
  done_.notify_all();
}

std::uint64_t FlushSignal::beginCycle() {
  std::lock_guard<std::mutex> g(mu_);
  inCycle_ = true;
  return lastTicket_;
}

void FlushSignal::endCycle(std::uint64_t ticket, bool tookAll, bool delivered) {
  {
    std::lock_guard<std::mutex> g(mu_);
    inCycle_ = false;
    for (Waiter* w : waiters_) {
      if (!delivered) w->failed = true;
      if (tookAll && w->ticket <= ticket) w->done = true;
    }
  }
  done_.notify_all();
}

bool FlushSignal::flush(std::chrono::milliseconds timeout,
                        const std::function<bool()>& nothingQueued) {
  Waiter me;
  std::unique_lock<std::mutex> l(mu_);
  if (!inCycle_ && nothingQueued()) return true;
  me.ticket = ++lastTicket_;
  waiters_.push_back(&me);
  wake_.notify_one();
  done_.wait_until(
      l, deadlineAfter<std::chrono::steady_clock>(std::chrono::steady_clock::now(), timeout),
      [&] { return me.done; });
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &me));
  return me.done && !me.failed;
}

bool FlushSignal::idleAndEmpty(const std::function<bool()>& nothingQueued) {
  std::lock_guard<std::mutex> g(mu_);
  return !inCycle_ && nothingQueued();
}

bool FlushSignal::waitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> l(mu_);
  return done_.wait_until(
      l, deadlineAfter<std::chrono::steady_clock>(std::chrono::steady_clock::now(), timeout),
      [this] { return !inCycle_; });
}

void FlushSignal::renewInChild(void* self) {
  auto* signal = static_cast<FlushSignal*>(self);
  new (&signal->wake_) std::condition_variable;
  new (&signal->done_) std::condition_variable;
  new (&signal->waiters_) std::vector<Waiter*>;
  signal->inCycle_ = false;
}

FlushSignal& flushSignal() {
  static auto* signal = new FlushSignal;  // never destroyed
  return *signal;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_flushSignalMadeAtLoad = (static_cast<void>(flushSignal()), true);

}  // namespace zeplog::detail
