// Common fields, host value, byte-data text and the interface address.
#include "event/common_fields.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <mutex>
#include <vector>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/redaction.hpp"

namespace zeplog::detail {
namespace {

// "MacOS X " followed by this system's version: the kernel release. The literal prefix is
// kept because the collector groups platforms by it.
const std::string& platformText() {
  static const auto* text = [] {
    struct utsname u {};
    std::string release = ::uname(&u) == 0 ? u.release : "";
    return new std::string("MacOS X " + release);
  }();
  return *text;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_platformTextMadeAtLoad = (static_cast<void>(platformText()), true);

// Interfaces that play the part of the Wi-Fi candidate: the historical names first, then
// this platform's wired and wireless names.
bool isWifiCandidate(std::string_view name) {
  return name == "en0" || name == "en1" || name.starts_with("en") || name.starts_with("eth") ||
         name.starts_with("wl");
}
bool isCellularCandidate(std::string_view name) {
  return name == "pdp_ip0" || name.starts_with("wwan");
}

}  // namespace

bool copyCommonFields(Fields& fields, Text handleId) {
  return guarded<bool>("copyCommonFields", false, [&]() -> bool {
    std::shared_ptr<kstVelaHandle> handle = getHandler(handleId);
    if (!handle) return false;
    GlobalLock lock(global_resource_lock());
    copyCommonFieldsOf(fields, *handle);
    return true;
  });
}

void copyCommonFieldsOf(Fields& fields, const kstVelaHandle& handle) {
  // The lines are written after the walk: a console handler may call back into the library
  // on this thread (the lock is re-entrant) and change the custom fields. A silenced console
  // gets no lines, so none is made.
  std::vector<std::string> lines;
  addCommonFieldsOf(fields, handle, consoleSilenced() ? nullptr : &lines);
  for (const std::string& line : lines) ZEP_CONSOLE(line);
}

void addCommonFieldsOf(Fields& fields, const kstVelaHandle& handle,
                       std::vector<std::string>* lines) {
  // Room for everything added below at once, rather than growing step by step.
  fields.reserve(fields.size() + 3 + (handle.customFields ? handle.customFields->size() : 0));
  fields.set(kPlatformKey, Bytes(platformText()));
  fields.set(kNetworkTypeKey, Bytes("No Connection"));
  const auto& net = globals().gs_network_handle;
  if (net && net->networkType && *net->networkType != "NONE")
    fields.set(kNetworkTypeKey, Bytes(*net->networkType));
  if (handle.userId) fields.set(kUserIdKey, Bytes(*handle.userId));
  if (!handle.customFields) return;
  for (const auto& [key, value] : *handle.customFields) {
    if (fields.contains(key)) continue;  // custom fields never replace what is there
    std::string text = std::holds_alternative<std::string>(value)
                           ? std::get<std::string>(value)
                           : toValidUtf8(std::get<Bytes>(value).view());
    if (lines) lines->push_back("load / " + key + ":" + std::string(shownValue(key, text)));
    fields.appendNew(key, std::move(text));
  }
}

OptText getHost() {
  if (globals().gs_enablehost.load()) return std::nullopt;
  return std::string("-");
}

OptText idToNSString(const FieldValue* value) {
  if (!value || !std::holds_alternative<Bytes>(*value)) return std::string();
  const Bytes& bytes = std::get<Bytes>(*value);
  if (!isValidUtf8(bytes.view())) return std::nullopt;
  return bytes.data;
}

std::string getIPAddress() {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "0.0.0.0";
  std::string wifi, cellular;
  for (struct ifaddrs* a = list; a; a = a->ifa_next) {
    // Only IPv4 entries: IPv6 addresses have no dotted form.
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
    std::string_view name = a->ifa_name;
    if (isWifiCandidate(name) && std::string_view(text) != "0.0.0.0") {
      wifi = text;  // a later match replaces an earlier one
    } else if (isCellularCandidate(name)) {
      cellular = text;
    }
  }
  ::freeifaddrs(list);
  if (!wifi.empty()) return wifi;
  if (!cellular.empty()) return cellular;
  return "0.0.0.0";
}

}  // namespace zeplog::detail
