// The library's network timeouts and its threads' pauses, in one place. (The crash handler's
// own bounds and the HTTP client's short body grace are constants beside their code.)
#pragma once

#include <atomic>
#include <chrono>

namespace zeplog::detail {

// How long the library waits for the network and how long its threads pause. The values
// are the library's behaviour; the public API does not offer them. Tests and benchmarks
// shorten them (a test never waits out a real timeout), before the wait they shorten
// starts: each wait reads its value when it begins. Safe to change from any thread.
struct Waits {
  using ms = std::chrono::milliseconds;
  // A whole request to the collector (send thread), to the settings service, of a latency
  // probe, and of a crash upload (also bounded by the crash hand-off).
  std::atomic<ms> collectorRequest{ms(10'000)};
  std::atomic<ms> settingsRequest{ms(10'000)};
  std::atomic<ms> probeRequest{ms(60'000)};
  std::atomic<ms> crashRequest{ms(10'000)};
  // How long the crash upload waits for global_resource_lock before it reads without it.
  std::atomic<ms> crashLockWait{ms(1'000)};
  // The send thread's pause before each cycle, during which events gather into one request
  // per project; a flush cuts it short.
  std::atomic<ms> sendCycleSleep{ms(1'000)};
  // applicationWillTerminate: how long it waits for the queue to go, and then for the
  // requests it cancels to end.
  std::atomic<ms> exitFlush{ms(2'000)};
  std::atomic<ms> exitCancel{ms(1'000)};
  // Durable delivery's unit of backoff: the first retry waits up to one unit, the cap and a
  // "Retry-After" of n seconds are counted in units.
  std::atomic<ms> retryUnit{ms(1'000)};
};

// The process's waits; created on first use and never destroyed.
Waits& waits();

}  // namespace zeplog::detail
