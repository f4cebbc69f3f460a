// What kind an event is, and the names its object's members and the library's own fields
// have on the wire: the one home of the facts the send path, the encoders and the crash path
// each ask.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The members an event object writes from the event itself, not from its fields: its
// identity, body, send time and host.
inline constexpr std::array<std::string_view, 7> kEventMembers = {
    "projectName", "projectVersion", "logType", "logSource", "body", "sendTime", "host"};
// The member that numbers an event within its request.
inline constexpr std::string_view kBulkIndexKey = "kstBulkIndex";

// The library's own fields.
inline constexpr std::string_view kLogLevelKey = "logLevel";
inline constexpr std::string_view kErrorCodeKey = "errorCode";
inline constexpr std::string_view kErrorRateKey = "errorRate";
inline constexpr std::string_view kCrashDataKey = "DmpData";  // what makes a crash event
inline constexpr std::string_view kSymMethodKey = "SymMethod";
inline constexpr std::string_view kCrashStyleKey = "CrashStyle";
inline constexpr std::string_view kSessionIdKey = "SessionID";
// The common fields every event gets at its send.
inline constexpr std::string_view kPlatformKey = "Platform";
inline constexpr std::string_view kNetworkTypeKey = "NetworkType";
inline constexpr std::string_view kUserIdKey = "UserID";
// A log call's trace context, as "v2/log" fields.
inline constexpr std::string_view kTraceIdKey = "traceId";
inline constexpr std::string_view kSpanIdKey = "spanId";
// The log type of a session event.
inline constexpr std::string_view kSessionLogType = "SESSION";

// True for a member an event object writes from the event itself (kEventMembers).
constexpr bool isEventMember(std::string_view key) {
  return std::find(kEventMembers.begin(), kEventMembers.end(), key) != kEventMembers.end();
}

// True for a key the library writes itself on an event: a member, the bulk index, the
// library's own fields, the common fields and the trace ids. A log call's attribute of such
// a name is left out, the library's value kept.
bool isLibraryFieldName(std::string_view key) noexcept;

// A crash event carries crash data (a native crash, a handled exception, a Unity crash). A
// log call's event whose fields are still its text never does; asking does not make them.
bool isCrashEvent(const VelaEvent& event);
// A session event is of log type "SESSION".
inline bool isSessionEvent(const VelaEvent& event) { return event.logType() == kSessionLogType; }

}  // namespace zeplog::detail
