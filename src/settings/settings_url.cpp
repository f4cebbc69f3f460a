#include "settings/settings_url.hpp"

#include <mutex>
#include <optional>

#include "common/collector_url.hpp"
#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/no_destructor.hpp"
#include "common/url.hpp"
#include "event/global_state.hpp"

#ifndef ZEPLOG_SETTINGS_BASE_URL
#error "ZEPLOG_SETTINGS_BASE_URL names the settings base compiled into the library (\"\" for none)"
#endif

namespace zeplog::detail {
namespace {

// The one collector deployment that keeps its settings on a server of its own, addressed by
// IPv4 literal (documentation addresses stand in for the deployment's own).
constexpr std::string_view kAlternateCollectorAddress = "203.0.113.10";
constexpr std::string_view kAlternateSettingsBase = "http://203.0.113.11:10092/v2/settings/";

std::mutex& baseLock() {
  static auto* m = new ForkSafeMutex(ForkLockRank::kSettingsBase);  // never destroyed
  return *m;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_baseLockMadeAtLoad = (static_cast<void>(baseLock()), true);
constinit NoDestructor<std::optional<std::string>> g_baseOverride;  // guarded by baseLock()
std::optional<std::string>& baseOverride() { return g_baseOverride.value; }

std::string withTrailingSlash(std::string_view url) {
  std::string out(url);
  if (out.back() != '/') out.push_back('/');
  return out;
}

}  // namespace

bool setSettingsBaseURL(std::string_view url) {
  if (!isHttpUrlWithHost(url)) {
    ZEP_CONSOLE("setSettingsBaseURL ignored: an http or https URL with a host is expected");
    return false;
  }
  if (globals().gs_isInit.load()) {
    ZEP_CONSOLE("setSettingsBaseURL ignored: call it before the first initialisation");
    return false;
  }
  std::lock_guard<std::mutex> g(baseLock());
  baseOverride() = withTrailingSlash(url);
  return true;
}

void forgetSettingsBaseURL() {
  std::lock_guard<std::mutex> g(baseLock());
  baseOverride().reset();
}

std::string settingsURL(std::int64_t protocol, std::string_view collectorAddress,
                        std::int64_t collectorPort, std::string_view projectName) {
  std::string base;
  {
    std::lock_guard<std::mutex> g(baseLock());
    if (baseOverride()) base = *baseOverride();
  }
  if (base.empty() && collectorAddress == kAlternateCollectorAddress) base = kAlternateSettingsBase;
  if (base.empty()) base = ZEPLOG_SETTINGS_BASE_URL;
  // With no base chosen, the collector answers for its own settings.
  if (base.empty()) base = collectorBaseURL(protocol, collectorAddress, collectorPort) + "/v2/";
  return base + std::string(projectName) + "/logsconf";
}

}  // namespace zeplog::detail
