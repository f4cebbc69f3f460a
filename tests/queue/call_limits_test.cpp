// The rules that leave log calls out: the token bucket of the rate limit and the sample
// threshold, as pure functions of the time and the random bits they are given.
#include "queue/call_limits.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace zeplog::detail {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// A full bucket admits `burst` calls at one instant, then one per interval.
static_assert(tokenBucketRule(1, 2).admit(0, 10 * kSecond) == 11 * kSecond);
static_assert(tokenBucketRule(1, 2).admit(11 * kSecond, 10 * kSecond) == 12 * kSecond);
static_assert(!tokenBucketRule(1, 2).admit(12 * kSecond, 10 * kSecond));
// Limits: a rate above 1e9 per second (infinity too) is no limit; the smallest rate with a
// burst beyond the cap gives the cap's tolerance, within 64 bits.
static_assert(tokenBucketRule(std::numeric_limits<double>::infinity(), 5).intervalNs == 0);
static_assert(tokenBucketRule(0, 4'000'000'000u).toleranceNs == 1'000'000'000'000'000'000);
// Sampling: 1 keeps every draw, 0 none.
static_assert(keptBySample(~std::uint64_t{0}, sampleThreshold(1)));
static_assert(!keptBySample(0, sampleThreshold(0)));

struct BucketCase {
  const char* name;
  double perSecond;
  std::uint32_t burst;
  std::vector<std::int64_t> callsAtMs;  // the calls' times, on the caller's clock
  std::string admitted;                 // one character per call: 1 admitted, 0 refused
};

void PrintTo(const BucketCase& c, std::ostream* os) { *os << c.name; }

class TokenBucketTest : public ::testing::TestWithParam<BucketCase> {};

TEST_P(TokenBucketTest, AdmitsWhatTheBucketHolds) {
  const BucketCase& c = GetParam();
  const TokenBucketRule rule = tokenBucketRule(c.perSecond, c.burst);
  std::atomic<std::int64_t> fullAt{0};
  std::string admitted;
  for (std::int64_t ms : c.callsAtMs)
    admitted += admitOne(fullAt, rule, 1000 * kSecond + ms * 1'000'000) ? '1' : '0';
  EXPECT_EQ(admitted, c.admitted);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, TokenBucketTest,
    ::testing::Values(
        BucketCase{"BurstThenEmpty", 10, 3, {0, 0, 0, 0, 0}, "11100"},
        BucketCase{
            "RefillsOneTokenPerInterval", 10, 3, {0, 0, 0, 0, 99, 100, 150, 200}, "11100101"},
        BucketCase{"RefillsUpToTheBurstOnly", 10, 2, {0, 0, 10'000, 10'000, 10'000}, "11110"},
        BucketCase{"BurstZeroIsOne", 1, 0, {0, 0, 999, 1000}, "1001"},
        BucketCase{"RateZeroIsTheSlowest", 0, 1, {0, 999'999, 1'000'000}, "101"},
        BucketCase{"NegativeRateIsTheSlowest", -5, 1, {0, 1, 1'000'000}, "101"},
        // A clock reading older than the last admission (another thread's) is judged
        // against the bucket as it stands: no token is made out of the past.
        BucketCase{"OutOfOrderReadings", 10, 1, {1000, 900, 1100}, "101"}),
    [](const auto& info) { return std::string(info.param.name); });

// Four threads calling as fast as they can over 10 s of simulated time (a shared clock that
// each call moves 25 us on) get the configured rate within 5%, and never more than the rate
// times the time plus the burst.
TEST(TokenBucketThreads, FourThreadsOverTenSecondsGetTheRate) {
  const TokenBucketRule rule = tokenBucketRule(1000, 100);
  std::atomic<std::int64_t> fullAt{0};
  std::atomic<std::int64_t> clock{0};
  std::atomic<std::int64_t> admitted{0};
  constexpr std::int64_t kStepNs = 25'000, kEndNs = 10 * kSecond;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (;;) {
        const std::int64_t now = clock.fetch_add(kStepNs);
        if (now >= kEndNs) return;
        if (admitOne(fullAt, rule, now)) admitted.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LE(admitted.load(), 10'000 + 100);
  EXPECT_NEAR(static_cast<double>(admitted.load()), 10'000, 500);
}

TEST(SampleThreshold, ClampsTheRateAndKeepsItsShareOfUniformDraws) {
  EXPECT_EQ(sampleThreshold(-1), 0u);
  EXPECT_EQ(sampleThreshold(7), kKeepAll);
  EXPECT_EQ(sampleThreshold(0.25), kKeepAll / 4);
  // 40,000 draws of the generator from a fixed seed keep 25% within 1%.
  std::uint64_t state = 12345;
  int kept = 0;
  for (int i = 0; i < 40'000; ++i) kept += keptBySample(nextRandom(state), sampleThreshold(0.25));
  EXPECT_NEAR(kept, 10'000, 400);
}

}  // namespace
}  // namespace zeplog::detail
