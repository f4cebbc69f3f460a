// Entry points for event JSON, common fields, the device, sessions and Unity crashes: each
// hands over to the subsystem that does the work.
#include "common/guard.hpp"
#include "crash/unity_crash.hpp"
#include "delivery/session.hpp"
#include "event/common_fields.hpp"
#include "event/device_id.hpp"
#include "event/event_json.hpp"
#include "net/network_name.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

std::string ZEPLog::getJsonFromVelaEvent(const VelaEventPtr& event) noexcept {
  return detail::getJsonFromVelaEvent(event);
}
std::string ZEPLog::getJsonFromVelaEvent(const VelaEventPtr& event,
                                         std::int32_t kstBulkIndex) noexcept {
  return detail::getJsonFromVelaEvent(event, kstBulkIndex);
}
bool ZEPLog::copyCommonFields(Fields& fields, Text handleId) noexcept {
  return detail::copyCommonFields(fields, handleId);
}
bool ZEPLog::copyCommonFields(Fields& fields) noexcept {
  return detail::copyCommonFields(fields, "0");
}
OptText ZEPLog::getHost() noexcept {
  return detail::guarded<OptText>("getHost", std::nullopt, [] { return detail::getHost(); });
}
OptText ZEPLog::idToNSString(const FieldValue* value) noexcept {
  return detail::guarded<OptText>("idToNSString", std::nullopt,
                                  [&] { return detail::idToNSString(value); });
}
std::string ZEPLog::getIPAddress() noexcept {
  return detail::guarded<std::string>("getIPAddress", std::string(),
                                      [] { return detail::getIPAddress(); });
}

std::string ZEPLog::dataFilePath() noexcept {
  return detail::guarded<std::string>("dataFilePath", std::string(),
                                      [] { return detail::deviceIdFilePath(); });
}
std::optional<std::string> ZEPLog::getDeviceID() noexcept { return detail::getDeviceID(); }
std::string ZEPLog::getNetworkString(const kstVelaReachability* reachability) noexcept {
  return detail::guarded<std::string>("getNetworkString", std::string(),
                                      [&] { return detail::getNetworkString(reachability); });
}

void ZEPLog::createSession(Text handleId) noexcept {
  detail::guarded("createSession", [&] { detail::createSession(handleId); });
}

void ZEPLog::sendUnityCrash(Text level, Text type, Text message, Text exception) noexcept {
  detail::sendUnityCrash(level, type, message, exception);
}
bool ZEPLog::checkUnityCrash(const VelaEventPtr& event,
                             const std::shared_ptr<const kstVelaHandle>& handle) noexcept {
  return detail::checkUnityCrash(event, handle);
}
void ZEPLog::InsertCrashQueue(Text key, std::int32_t value) noexcept {
  detail::InsertCrashQueue(key, value);
}

}  // namespace zeplog
