// The ranges every duration and size from a caller is brought into before the library uses
// it, so that no deadline, product or sum computed from it can overflow.
//
//   wait (flush timeouts)          [0, kLongestWait]        negative is 0; above is "forever"
//   backoff cap (maxBackoff)       [1 s, kLongestBackoff]
//   age bound (maxAge)             [1 s, kLongestAge]
//   byte bound (maxBytes, queue)   [1, kLargestByteBound]
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zeplog::detail {

inline constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(24 * 365);
inline constexpr std::chrono::seconds kLongestBackoff = std::chrono::hours(24);
inline constexpr std::chrono::seconds kLongestAge = std::chrono::hours(24 * 365 * 10);
inline constexpr std::uint64_t kLargestByteBound = std::uint64_t{1} << 40;  // 1 TiB

template <typename Rep, typename Period>
constexpr std::chrono::duration<Rep, Period> clampedTo(std::chrono::duration<Rep, Period> value,
                                                       std::chrono::duration<Rep, Period> lowest,
                                                       std::chrono::duration<Rep, Period> highest) {
  return std::clamp(value, lowest, highest);
}

constexpr std::chrono::milliseconds clampedWait(std::chrono::milliseconds wait) {
  return clampedTo(wait, std::chrono::milliseconds(0), kLongestWait);
}

// `now + wait` on a clock, or the clock's last time point where that would overflow.
template <typename Clock>
typename Clock::time_point deadlineAfter(typename Clock::time_point now,
                                         std::chrono::milliseconds wait) {
  using D = typename Clock::duration;
  if (wait <= std::chrono::milliseconds(0)) return now;
  const D room = Clock::time_point::max() - now;
  if (std::chrono::duration_cast<std::chrono::milliseconds>(room) <= wait)
    return Clock::time_point::max();
  return now + std::chrono::duration_cast<D>(wait);
}

}  // namespace zeplog::detail
