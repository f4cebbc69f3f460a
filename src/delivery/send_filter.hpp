// The send filter: whether a completed event joins its project's batch.
#pragma once

#include <cstdint>
#include <memory>

#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// True when the event may be sent. Session events follow the handle's isSession, crash
// events its isCrash (and in Unity mode the crash duplicate table), latency-probe events its
// isLog; ordinary events are collapsed while the handle's isDeduplicate is on: the first one
// with a given body and level is sent (if isLog is on), later ones only raise a repeat
// counter. Runs on the send thread, which alone uses the duplicate table.
bool checkSendStatus(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle);

// The same decision with its reason: sent, refused by a switch (or for lack of an event or
// handle), or collapsed into an earlier event (an ordinary repeat, or a Unity crash the
// crash duplicate check holds back). The send thread counts the reasons.
enum class SendVerdict { kSend, kRefused, kCollapsed };
SendVerdict sendVerdict(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle);

// The handle's switches that the filter reads, taken together.
struct FilterSwitches {
  bool isLog, isSession, isCrash, isDeduplicate;
  // Caller holds global_resource_lock.
  static FilterSwitches ofLocked(const kstVelaHandle& h) {
    return {h.isLog, h.isSession, h.isCrash, h.isDeduplicate};
  }
};
// The same decision with the switches read beforehand (once per send cycle, say).
SendVerdict sendVerdict(const VelaEventPtr& event, const std::shared_ptr<kstVelaHandle>& handle,
                        const FilterSwitches& switches);

// The crash duplicate check of Unity mode (true = send), which lives with the crash path;
// the facade hands it in at initialisation. Until then every Unity crash event is sent.
using UnityCrashCheck = bool (*)(const VelaEventPtr&, const std::shared_ptr<const kstVelaHandle>&);
void setUnityCrashCheck(UnityCrashCheck check);

// Stores the count under the key in the duplicate table of ordinary events. A table of 10 or
// more entries first loses the half with the lowest counts.
void InsertQueue(Text key, std::int32_t value);

}  // namespace zeplog::detail
