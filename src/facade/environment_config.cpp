// Configuration from the environment: ZEPLOG_CONSOLE, ZEPLOG_DATA_DIR,
// ZEPLOG_SETTINGS_BASE_URL, ZEPLOG_TRUSTED_CERTIFICATES, ZEPLOG_MIN_LEVEL and
// ZEPLOG_BREADCRUMBS, read once at the first initialisation (docs/api.md).
#include "facade/environment_config.hpp"

#include <sys/stat.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "common/breadcrumbs.hpp"
#include "common/console.hpp"
#include "common/files.hpp"
#include "transport/http_client.hpp"
#include "event/text_rules.hpp"
#include "queue/log_submit.hpp"
#include "settings/settings_url.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog::detail {
namespace {

std::atomic<unsigned> explicitItems{0};

bool isExplicit(ConfigItem item) {
  return explicitItems.load() & (1u << static_cast<unsigned>(item));
}

void ignored(const char* name, std::string_view value, const std::string& why) {
  ZEP_CONSOLE(std::string(name) + "=" + consoleText(value) + " ignored: " + why);
}

// The variable's value when it is set and the application did not set the item itself.
const char* variable(const char* name, ConfigItem item) {
  const char* value = std::getenv(name);
  if (!value) return nullptr;
  if (isExplicit(item)) {
    ignored(name, value, "the application's own call wins");
    return nullptr;
  }
  if (!*value) {
    ignored(name, value, "empty");
    return nullptr;
  }
  return value;
}

void applyEnvironment() {
  if (const char* v = variable("ZEPLOG_CONSOLE", ConfigItem::kConsole)) {
    const std::string_view value(v);
    if (value == "stderr") {
      setConsoleHandler(nullptr);
    } else if (value == "off") {
      silenceConsole();
    } else {
      ignored("ZEPLOG_CONSOLE", value, "not stderr or off");
    }
  }
  if (const char* v = variable("ZEPLOG_DATA_DIR", ConfigItem::kDataDirectory)) {
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(v, ec).lexically_normal().string();
    const std::optional<std::string> why =
        ec ? std::optional<std::string>(ec.message()) : dataDirectoryRefusal(absolute);
    if (why) {
      ignored("ZEPLOG_DATA_DIR", v, *why);
    } else {
      ZEPLog::setDataDirectory(v);  // refuses what else is wrong with its own line
    }
  }
  if (const char* v = variable("ZEPLOG_SETTINGS_BASE_URL", ConfigItem::kSettingsBaseUrl)) {
    if (!setSettingsBaseURL(v)) ignored("ZEPLOG_SETTINGS_BASE_URL", v, "not an http or https URL");
  }
  if (const char* v = variable("ZEPLOG_TRUSTED_CERTIFICATES", ConfigItem::kTrustedCertificates)) {
    struct stat st {};
    if (::stat(v, &st) != 0) {
      ignored("ZEPLOG_TRUSTED_CERTIFICATES", v, "no such file or directory");
    } else {
      setTrustedCertificates(v);
    }
  }
  if (const char* v = variable("ZEPLOG_MIN_LEVEL", ConfigItem::kMinimumLevel)) {
    if (!setMinimumLevel(v))
      ignored("ZEPLOG_MIN_LEVEL", v, "not DEBUG, INFO, WARN, ERROR or FATAL");
  }
  if (const char* v = variable("ZEPLOG_BREADCRUMBS", ConfigItem::kBreadcrumbs)) {
    const std::string_view value(v);
    std::uint32_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n > kMaxBreadcrumbs) {
      ignored("ZEPLOG_BREADCRUMBS", value, "not a number from 0 to 1000");
    } else {
      breadcrumbs().setCapacity(n);
    }
  }
}

}  // namespace

void markExplicit(ConfigItem item) { explicitItems.fetch_or(1u << static_cast<unsigned>(item)); }

void applyEnvironmentOnce() {
  static std::once_flag once;
  std::call_once(once, applyEnvironment);
}

}  // namespace zeplog::detail
