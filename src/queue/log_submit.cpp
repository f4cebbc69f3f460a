#include "queue/log_submit.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/breadcrumbs.hpp"
#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/log_gate.hpp"
#include "common/upload_consent.hpp"
#include "common/utf8.hpp"
#include "event/attribute_blob.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/handle_views.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/call_limits.hpp"
#include "queue/log_staging.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// The rank below which log calls are held back; 0 holds back nothing.
std::atomic<int> minimumRank{0};

// True when a call at this level is below the minimum level; one relaxed load while the
// threshold is off.
bool belowMinimum(Text level) {
  const int minimum = minimumRank.load(std::memory_order_relaxed);
  if (minimum == 0) return false;
  const int rank = levelRank(level.view());
  return rank >= 0 && rank < minimum;
}

// The sample threshold of each level (call_limits.hpp), and how many are below "keep all":
// with sampling off a log call pays one relaxed load.
constinit std::atomic<std::uint64_t> sampleThresholds[5] = {kKeepAll, kKeepAll, kKeepAll, kKeepAll,
                                                            kKeepAll};
constinit std::atomic<int> samplingLevels{0};
// Each thread's generator state; 0 until its first sampled call seeds it. Seeded threads
// draw distinct sequences (a process-wide counter, the process id and the clock are mixed
// in), so two threads or two runs do not keep the same calls.
thread_local std::uint64_t sampleState = 0;
constinit std::atomic<std::uint64_t> seedCounter{0};

std::uint64_t randomBits() {
  if (sampleState == 0) {
    std::uint64_t seed = seedCounter.fetch_add(1, std::memory_order_relaxed) ^
                         (static_cast<std::uint64_t>(::getpid()) << 32) ^
                         static_cast<std::uint64_t>(nowMillis());
    sampleState = nextRandom(seed) | 1;
  }
  return nextRandom(sampleState);
}

// True when the call is left out by its level's sample rate.
bool sampledOut(Text level) {
  if (samplingLevels.load(std::memory_order_relaxed) == 0) return false;
  const int rank = levelRank(level.view());
  if (rank < 0) return false;  // a level outside the five is never sampled
  const std::uint64_t threshold = sampleThresholds[rank].load(std::memory_order_relaxed);
  return threshold < kKeepAll && !keptBySample(randomBits(), threshold);
}

// The rate limit's rule; an interval of 0 is no limit. The tolerance is stored before the
// interval (release) and read after it (acquire), so a call that sees a new interval sees
// its tolerance too; a call racing a change may judge once by the old interval.
constinit std::atomic<std::int64_t> rateIntervalNs{0};
constinit std::atomic<std::int64_t> rateToleranceNs{0};
constinit RateLimit rateLimitLine{60'000};  // its console line, once a minute

std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True when the handle's bucket has no token for this call (counted, with a line a minute).
bool rateLimited(RateBucket& bucket) {
  const std::int64_t interval = rateIntervalNs.load(std::memory_order_acquire);
  if (interval == 0) return false;
  const TokenBucketRule rule{interval, rateToleranceNs.load(std::memory_order_relaxed)};
  if (admitOne(bucket.fullAt, rule, steadyNs())) return false;
  countUp(eventCounters().rateLimited);
  if (rateLimitLine.allow(steadyNs() / 1'000'000)) {
    char perSecond[32];
    std::snprintf(perSecond, sizeof perSecond, "%g", 1e9 / static_cast<double>(interval));
    ZEP_CONSOLE("rate limit: log calls over " + std::string(perSecond) +
                " per second and handle are dropped (" +
                std::to_string(eventCounters().rateLimited.load(std::memory_order_relaxed)) +
                " since the start)");
  }
  return true;
}

}  // namespace

void setSampleRate(int levelIndex, double rate) {
  if (levelIndex < 0 || levelIndex >= 5) return;
  const std::uint64_t next = sampleThreshold(rate);
  const std::uint64_t before = sampleThresholds[levelIndex].exchange(next);
  // Counts the levels that sample, exactly under concurrent calls: each exchange that moves
  // a level across "keep all" moves the count by one.
  if (before == kKeepAll && next < kKeepAll) samplingLevels.fetch_add(1);
  if (before < kKeepAll && next == kKeepAll) samplingLevels.fetch_sub(1);
  syncLogGate(LogGate::kSampling, [] { return samplingLevels.load() != 0; });
}

void setRateLimit(double perSecond, std::uint32_t burst) {
  const TokenBucketRule rule = tokenBucketRule(perSecond, burst);
  rateToleranceNs.store(rule.toleranceNs, std::memory_order_relaxed);
  rateIntervalNs.store(rule.intervalNs, std::memory_order_release);
  syncLogGate(LogGate::kRateLimit, [] { return rateIntervalNs.load() != 0; });
}

void seedSamplingForThisThread(std::uint64_t seed) { sampleState = seed | 1; }

const char* levelText(Level level) {
  static constexpr const char* kTexts[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  const auto index = static_cast<unsigned>(level);
  return index < std::size(kTexts) ? kTexts[index] : nullptr;
}

int levelRank(std::string_view level) {
  if (level == "DEBUG") return 0;
  if (level == "INFO") return 1;
  if (level == "WARN") return 2;
  if (level == "ERROR") return 3;
  if (level == "FATAL") return 4;
  return -1;
}

bool setMinimumLevel(std::string_view level) {
  const int rank = levelRank(level);
  if (rank < 0) return false;
  minimumRank.store(rank, std::memory_order_relaxed);
  syncLogGate(LogGate::kMinimumLevel, [] { return minimumRank.load() != 0; });
  return true;
}

namespace {

thread_local TraceContext t_trace;
thread_local bool t_hasTrace = false;

// The call made into an event on the caller's thread: sessions (their own identity), calls
// under a rate limit (judged against the handle's bucket now), and those the staging cannot
// take. Kept out of line: its strings would otherwise weigh on every staged call's frame.
[[gnu::noinline]] void submitDirect(const LogCall& call, bool isSession) {
  if (call.handleId.absent()) {
    (void)getHandler(call.handleId);  // writes its own line for the absent id
    ZEP_CONSOLE("handleId is null");
    countUp(eventCounters().lostUnknownHandle);
    return;
  }
  RateBucket* bucket = nullptr;
  VelaEventIdentityPtr identity = handleIdentity(call.handleId.view(), &bucket);
  if (!identity) {
    ZEP_CONSOLE("handleId is null");
    countUp(eventCounters().lostUnknownHandle);
    return;
  }
  if (!isSession && rateLimited(*bucket)) return;
  std::string spareBody, spareLevel, spareCode, packed, spareAttributes;
  const std::string_view body = validUtf8View(call.message.view(), spareBody);
  const std::string_view levelText = validUtf8View(call.level.view(), spareLevel);
  const std::string_view code = call.errorCode.emptyOrAbsent()
                                    ? std::string_view()
                                    : validUtf8View(call.errorCode.view(), spareCode);
  packed.resize(packedAttributeBytes(call.attributes));
  const std::uint32_t cut = packAttributes(call.attributes, packed.data());
  if (cut != 0) countUp(eventCounters().attributesCut, cut);
  std::uint32_t clashes = 0;
  const std::string_view attributes = sendablePackedAttributes(packed, spareAttributes, clashes);
  if (clashes != 0) countUp(eventCounters().attributeClashes, clashes);
  const bool hostDash = !globals().gs_enablehost.load();
  VelaEventPtr event = LogEventMaker::make(body, levelText, code, nowMillis(), hostDash, attributes,
                                           t_hasTrace ? &t_trace : nullptr);
  if (isSession) {
    // A session start is of type "SESSION" whatever the handle's log type: its own
    // identity, made once per session start.
    auto session = std::make_shared<VelaEventIdentity>(*identity);
    session->logType = std::string(kSessionLogType);
    identity = std::move(session);
  }
  LogEventMaker::setIdentity(*event, std::move(identity));
  if (kstVelaBlockQueue* queue = blockQueue()) (void)queue->enqueue(std::move(event));
}

}  // namespace

void setThreadTrace(const TraceContext* trace) {
  t_hasTrace = trace != nullptr;
  if (trace) t_trace = *trace;
}

const TraceContext* threadTrace() { return t_hasTrace ? &t_trace : nullptr; }

// A call that is not plain (log_submit.hpp's submitLogCall) comes here: each switch is read
// and applied, and the call is staged or made into an event at once.
void submitLog(const LogCall& call) {
  guarded("sendLog", [&] {
    if (consentRevoked()) {  // nothing is kept or sent: the call costs one load and a count
      countUp(eventCounters().droppedByConsent);
      return;
    }
    const bool isSession = call.message == kSessionLogType;
    if (!isSession && belowMinimum(call.level)) {
      countUp(eventCounters().belowMinimumLevel);
      return;
    }
    if (!isSession && breadcrumbs().capacity() != 0)
      breadcrumbs().record(nowMillis(), call.level.view(), call.errorCode.view(),
                           call.message.view());
    // Sampling and the rate limit bound what is sent; the breadcrumbs (local, for a crash
    // report) keep every call that passed the minimum level.
    if (!isSession && sampledOut(call.level)) {
      countUp(eventCounters().sampledOut);
      return;
    }
    const bool direct = isSession || call.handleId.absent() || blockQueue() == nullptr ||
                        rateIntervalNs.load(std::memory_order_relaxed) != 0;
    if (!direct &&
        logStaging().stage(StagedCall{call.level.view(), call.errorCode.view(), call.message.view(),
                                      call.handleId.view(), call.attributes, threadTrace()}))
      return;
    submitDirect(call, isSession);
  });
}

}  // namespace zeplog::detail
