// A program built only against the installed package: find_package(zeplog) or pkg-config.
// It calls at least one out-of-line function of every public header, so a declaration that
// lacks the export mark fails to link against the shared library.
#include <zeplog/bytes.hpp>
#include <zeplog/counters.hpp>
#include <zeplog/crash_report.hpp>
#include <zeplog/decimal.hpp>
#include <zeplog/durable_delivery.hpp>
#include <zeplog/error.hpp>
#include <zeplog/json_reader.hpp>
#include <zeplog/json_value.hpp>
#include <zeplog/json_writer.hpp>
#include <zeplog/notification_center.hpp>
#include <zeplog/ordered_map.hpp>
#include <zeplog/otlp_exporter.hpp>
#include <zeplog/reachability.hpp>
#include <zeplog/switches.hpp>
#include <zeplog/text.hpp>
#include <zeplog/vela_event.hpp>
#include <zeplog/vela_formatter.hpp>
#include <zeplog/vela_handle.hpp>
#include <zeplog/zeplog.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The JSON reader's error text, the writer, exact decimals and the value model.
bool jsonSurface() {
  zeplog::Error error;
  const auto parsed = zeplog::kstCJSONDeserializer().deserialize(std::string_view("[1,"), &error);
  const auto decimal = zeplog::Decimal::parse("1.5");
  const auto text =
      zeplog::kstCJSONSerializer().serializeObject(zeplog::json::Value(std::string("a")));
  return !parsed && !error.localizedDescription().empty() && decimal &&
         decimal->toString() == "1.5" && text == "\"a\"";
}

// Events, notifications and reachability.
bool eventSurface() {
  zeplog::VelaEvent event;
  bool notified = false;
  auto& center = zeplog::NotificationCenter::defaultCenter();
  const auto token = center.addObserver("package-check", [&](const auto&) { notified = true; });
  center.post("package-check");
  center.removeObserver(token);
  return !event.body() && notified && zeplog::kstVelaReachability::isReachableWithFlags(0) == false;
}

}  // namespace

int main() {
  const char* dir = std::getenv("ZEPLOG_PACKAGE_DATA_DIR");
  zeplog::ZEPLog::setDataDirectory(dir ? dir : "/tmp/zeplog-package-check");
  zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
  const bool exporter = zeplog::ZEPLog::addOtlpExporter({"http://127.0.0.1:9", {}, true}) &&
                        zeplog::ZEPLog::enableDurableDelivery(zeplog::DurableDelivery{});
  // Held by sync start, so the send thread leaves the queue as it is while it is counted.
  const bool ok =
      exporter && zeplog::ZEPLog::init("http://127.0.0.1:9/", "app", "1", zeplog::SyncStart::On);
  zeplog::ZEPLog::info(nullptr, "hello from an installed library");
  // The session event and the log call.
  const bool queued = zeplog::ZEPLog::queueSize() == 2 && zeplog::ZEPLog::counters().delivered == 0;
  const bool formatter = zeplog::kstVelaFormatter::uuid().has_value();
  const bool json = jsonSurface();
  const bool events = eventSurface();
  std::printf("init %s, queued %s, formatter %s, json %s, events %s\n", ok ? "ok" : "failed",
              queued ? "ok" : "wrong", formatter ? "ok" : "missing", json ? "ok" : "wrong",
              events ? "ok" : "wrong");
  return ok && queued && formatter && json && events ? 0 : 1;
}
