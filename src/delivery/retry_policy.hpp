// When to ask a failing collector again: exponential backoff with full jitter, and the
// server's own "Retry-After".
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>

namespace zeplog::detail {

// The delay a "Retry-After" value asks for: delta-seconds ("120") or an HTTP date, taken
// against `now`. None for anything else (a malformed value is ignored, not obeyed as 0). A
// date in the past asks for no delay.
std::optional<std::chrono::seconds> retryAfterDelay(std::string_view value, std::time_t now);

// The backoff of one sender. After the k-th failure in a row the next attempt waits a
// random time in [0, min(cap, unit * 2^(k-1))] (full jitter: senders that failed together do
// not come back together); a Retry-After of s seconds raises that to min(s * unit, cap). A
// success forgets the failures. `unit` is one second in the library; tests shorten it, which
// scales the cap and Retry-After alike.
class RetryPolicy {
 public:
  RetryPolicy(std::chrono::milliseconds unit, std::chrono::seconds cap) : unit_(unit), cap_(cap) {}

  // A failed attempt; `random` is any uniformly drawn number. Returns the delay before the
  // next attempt.
  std::chrono::milliseconds failed(std::optional<std::chrono::seconds> retryAfter,
                                   std::uint64_t random);
  void succeeded() { failures_ = 0; }
  std::uint32_t failures() const { return failures_; }

 private:
  std::chrono::milliseconds unit_;
  std::chrono::seconds cap_;
  std::uint32_t failures_ = 0;  // in a row
};

}  // namespace zeplog::detail
