#include "event/event_kind.hpp"

#include "event/vela_event_maker.hpp"

namespace zeplog::detail {

bool isLibraryFieldName(std::string_view key) noexcept {
  static constexpr std::array<std::string_view, 13> kOwn = {
      kBulkIndexKey, kLogLevelKey,   kErrorCodeKey, kErrorRateKey, kCrashDataKey,
      kSymMethodKey, kCrashStyleKey, kSessionIdKey, kPlatformKey,  kNetworkTypeKey,
      kUserIdKey,    kTraceIdKey,    kSpanIdKey};
  return isEventMember(key) || std::find(kOwn.begin(), kOwn.end(), key) != kOwn.end();
}

bool isCrashEvent(const VelaEvent& event) {
  return !LogEventMaker::pendingFields(event) && event.fields() &&
         event.fields()->contains(kCrashDataKey);
}

}  // namespace zeplog::detail
