// Where a handle's remote settings are fetched from.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeplog::detail {

// Chooses the settings base URL, in place of the compiled-in one or the collector's own.
// Accepted only before the first initialisation and only for an http or https URL with a
// host; a base without a trailing "/" gets one. False, with a console line, otherwise.
bool setSettingsBaseURL(std::string_view url);
// Forgets a base set with setSettingsBaseURL, so the default rule applies again.
void forgetSettingsBaseURL();

// The settings URL of a project: base + project name + "/logsconf". The base is the one
// the application set; else the alternate deployment's settings base when the collector
// address (as the handle stores it, without scheme) is exactly that deployment's address;
// else a non-empty base compiled into the library (ZEPLOG_SETTINGS_BASE_URL); else the
// collector itself: its address by the collector URL rule (protocol, address, port) + "/v2/".
std::string settingsURL(std::int64_t protocol, std::string_view collectorAddress,
                        std::int64_t collectorPort, std::string_view projectName);

}  // namespace zeplog::detail
