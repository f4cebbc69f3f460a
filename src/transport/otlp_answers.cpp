#include "transport/otlp_answers.hpp"

#include <chrono>
#include <cstdint>
#include <string>

#include "common/console.hpp"
#include "common/no_destructor.hpp"
#include "event/otlp_answer.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

std::int64_t steadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The "rejected" line, once a minute at most. Made at compile time, not on first use: a
// forked child never inherits it half made.
constinit NoDestructor<RateLimit> g_otlpRejectLines(60'000);

}  // namespace

bool settleOtlpAnswers(const std::vector<OtlpAnswer>& answers) {
  RateLimit* limit = &g_otlpRejectLines.value;
  bool allAccepted = true;
  for (const OtlpAnswer& answer : answers) {
    if (!answer.accepted) {
      allAccepted = false;
      continue;
    }
    const OtlpPartialSuccess partial = readOtlpAnswer(answer.body);
    if (partial.rejected == 0) continue;
    countUp(eventCounters().otlpRejected, partial.rejected);
    if (!limit->allow(steadyMillis())) continue;
    ZEP_CONSOLE("OTLP export: " + std::to_string(partial.rejected) + " log records rejected : " +
                (partial.message.empty() ? std::string("no message") : partial.message));
  }
  return allAccepted;
}

}  // namespace zeplog::detail
