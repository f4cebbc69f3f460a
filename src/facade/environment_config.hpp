// Configuration from the environment, and which settings the application made itself.
#pragma once

#include <cstdint>

#include "zeplog/text.hpp"

namespace zeplog::detail {

// The settings a ZEPLOG_* variable may give. An explicit call of the application wins over
// the variable: each public setter marks its item.
enum class ConfigItem : unsigned {
  kConsole,              // ZEPLOG_CONSOLE: setConsoleHandler, silenceConsole
  kDataDirectory,        // ZEPLOG_DATA_DIR: setDataDirectory
  kSettingsBaseUrl,      // ZEPLOG_SETTINGS_BASE_URL: setSettingsBaseURL
  kTrustedCertificates,  // ZEPLOG_TRUSTED_CERTIFICATES: setTrustedCertificates
  kMinimumLevel,         // ZEPLOG_MIN_LEVEL: setMinimumLevel
  kBreadcrumbs,          // ZEPLOG_BREADCRUMBS: setBreadcrumbs
  kConsent,              // ZEPLOG_CONSENT: requireUploadConsent, setUploadConsent
  kSampleRate,           // ZEPLOG_SAMPLE_RATE: setSampleRate
  kRateLimit,            // ZEPLOG_RATE_LIMIT: setRateLimit
  kOtlpExporter,         // OTEL_EXPORTER_OTLP_*: addOtlpExporter
};
void markExplicit(ConfigItem item);

// Reads the ZEPLOG_* variables once per process (the first initialisation calls it before
// anything else) and applies each one whose item the application did not set itself. A bad
// value gives a console line and is ignored.
void applyEnvironmentOnce();

// The setters shared by the public calls and the environment (they mark nothing).
bool applyMinimumLevel(Text level);
void applyBreadcrumbs(std::uint32_t n);
bool applySampleRate(int levelIndex, double rate);  // false, with a line, for NaN
bool applyRateLimit(double perSecond, std::uint32_t burst);

}  // namespace zeplog::detail
