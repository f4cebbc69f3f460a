// The demo: an application that uses ZEPLog through its public API only.
//
//   demo <collector base URL, e.g. http://127.0.0.1:8765> <data directory> [seconds]
//   demo <collector base URL> <data directory> durable <events>
//
// It points the library's settings and collector at the given server, logs at every
// level with a custom field, reports a handled exception and a Unity crash, and then stays
// alive while the library's send thread delivers, until SIGINT or SIGTERM or the given
// number of seconds (default 30) has passed: events still in memory when a process ends
// are lost, so an application that wants them delivered keeps running.
//
// With "durable", it turns durable delivery on and logs the given number of numbered events,
// ten a second, then waits until the spool is empty: stop and start the collector meanwhile,
// and every event still arrives, once.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zeplog/zeplog.hpp>

using zeplog::CrashCapture;
using zeplog::SyncStart;
using zeplog::Text;
using zeplog::ZEPLog;

namespace {

// Splits "http://host:port" into the address and the port; false when it has no port.
bool splitBaseURL(const std::string& base, std::string& address, int& port) {
  const std::size_t scheme = base.find("://");
  const std::size_t colon = base.rfind(':');
  if (scheme == std::string::npos || colon == std::string::npos || colon <= scheme) return false;
  address = base.substr(0, colon);
  port = std::atoi(base.c_str() + colon + 1);
  return port > 0;
}

// Flushes, then prints what became of the events; true when everything was delivered (in
// durable mode: when the spool is empty).
bool flushAndReport(std::chrono::seconds bound, bool durable) {
  const bool delivered = ZEPLog::flush(bound);
  const zeplog::Counters c = ZEPLog::counters();
  std::printf("demo: flush %s; %llu delivered, %llu written back, %llu dropped %s\n",
              delivered ? "delivered everything" : "did not deliver everything",
              static_cast<unsigned long long>(c.delivered),
              static_cast<unsigned long long>(c.writtenBack),
              static_cast<unsigned long long>(durable ? c.droppedFromSpool : c.droppedFromQueue),
              durable ? "from the spool" : "at a bound");
  std::fflush(stdout);
  return delivered;
}

// Durable delivery through a collector restart: numbered events, ten a second, then a flush
// that waits (up to a minute) for the spool to be empty.
int durableRun(const std::string& address, int port, int events) {
  ZEPLog::enableDurableDelivery();
  if (!ZEPLog::init(address, port, 1, "demo-durable", "1.0.0", "player-42", CrashCapture::Off,
                    SyncStart::Off))
    return 1;
  for (int i = 1; i <= events; ++i) {
    ZEPLog::info(Text(), "durable event " + std::to_string(i));
    if (i % 10 == 0) {
      std::printf("demo: durable events 1 to %d logged\n", i);
      std::fflush(stdout);
    }
    const timespec tenth{0, 100'000'000};
    nanosleep(&tenth, nullptr);
  }
  const bool delivered = flushAndReport(std::chrono::seconds(60), true);
  return delivered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo <collector base URL> <data directory> [seconds]\n");
    return 2;
  }
  const std::string base = argv[1];
  const bool durable = argc > 4 && std::string(argv[3]) == "durable";
  const int seconds = argc > 3 && !durable ? std::atoi(argv[3]) : 30;
  std::string address;
  int port = 0;
  if (!splitBaseURL(base, address, port)) {
    std::fprintf(stderr, "demo: %s is not an http://host:port URL\n", base.c_str());
    return 2;
  }

  // Block the stop signals before the library starts its threads, so they inherit the mask
  // and the signals reach the sigtimedwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  // The library's console tells every step of every event; the demo shows the lines about
  // settings, probes and requests (all of them with ZEPLOG_DEMO_VERBOSE=1).
  static const bool verbose = std::getenv("ZEPLOG_DEMO_VERBOSE") != nullptr;
  ZEPLog::setConsoleHandler([](std::string_view line) {
    static constexpr std::string_view kShown[] = {
        "init done",      "NetworkPulse",       "Session :",       "Log :",
        "Crash :",        "settings request",   "handler is null", "didReceiveResponse",
        "Request failed", "hostname could not", "enqueue to File"};
    // The message follows the "[ZEPLog] [line N] " prefix.
    const std::size_t prefixEnd = line.find("] ", line.find("[line "));
    const std::string_view message =
        prefixEnd == std::string_view::npos ? line : line.substr(prefixEnd + 2);
    bool show = verbose;
    for (std::string_view key : kShown) show = show || message.starts_with(key);
    if (!show) return;
    std::printf("  zeplog| %.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stdout);
  });
  ZEPLog::setDataDirectory(argv[2]);
  ZEPLog::setSettingsBaseURL(base + "/v2/");

  std::printf("demo: collector %s, data directory %s\n", base.c_str(), argv[2]);
  if (durable) return durableRun(address, port, std::atoi(argv[4]));
  // Protocol 1 is HTTP. The Unity version puts the library in Unity mode: after a Unity
  // crash it starts a new session.
  const bool ok = ZEPLog::init(address, port, 1, "demo", "1.0.0", "player-42", CrashCapture::Off,
                               SyncStart::Off, "2022.3.10f1");
  std::printf("demo: init %s (the session event is queued)\n", ok ? "true" : "false");
  if (!ok) return 1;

  ZEPLog::setCustomField("forest", "level_name");
  ZEPLog::debug(Text(), "loading the forest");
  ZEPLog::info(Text(), "player entered the forest");
  ZEPLog::warn("E42", "frame took 40 ms");
  ZEPLog::error("E500", "store receipt rejected");
  ZEPLog::fatal(Text(), "out of memory while loading textures");
  ZEPLog::handledError("save failed", "IOException: disk full\n  at SaveGame.Write()");
  ZEPLog::sendUnityCrash("error", "NullReferenceException",
                         "Object reference not set to an instance of an object",
                         "NullReferenceException\n  at Player.Update () [0x00012]");
  ZEPLog::info(Text(), "demo finished");
  std::printf("demo: %d events queued; flushing\n", ZEPLog::queueSize());
  // Sent now instead of at the next cycle; true once the collector has taken all of them.
  flushAndReport(std::chrono::seconds(30), false);

  const timespec bound{seconds, 0};
  siginfo_t info;
  sigtimedwait(&stop, &info, &bound);
  std::printf("demo: main queue %d, failed-send queue %d at exit\n", ZEPLog::queueSize(),
              ZEPLog::fileQueueSize());
  return 0;
}
