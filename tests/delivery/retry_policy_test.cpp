// When a failing collector is asked again: the backoff's ceiling and jitter, and what a
// "Retry-After" value asks for.
#include "delivery/retry_policy.hpp"

#include <gtest/gtest.h>

namespace zeplog::detail {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(RetryAfter, ReadsSecondsAndHttpDates) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case {
    const char* value;
    std::optional<seconds> want;
  } cases[] = {
      {"2", seconds(2)},
      {" 120\r\n", seconds(120)},
      {"0", seconds(0)},
      {"Sun, 06 Nov 1994 08:49:47 GMT", seconds(10)},   // RFC 1123
      {"Sunday, 06-Nov-94 08:50:37 GMT", seconds(60)},  // RFC 850
      {"Sun Nov  6 08:49:40 1994", seconds(3)},         // asctime
      {"Sun, 06 Nov 1994 08:00:00 GMT", seconds(0)},    // in the past: no wait
      {"99999999999999999999", seconds(100'000'000)},   // too large to count: capped later
      {"", std::nullopt},
      {"-5", std::nullopt},
      {"5s", std::nullopt},
      {"soon", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(retryAfterDelay(c.value, now), c.want) << c.value;
}

TEST(RetryPolicy, CeilingDoublesToTheCapAndRetryAfterRaisesTheDelay) {
  // unit 10 ms, cap 8 units = 80 ms. `random` picks within [0, ceiling].
  struct Step {
    std::uint64_t random;
    std::optional<seconds> retryAfter;
    milliseconds want;
  } steps[] = {
      {7, std::nullopt, milliseconds(7)},                // 1st failure: ceiling 10
      {20, std::nullopt, milliseconds(20)},              // 2nd: ceiling 20
      {41, std::nullopt, milliseconds(0)},               // 3rd: ceiling 40, 41 % 41
      {80, std::nullopt, milliseconds(80)},              // 4th: ceiling 80, the cap
      {1000 * 81 + 80, std::nullopt, milliseconds(80)},  // stays at the cap
      {0, seconds(2), milliseconds(20)},                 // Retry-After: 2 units
      {79, seconds(2), milliseconds(79)},                // the jitter is larger
      {0, seconds(3600), milliseconds(80)},              // Retry-After is capped too
  };
  RetryPolicy policy(milliseconds(10), seconds(8));
  for (const Step& s : steps) EXPECT_EQ(policy.failed(s.retryAfter, s.random), s.want);
  EXPECT_EQ(policy.failures(), 8u);
  policy.succeeded();
  EXPECT_EQ(policy.failed(std::nullopt, 10), milliseconds(10));  // back to one unit
}

// A cap or Retry-After too large to hold in milliseconds leaves the doubling at its largest
// wait instead of wrapping to zero or below.
TEST(RetryPolicy, CapsTooLargeToCountDoNotOverflow) {
  RetryPolicy policy(milliseconds(1000), seconds::max());
  EXPECT_EQ(policy.failed(std::nullopt, 700), milliseconds(700));  // ceiling one unit
  for (int i = 0; i < 70; ++i) {
    const milliseconds delay = policy.failed(std::nullopt, 123'456'789);
    EXPECT_GE(delay, milliseconds(0));
    if (i > 20) {
      EXPECT_EQ(delay, milliseconds(123'456'789));  // far below every ceiling
    }
  }
  EXPECT_GE(policy.failed(seconds::max(), 0), milliseconds(100'000'000'000LL));
}

}  // namespace
}  // namespace zeplog::detail
