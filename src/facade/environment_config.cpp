// Configuration from the environment: ZEPLOG_CONSOLE, ZEPLOG_DATA_DIR,
// ZEPLOG_SETTINGS_BASE_URL, ZEPLOG_TRUSTED_CERTIFICATES, ZEPLOG_MIN_LEVEL,
// ZEPLOG_BREADCRUMBS, ZEPLOG_CONSENT, ZEPLOG_SAMPLE_RATE and ZEPLOG_RATE_LIMIT, and the
// OpenTelemetry variables (otel_environment.hpp), read once at the first initialisation
// (docs/api.md).
#include "facade/environment_config.hpp"

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "common/breadcrumbs.hpp"
#include "common/console.hpp"
#include "common/files.hpp"
#include "common/upload_consent.hpp"
#include "event/text_rules.hpp"
#include "facade/otel_environment.hpp"
#include "queue/call_limits.hpp"
#include "queue/log_submit.hpp"
#include "settings/settings_url.hpp"
#include "transport/http_client.hpp"
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

// A decimal number, the whole text; none for anything else (NaN and infinities included).
std::optional<double> decimal(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

// "debug:0.1,info:0.5": level names in any letter case, each rate from 0 to 1. All or
// nothing: the rates of a value with one bad item are not applied.
bool applySampleRates(std::string_view value) {
  std::array<std::optional<double>, 5> rates;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    const std::string_view item = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const std::size_t colon = item.find(':');
    if (colon == std::string_view::npos) return false;
    std::string level(item.substr(0, colon));
    for (char& c : level) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    const int rank = levelRank(level);
    const std::optional<double> rate = decimal(item.substr(colon + 1));
    if (rank < 0 || !rate || *rate < 0 || *rate > 1) return false;
    rates[static_cast<std::size_t>(rank)] = rate;
  }
  for (std::size_t i = 0; i < rates.size(); ++i)
    if (rates[i]) applySampleRate(static_cast<int>(i), *rates[i]);
  return true;
}

// "1000/100": events per second (a decimal above 0), then the burst (a whole number from 1
// to 1000000).
bool applyRateLimitText(std::string_view value) {
  const std::size_t slash = value.find('/');
  if (slash == std::string_view::npos) return false;
  const std::optional<double> rate = decimal(value.substr(0, slash));
  const std::string_view burstText = value.substr(slash + 1);
  std::uint32_t burst = 0;
  const auto [end, ec] =
      std::from_chars(burstText.data(), burstText.data() + burstText.size(), burst);
  if (!rate || *rate <= 0 || ec != std::errc() || end != burstText.data() + burstText.size() ||
      burst < 1 || burst > kMaxBurst)
    return false;
  return applyRateLimit(*rate, burst);
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
  if (const char* v = variable("ZEPLOG_CONSENT", ConfigItem::kConsent)) {
    if (std::string_view(v) == "required") {
      requireConsent();
    } else {
      ignored("ZEPLOG_CONSENT", v, "not required");
    }
  }
  if (const char* v = variable("ZEPLOG_SAMPLE_RATE", ConfigItem::kSampleRate)) {
    if (!applySampleRates(v))
      ignored("ZEPLOG_SAMPLE_RATE", v, "not level:rate items (debug:0.1,info:0.5), rates 0 to 1");
  }
  if (const char* v = variable("ZEPLOG_RATE_LIMIT", ConfigItem::kRateLimit)) {
    if (!applyRateLimitText(v))
      ignored("ZEPLOG_RATE_LIMIT", v, "not <events per second>/<burst 1 to 1000000>");
  }
  applyOtelEnvironment(isExplicit(ConfigItem::kOtlpExporter));
}

}  // namespace

void markExplicit(ConfigItem item) { explicitItems.fetch_or(1u << static_cast<unsigned>(item)); }

void applyEnvironmentOnce() {
  static std::once_flag once;
  std::call_once(once, applyEnvironment);
}

}  // namespace zeplog::detail
