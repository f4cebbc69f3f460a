#include "event/global_state.hpp"

#include <algorithm>

namespace zeplog::detail {

GlobalState& globals() {
  static auto* state = new GlobalState;  // never destroyed
  return *state;
}

const std::vector<std::string>& reservedFieldNames() {
  static const auto* names = new std::vector<std::string>{
      "projectName",     "projectVersion", "host",        "logType",    "logSource",  "sendTime",
      "logTime",         "logLevel",       "UserID",      "Platform",   "DeviceType", "DeviceModel",
      "NetworkType",     "Carrier",        "CountryCode", "DmpData",    "errorCode",  "body",
      "PreferdLanguage", "FreeDiskSpace",  "FreeMemory",  "Jailbroken", "SessionID",  "Locale",
      "SdkVersion",      "DeviceID"};
  return *names;
}

bool isReservedFieldName(std::string_view key) {
  const auto& names = reservedFieldNames();
  return std::find(names.begin(), names.end(), key) != names.end();
}

bool isProtectedSystemKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {
      "logVersion", "SymMethod", "CrashStyle", "SdkVersion", "SessionID", "DeviceID", "Unity"};
  return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

}  // namespace zeplog::detail
