// What log calls may be left out before they make an event: the sample rate of each level
// and the rate limit of each handle. The rules are pure functions of their inputs (random
// bits, clock readings), so tests pass them in instead of waiting on a clock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

namespace zeplog::detail {

// ---- Sampling ----------------------------------------------------------------------------

// A sample rate as a threshold on 32 random bits: a call is kept when its bits are below it.
// 1 keeps every call (2^32), 0 none; in between, the share kept is within 2^-32 of the rate.
inline constexpr std::uint64_t kKeepAll = std::uint64_t{1} << 32;
constexpr std::uint64_t sampleThreshold(double rate) {
  if (!(rate > 0)) return 0;  // 0, negative (NaN is refused before it gets here)
  if (rate >= 1) return kKeepAll;
  return static_cast<std::uint64_t>(rate * static_cast<double>(kKeepAll));
}
constexpr bool keptBySample(std::uint64_t randomBits, std::uint64_t threshold) {
  return (randomBits >> 32) < threshold;
}

// splitmix64: one 64-bit step of a counter-based generator whose outputs are uniform
// enough for sampling and cost a few multiplications. `state` advances by a constant.
constexpr std::uint64_t nextRandom(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// ---- Rate limit --------------------------------------------------------------------------

// A token bucket of `burst` tokens refilled at one token per `intervalNs`, kept as a single
// number: the time at which the bucket will be full again (`fullAt`, on the caller's steady
// clock in nanoseconds). Admitting an event takes one token, i.e. moves that time one
// interval later; an event is refused when the bucket would then need more than `burst`
// intervals to be full, i.e. when it holds no whole token. One number makes the bucket a
// single atomic word that log calls update with compare-and-swap.
struct TokenBucketRule {
  std::int64_t intervalNs = 0;   // 1e9 / events per second; 0 is no limit
  std::int64_t toleranceNs = 0;  // burst * intervalNs

  // The bucket's new full time after admitting one event at `now`; none when it is refused.
  constexpr std::optional<std::int64_t> admit(std::int64_t fullAt, std::int64_t now) const {
    const std::int64_t next = std::max(fullAt, now) + intervalNs;
    if (next - now > toleranceNs) return std::nullopt;
    return next;
  }
};

// The bounds of a rate limit as a caller gives them: events per second within
// [kMinRatePerSecond, kMaxRatePerSecond] (more turns the limit off), burst within [1, kMaxBurst].
inline constexpr double kMinRatePerSecond = 0.001;
inline constexpr double kMaxRatePerSecond = 1e9;
inline constexpr std::uint32_t kMaxBurst = 1'000'000;
// The rule for a rate and burst, clamped into those bounds; a rate above kMaxRatePerSecond
// (infinity included) is no limit. The product stays below 2^63: 1e12 ns * 1e6.
constexpr TokenBucketRule tokenBucketRule(double perSecond, std::uint32_t burst) {
  if (perSecond > kMaxRatePerSecond) return {};
  const double rate = std::max(perSecond, kMinRatePerSecond);
  const std::int64_t interval = std::max<std::int64_t>(1, static_cast<std::int64_t>(1e9 / rate));
  const std::int64_t b = std::clamp<std::uint32_t>(burst, 1, kMaxBurst);
  return {interval, interval * b};
}

// Admits one event into the bucket `fullAt` at `now` under `rule`: lock-free, one
// compare-and-swap when uncontended (a failed one only means another call took a token first).
inline bool admitOne(std::atomic<std::int64_t>& fullAt, const TokenBucketRule& rule,
                     std::int64_t now) {
  std::int64_t current = fullAt.load(std::memory_order_relaxed);
  for (;;) {
    const std::optional<std::int64_t> next = rule.admit(current, now);
    if (!next) return false;
    if (fullAt.compare_exchange_weak(current, *next, std::memory_order_relaxed)) return true;
  }
}

}  // namespace zeplog::detail
