// Entry points for event JSON, common fields, the device, sessions and Unity crashes: each
// hands over to the subsystem that does the work.
#include "crash/unity_crash.hpp"
#include "delivery/session.hpp"
#include "event/common_fields.hpp"
#include "event/device_id.hpp"
#include "event/event_json.hpp"
#include "event/network_name.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

std::string ZEPLog::getJsonFromVelaEvent(const VelaEventPtr& event) {
  return detail::getJsonFromVelaEvent(event);
}
std::string ZEPLog::getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex) {
  return detail::getJsonFromVelaEvent(event, kstBulkIndex);
}
bool ZEPLog::copyCommonFields(Fields& fields, Text handleId) {
  return detail::copyCommonFields(fields, handleId);
}
bool ZEPLog::copyCommonFields(Fields& fields) { return detail::copyCommonFields(fields, "0"); }
OptText ZEPLog::getHost() { return detail::getHost(); }
OptText ZEPLog::idToNSString(const FieldValue* value) { return detail::idToNSString(value); }
std::string ZEPLog::getIPAddress() { return detail::getIPAddress(); }

std::string ZEPLog::dataFilePath() { return detail::deviceIdFilePath(); }
std::optional<std::string> ZEPLog::getDeviceID() { return detail::getDeviceID(); }
std::string ZEPLog::getNetworkString(const kstVelaReachability* reachability) {
  return detail::getNetworkString(reachability);
}

void ZEPLog::createSession(Text handleId) { detail::createSession(handleId); }

void ZEPLog::sendUnityCrash(Text level, Text type, Text message, Text exception) {
  detail::sendUnityCrash(level, type, message, exception);
}
bool ZEPLog::checkUnityCrash(const VelaEventPtr& event,
                             const std::shared_ptr<const kstVelaHandle>& handle) {
  return detail::checkUnityCrash(event, handle);
}
void ZEPLog::InsertCrashQueue(Text key, std::int32_t value) {
  detail::InsertCrashQueue(key, value);
}

}  // namespace zeplog
