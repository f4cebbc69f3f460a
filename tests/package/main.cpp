// A program built only against the installed package: find_package(zeplog) or pkg-config.
#include <zeplog/zeplog.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const char* dir = std::getenv("ZEPLOG_PACKAGE_DATA_DIR");
  zeplog::ZEPLog::setDataDirectory(dir ? dir : "/tmp/zeplog-package-check");
  zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
  const bool ok = zeplog::ZEPLog::init("http://127.0.0.1:9/", "app", "1");
  zeplog::ZEPLog::info(nullptr, "hello from an installed library");
  // The session event and the log call.
  const bool queued = zeplog::ZEPLog::queueSize() == 2;
  std::printf("init %s, queued %s\n", ok ? "ok" : "failed", queued ? "ok" : "wrong");
  return ok && queued ? 0 : 1;
}
