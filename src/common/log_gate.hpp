// One word that says whether a log call may take the plain path.
#pragma once

#include <atomic>
#include <cstdint>

namespace zeplog::detail {

// The switches that change what a log call does. A bit is set while its switch is on, so the
// usual call (every switch off) reads this one word instead of each switch, and the checked
// path reads the switches themselves. A call racing a change may be judged by the rule before
// it, as it would be when reading the switch itself.
enum class LogGate : std::uint32_t {
  kConsentRevoked = 1u << 0,
  kMinimumLevel = 1u << 1,
  kBreadcrumbs = 1u << 2,
  kSampling = 1u << 3,
  kRateLimit = 1u << 4,
};

inline constinit std::atomic<std::uint32_t> g_logGate{0};

// True when no switch is on: the call may take the plain path.
inline bool logGateOpen() { return g_logGate.load(std::memory_order_relaxed) == 0; }

// Sets the bit to what isOn() says, after its switch was changed. Two changes racing each
// other could leave the bit as the first one's last word; so the bit is set again until the
// switch says the same before and after: whichever change comes last leaves its own answer.
// It repeats only while another change is under way, never waiting for anything.
template <typename IsOn>
void syncLogGate(LogGate bit, IsOn isOn) {
  const auto mask = static_cast<std::uint32_t>(bit);
  for (;;) {
    const bool on = isOn();
    if (on) {
      g_logGate.fetch_or(mask);
    } else {
      g_logGate.fetch_and(~mask);
    }
    if (isOn() == on) return;
  }
}

}  // namespace zeplog::detail
