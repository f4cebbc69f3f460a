// The demo: initialises a handle against a local collector address, logs through the API and
// shows what the library did with each call: the handles, the queue, the network state and
// the JSON object each queued event becomes on the wire.
#include <cstdio>
#include <filesystem>
#include <string>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/reachability.hpp"
#include "zeplog/zeplog.hpp"

using zeplog::CrashCapture;
using zeplog::SyncStart;
using zeplog::Text;
using zeplog::ZEPLog;

namespace {

void section(const char* title) { std::printf("\n== %s\n", title); }

void showHandle(const char* id) {
  auto h = ZEPLog::kst_getHandler(id);
  if (!h) {
    std::printf("handle %-8s (none)\n", id);
    return;
  }
  std::printf("handle %-8s project=%s version=%s collector=%s port=%lld protocol=%s\n", id,
              h->projectName.value_or("-").c_str(), h->projectVersion.value_or("-").c_str(),
              h->collectorUrl.value_or("-").c_str(), static_cast<long long>(h->collectorPort),
              h->protocol == 1 ? "HTTP" : "HTTPS");
  std::printf("       custom fields:");
  for (const auto& [key, value] : *h->customFields) std::printf(" %s", key.c_str());
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string collector = argc > 1 ? argv[1] : "http://127.0.0.1:8765/";
  const std::string dataDir = (std::filesystem::temp_directory_path() / "zeplog-demo").string();
  ZEPLog::setDataDirectory(dataDir);
  // Console lines go to stdout, prefixed, so they read in order with the demo's own lines.
  // The per-field "load /" lines of the common fields are counted, not shown.
  static int loadLines = 0;
  ZEPLog::setConsoleHandler([](std::string_view line) {
    if (line.find("] load / ") != std::string_view::npos) {
      ++loadLines;
      return;
    }
    std::printf("  console| %.*s\n", static_cast<int>(line.size()), line.data());
  });

  section("Initialisation");
  std::printf("collector %s, data directory %s\n", collector.c_str(), dataDir.c_str());
  bool ok = ZEPLog::init(collector, "demo-app", "1.0.0", "player-42");
  std::printf("init handle \"0\": %s\n", ok ? "true" : "false");
  ok = ZEPLog::init(collector, "demo-app", "1.0.0", Text(), "WardKit");
  std::printf("init handle \"WardKit\": %s\n", ok ? "true" : "false");
  ok = ZEPLog::init("ftp://127.0.0.1/", "demo-app", "1.0.0");
  std::printf("init with an ftp URL: %s\n", ok ? "true" : "false");
  ok = ZEPLog::init(collector, 443, 0, "bad key", "1.0", Text());
  std::printf("init with app key \"bad key\": %s\n", ok ? "true" : "false");
  showHandle("0");
  showHandle("WardKit");

  section("Network");
  const auto& net = zeplog::detail::globals().gs_network_handle;
  std::printf("collector reachable: %s, network type: %s, flags: %s\n",
              net->isReachable ? "yes" : "no", net->networkType.value_or("-").c_str(),
              net->reachability ? net->reachability->currentReachabilityFlags().c_str() : "-");
  std::printf("device id: %s\n", ZEPLog::getDeviceID().value_or("(none)").c_str());
  std::printf("IPv4 address: %s\n", ZEPLog::getIPAddress().c_str());

  section("Log calls");
  ZEPLog::setCustomField("forest", "level_name");
  ZEPLog::info(Text(), "player entered the forest");
  ZEPLog::warn("E42", "frame took 40 ms", "render.cpp:88");
  ZEPLog::error_Wardkit(Text(), "store receipt rejected");
  ZEPLog::handledError("save failed", "IOException: disk full\n  at Save()");
  ZEPLog::info(Text(), "to an unknown handle", Text(), "nobody");
  std::printf("main queue: %d events, failed-send queue: %d events\n", ZEPLog::queueSize(),
              ZEPLog::fileQueueSize());

  section("Queued events as the collector will receive them");
  zeplog::kstVelaBlockQueue* queue = zeplog::detail::blockQueue();
  for (int i = 0, n = queue->queueCount(); i < n; ++i) {
    zeplog::VelaEventPtr event = queue->dequeue();
    ZEPLog::copyCommonFields(*event->fields(), *event->handleId());
    std::printf("%s\n", ZEPLog::getJsonFromVelaEvent(event, i).c_str());
  }
  std::printf("(%d \"load /\" console lines of the common fields not shown)\n", loadLines);
  return 0;
}
