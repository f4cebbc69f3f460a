// The settings file: the last settings answer, kept as the fallback for a failed fetch.
#pragma once

#include <optional>
#include <string>

namespace zeplog {

// One file for the whole process, "KST_iOS_SETTING_FILE" in the data directory, holding the
// raw text of the last settings answer. Each operation does file I/O: never call one while
// holding global_resource_lock.
class NetworkPulseStore {
 public:
  NetworkPulseStore() = delete;

  // The file's path (computed afresh, so it follows the data directory).
  static std::string settingFilePath();
  // Replaces the file's content with the text (an absent text leaves an empty file). The
  // file is replaced atomically with mode 0600, so a crash mid-write keeps the old answer;
  // a failure writes "[NetworkPulse] Save Error : <why>".
  static void performanceSave(const std::optional<std::string>& text);
  // The file's text; nothing when there is no file or its bytes are not UTF-8. A read
  // failure writes "[NetworkPulse] Save Load : <why>".
  static std::optional<std::string> performanceLoad();
};

}  // namespace zeplog
