// Remote settings: the facade's entry points and the wiring of the settings thread.
#include "common/global_lock.hpp"
#include "common/guard.hpp"
#include "delivery/send_thread.hpp"
#include "event/text_rules.hpp"
#include "facade/environment_config.hpp"
#include "settings/settings_thread.hpp"
#include "settings/settings_url.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

bool ZEPLog::createPerformanceThread() noexcept {
  return detail::guarded<bool>("createPerformanceThread", false, [] {
    detail::GlobalLock lock(detail::global_resource_lock());
    // Settings come before sending: the settings thread starts the send thread once the
    // first fetch has ended.
    return detail::createPerformanceThread([] { detail::createLogSendThread(); });
  });
}

std::shared_ptr<kstVelaHandle> ZEPLog::Fill_Handler_by_SettingsAPI(
    std::shared_ptr<kstVelaHandle> handle, Text loadData, Text handerId) noexcept {
  return detail::guarded<std::shared_ptr<kstVelaHandle>>(
      "Fill_Handler_by_SettingsAPI", handle, [&] {
        return detail::fillHandlerBySettings(handle, detail::apiText(loadData),
                                             handerId.present() ? handerId.view() : "");
      });
}

bool ZEPLog::setSettingsBaseURL(Text url) noexcept {
  return detail::guarded<bool>("setSettingsBaseURL", false, [&] {
    detail::markExplicit(detail::ConfigItem::kSettingsBaseUrl);
    return detail::setSettingsBaseURL(url.present() ? url.view() : std::string_view());
  });
}

}  // namespace zeplog
