#include "event/event_kind.hpp"

#include "event/vela_event_maker.hpp"

namespace zeplog::detail {

bool isCrashEvent(const VelaEvent& event) {
  return !LogEventMaker::pendingFields(event) && event.fields() &&
         event.fields()->contains(kCrashDataKey);
}

}  // namespace zeplog::detail
