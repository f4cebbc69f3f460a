#include "settings/network_pulse_store.hpp"

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"

namespace zeplog {

std::string NetworkPulseStore::settingFilePath() {
  return detail::joinPath(detail::documentsDirectory(), "KST_iOS_SETTING_FILE");
}

void NetworkPulseStore::performanceSave(const std::optional<std::string>& text) {
  std::string error;
  if (!detail::ensureDataDirectory(&error) ||
      !detail::atomicWriteFile(settingFilePath(), text ? *text : std::string(), &error)) {
    detail::consoleRaw("[NetworkPulse] Save Error : " + error);
  }
}

std::optional<std::string> NetworkPulseStore::performanceLoad() {
  if (detail::documentsDirectory().empty()) return std::nullopt;
  const std::string path = settingFilePath();
  if (!detail::fileExists(path)) return std::nullopt;
  std::string error;
  std::optional<std::string> text = detail::readWholeFile(path, &error);
  if (!text) {
    detail::consoleRaw("[NetworkPulse] Save Load : " + error);
    return std::nullopt;
  }
  if (!detail::isValidUtf8(*text)) return std::nullopt;
  return text;
}

}  // namespace zeplog
