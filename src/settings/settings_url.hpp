// Where a handle's remote settings are fetched from.
#pragma once

#include <string>
#include <string_view>

namespace zeplog::detail {

// Replaces the settings base URL compiled into the library (ZEPLOG_SETTINGS_BASE_URL).
// Accepted only before the first initialisation and only for an http or https URL with a
// host; a base without a trailing "/" gets one. False, with a console line, otherwise.
bool setSettingsBaseURL(std::string_view url);

// The settings URL of a project: base + project name + "/logsconf". The base is the one
// the application set; else the alternate deployment's settings base when the collector
// address (as the handle stores it, without scheme) is exactly that deployment's address;
// else the base compiled into the library.
std::string settingsURL(std::string_view collectorAddress, std::string_view projectName);

}  // namespace zeplog::detail
