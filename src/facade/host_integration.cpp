// Hooks through which the application fits the library into its process.
#include <filesystem>

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "event/text_rules.hpp"
#include "facade/environment_config.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::setConsoleHandler(ConsoleHandler handler) noexcept {
  detail::guarded("setConsoleHandler", [&] {
    detail::markExplicit(detail::ConfigItem::kConsole);
    detail::setConsoleHandler(std::move(handler));
  });
}

void ZEPLog::silenceConsole() noexcept {
  detail::guarded("silenceConsole", [] {
    detail::markExplicit(detail::ConfigItem::kConsole);
    detail::silenceConsole();
  });
}

// The directory is fixed before the first initialisation: after it, files in the old place
// are in use (the device id, the queue files) and moving them under running threads would
// split the library's state in two. A relative path is made absolute now, so a later change
// of the working directory does not move it; a NUL byte would silently cut the path.
void ZEPLog::setDataDirectory(std::string path) noexcept {
  detail::guarded("setDataDirectory", [&] {
    detail::markExplicit(detail::ConfigItem::kDataDirectory);
    if (path.find('\0') != std::string::npos) {
      ZEP_CONSOLE("setDataDirectory refused: the path holds a NUL byte : " +
                  detail::consoleText(path));
      return;
    }
    if (!path.empty() && path.front() != '/') {
      std::error_code ec;
      std::string absolute = std::filesystem::absolute(path, ec).lexically_normal().string();
      if (ec) {
        ZEP_CONSOLE("setDataDirectory refused: " + detail::consoleText(path) + " : " +
                    ec.message());
        return;
      }
      ZEP_CONSOLE("setDataDirectory : " + detail::consoleText(path) + " is taken as " +
                  detail::consoleText(absolute));
      path = std::move(absolute);
    }
    if (const auto why = path.empty() ? std::nullopt : detail::dataDirectoryRefusal(path)) {
      ZEP_CONSOLE("setDataDirectory refused: " + detail::consoleText(path) + " : " + *why);
      return;
    }
    // Checked and set under the lock, so no initialisation starts in between.
    detail::GlobalLock lock(detail::global_resource_lock());
    if (detail::globals().gs_commonInit) {
      ZEP_CONSOLE("setDataDirectory refused after initialisation : " + detail::consoleText(path));
      return;
    }
    detail::setDataDirectoryOverride(std::move(path));
  });
}

}  // namespace zeplog
