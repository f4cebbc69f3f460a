// Hooks through which the application fits the library into its process.
#include "common/console.hpp"
#include "common/files.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::setConsoleHandler(ConsoleHandler handler) {
  detail::setConsoleHandler(std::move(handler));
}

void ZEPLog::setDataDirectory(std::string path) {
  detail::setDataDirectoryOverride(std::move(path));
}

}  // namespace zeplog
