// The integrations built only against the installed package: the spdlog and glog sink
// targets (zeplog::spdlog_sink, zeplog::glog_sink) and the integration calls.
#include <glog/logging.h>
#include <spdlog/logger.h>
#include <zeplog/glog_sink.hpp>
#include <zeplog/spdlog_sink.hpp>
#include <zeplog/zeplog.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main() {
  using zeplog::ZEPLog;
  const char* dir = std::getenv("ZEPLOG_PACKAGE_DATA_DIR");
  ZEPLog::setDataDirectory(std::string(dir ? dir : "/tmp/zeplog-package-check") + "/sinks");
  ZEPLog::setConsoleHandler([](std::string_view) {});
  ZEPLog::setBreadcrumbs(10);
  ZEPLog::redactFields({"UserID"});
  ZEPLog::setBeforeSend([](zeplog::VelaEvent&) { return true; });
  const bool level = ZEPLog::setMinimumLevel("INFO");
  // Held by sync start, so the queue stays as it is while it is counted.
  const bool ok = ZEPLog::init("http://127.0.0.1:9/", "app", "1", zeplog::SyncStart::On);

  spdlog::logger logger("pkg", std::make_shared<zeplog::spdlog_sink_mt>());
  logger.info("from spdlog");
  logger.debug("below the level");  // spdlog's own level (info) stops it first
  spdlog::logger single("pkg-st", std::make_shared<zeplog::spdlog_sink_st>("0"));
  single.warn("from spdlog st");
  zeplog::GlogSink sink;
  const char text[] = "from glog";
  sink.send(google::GLOG_WARNING, __FILE__, "sinks_app.cpp", 1, google::LogMessageTime(), text,
            sizeof text - 1);
  ZEPLog::debug(nullptr, "held by the minimum level");

  // The session event and the three sink messages.
  const bool queued = ZEPLog::queueSize() == 4;
  const bool counted = ZEPLog::counters().belowMinimumLevel == 1;
  std::printf("sinks: init %s, level %s, queued %s, counted %s\n", ok ? "ok" : "failed",
              level ? "ok" : "refused", queued ? "ok" : "wrong", counted ? "ok" : "wrong");
  return ok && level && queued && counted ? 0 : 1;
}
