// A program built only against the installed package: find_package(zeplog) or pkg-config.
#include <zeplog/vela_formatter.hpp>
#include <zeplog/zeplog.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const char* dir = std::getenv("ZEPLOG_PACKAGE_DATA_DIR");
  zeplog::ZEPLog::setDataDirectory(dir ? dir : "/tmp/zeplog-package-check");
  zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
  // Held by sync start, so the send thread leaves the queue as it is while it is counted.
  const bool ok = zeplog::ZEPLog::init("http://127.0.0.1:9/", "app", "1", zeplog::SyncStart::On);
  zeplog::ZEPLog::info(nullptr, "hello from an installed library");
  // The session event and the log call.
  const bool queued = zeplog::ZEPLog::queueSize() == 2;
  // The crash text formatter is part of the exported surface too.
  const bool formatter = zeplog::kstVelaFormatter::uuid().has_value();
  std::printf("init %s, queued %s, formatter %s\n", ok ? "ok" : "failed", queued ? "ok" : "wrong",
              formatter ? "ok" : "missing");
  return ok && queued && formatter ? 0 : 1;
}
