// Turning one log call into one event on the main queue.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/fork_locks.hpp"
#include "common/log_gate.hpp"
#include "event/event_kind.hpp"
#include "queue/block_queue.hpp"
#include "queue/log_staging.hpp"
#include "zeplog/attribute.hpp"
#include "zeplog/level.hpp"
#include "zeplog/text.hpp"
#include "zeplog/trace_context.hpp"

namespace zeplog::detail {

// One log call as the API takes it. Views valid for the call.
struct LogCall {
  Text level;
  Text errorCode;
  Text message;
  Text handleId;
  std::span<const Attribute> attributes;
};
// Queues the call as an event of the handle: staged in the calling thread's ring (made into
// an event by the drain), or made at once where staging does not apply. The rules are
// sendLog's below; the attributes are kept within their limits (what is cut is counted) and
// the calling thread's trace context, if set, goes with the call.
void submitLog(const LogCall& call);

// The calling thread's trace context: nullptr clears it. Copied in.
void setThreadTrace(const TraceContext* trace);
const TraceContext* threadTrace();

// The usual call, inline where the API takes it: when no switch that changes what a call does
// is on (log_gate.hpp), the call names a handle, is not a session start, the queue is made
// and no forked child's restart is pending, it is staged at once, without submitLog's checks
// and frames. False when it is not plain or the staging cannot take it.
inline bool stagePlainLog(const LogCall& call) noexcept {
  if (!logGateOpen() || call.handleId.absent() || call.message == kSessionLogType ||
      blockQueue() == nullptr || g_forkedChildRestartPending.load(std::memory_order_relaxed))
    return false;
  return logStaging().stage(StagedCall{call.level.view(), call.errorCode.view(),
                                       call.message.view(), call.handleId.view(), call.attributes,
                                       threadTrace()});
}

// Queues the call: staged at once when it is plain, else through submitLog.
inline void submitLogCall(const LogCall& call) noexcept {
  if (!stagePlainLog(call)) submitLog(call);
}

// Builds one event of the handle with the level text, error code and message, and puts it
// on the main queue. An absent or unknown handle id gives a console line and no event.
// A call whose level ranks below the local minimum level returns first (counted); a
// session start (message "SESSION") is never held back.
inline void sendLog(Text level, Text errorCode, Text message, Text handleId) noexcept {
  submitLogCall(LogCall{level, errorCode, message, handleId, {}});
}

// The share of log calls kept at a level (levelRank's index), clamped to [0, 1]; NaN must be
// refused by the caller. Crash events, sessions and probe results never pass here.
void setSampleRate(int levelIndex, double rate);
// The rate limit of every handle's log calls (call_limits.hpp bounds and clamps it); a rate
// above 1e9 per second (infinity included) turns it off. NaN must be refused by the caller.
void setRateLimit(double perSecond, std::uint32_t burst);
// Seeds the calling thread's sampling generator, so a test's draws are the same every run.
void seedSamplingForThisThread(std::uint64_t seed);

// The local minimum level: "DEBUG" (the default: every call passes), "INFO", "WARN",
// "ERROR" or "FATAL". False, changing nothing, for any other text.
bool setMinimumLevel(std::string_view level);
// The text of a level ("DEBUG" ... "FATAL"); nullptr for a value outside the enumeration
// (a cast).
const char* levelText(Level level);
// The rank of a level text: DEBUG 0, INFO 1, WARN 2, ERROR 3, FATAL 4; -1 for any other
// text (never held back by the minimum level).
int levelRank(std::string_view level);

}  // namespace zeplog::detail
