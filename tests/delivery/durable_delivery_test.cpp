// Durable delivery end to end: a collector that refuses, then answers 503 with Retry-After,
// then 200, while events keep coming; and a process killed with its spool full, whose
// events the next run sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>

#include "common/waits.hpp"
#include "delivery/durable_delivery.hpp"
#include "delivery_helpers.hpp"
#include "support/otlp_records.hpp"
#include "transport/otlp_exporters.hpp"

namespace zeplog::test {
namespace {

using namespace std::chrono_literals;

// A port nothing listens on, until a server is started on it.
int freePort() {
  LoopbackServer probe;
  return probe.port();
}

// Waits for a condition another thread makes true; a guard against a hung test only.
template <typename F>
bool eventually(F done) {
  for (int i = 0; i < 30000 && !done(); ++i) std::this_thread::sleep_for(1ms);
  return done();
}

class DurableDeliveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    // One backoff unit is 10 ms here, so the cap is 50 ms and "Retry-After: 4" means 40 ms:
    // a jittered backoff alone would come sooner than that four times in five.
    detail::waits().retryUnit = 10ms;
    detail::waits().sendCycleSleep = 20ms;
    port = freePort();
    DurableDelivery options;
    options.maxBackoff = 5s;
    ASSERT_TRUE(ZEPLog::enableDurableDelivery(options));
  }

  bool init() { return init(port); }
  bool init(int collectorPort) {
    return ZEPLog::init("127.0.0.1", collectorPort, 1, "app", "1.0", "user-1", CrashCapture::Off,
                        SyncStart::Off, Text(), Text());
  }

  static void logRange(int from, int to) {
    for (int i = from; i < to; ++i) ZEPLog::info("", "e" + std::to_string(i));
  }

  // How often each log body "e<i>" was taken by the server (answered 200).
  static std::map<std::string, int> arrivals(const LoopbackServer& server) {
    std::map<std::string, int> out;
    for (const SeenRequest& r : server.requests())
      if (r.answered == 200)
        for (const auto& o : objectsOf(r.body))
          if (auto body = member(*o, "body"); body && body->front() == 'e') ++out[*body];
    return out;
  }

  int port = 0;
};

TEST_F(DurableDeliveryTest, AnOutageLosesNothingAndRetryAfterIsObeyed) {
  ASSERT_TRUE(init());
  logRange(0, 100);
  // Refused: nothing listens yet. The events wait in the spool through several attempts.
  ASSERT_TRUE(eventually([&] { return console.count("Request failed with error") >= 3; }));
  EXPECT_GE(detail::spoolBacklogEvents(), 100u);

  LoopbackServer server("", "", port);
  ASSERT_TRUE(server.ok());
  server.setStatus(503, "4");
  logRange(100, 200);
  ASSERT_TRUE(server.waitForRequests(6));
  server.setStatus(200);
  logRange(200, 300);
  ASSERT_TRUE(ZEPLog::flush(30s));
  EXPECT_EQ(detail::spoolBacklog(), 0u);

  const auto seen = arrivals(server);
  EXPECT_EQ(seen.size(), 300u);
  for (const auto& [body, times] : seen) EXPECT_EQ(times, 1) << body;
  // No request came before the 40 ms that an answer's "Retry-After: 4" asked for.
  const auto requests = server.requests();
  for (std::size_t i = 0; i + 1 < requests.size(); ++i) {
    if (requests[i].answered == 503) {
      EXPECT_GE(requests[i + 1].at - requests[i].at, 40ms) << i;
    }
  }
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);  // nothing went to the failed-send queue
}

// The spooled records belong to a kind of destination, not to its address: the next run
// sends them once, to the collector and the exporter where they are now, the moved
// exporter's records with this run's headers for it.
class DurableRestartTest : public DurableDeliveryTest,
                           public ::testing::WithParamInterface<bool> {};

TEST_P(DurableRestartTest, WhatAKilledProcessSpooledIsSentOnceByTheNextRun) {
  const bool moved = GetParam();
  const int otlpPort = freePort();
  const auto exporter = [](int at, const char* run) {
    return ZEPLog::addOtlpExporter(
        {"http://127.0.0.1:" + std::to_string(at), {{"X-Run", run}}, true});
  };
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // The collector and the exporter are down for the whole of this process's life.
    exporter(otlpPort, "first");
    init();
    logRange(0, 50);
    // Each batch is two records, the collector's (which counts the events) and the exporter's.
    eventually(
        [] { return detail::spoolBacklogEvents() >= 50 && detail::spoolBacklog() % 2 == 0; });
    (void)!write(ready[1], "x", 1);
    for (;;) pause();
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  LoopbackServer server("", "", moved ? freePort() : port);
  LoopbackServer otlp("", "", moved ? freePort() : otlpPort);
  ASSERT_TRUE(server.ok() && otlp.ok());
  ASSERT_TRUE(exporter(otlp.port(), "second"));
  ASSERT_TRUE(init(server.port()));
  logRange(50, 60);  // this run's own events are not held back either
  EXPECT_TRUE(ZEPLog::flush(30s));
  const auto seen = arrivals(server);
  EXPECT_EQ(seen.size(), 60u);
  for (const auto& [body, times] : seen) EXPECT_EQ(times, 1) << body;
  std::map<std::string, int> exported;
  for (const SeenRequest& r : otlp.requests()) {
    if (r.answered != 200) continue;
    for (const OtlpRecord& record : otlpRecordsOf(r.body))
      if (record.body.starts_with("e")) ++exported[record.body];
    const auto run = r.headers.find("X-Run");
    if (moved) {
      EXPECT_TRUE(run != r.headers.end() && run->second == "second");
    }
  }
  EXPECT_EQ(exported.size(), 60u);
  for (const auto& [body, times] : exported) EXPECT_EQ(times, 1) << body;
}

INSTANTIATE_TEST_SUITE_P(Rows, DurableRestartTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "DestinationsMoved"
                                                         : "SameDestinations");
                         });

// Each destination is a lane of its own: an OTLP endpoint that is down holds back its own
// requests only, and the collector gets every event meanwhile.
TEST_F(DurableDeliveryTest, AnExporterThatIsDownHoldsBackOnlyItsOwnRequests) {
  LoopbackServer server("", "", port);
  ASSERT_TRUE(server.ok());
  const std::string down = "http://127.0.0.1:" + std::to_string(freePort());
  ASSERT_TRUE(ZEPLog::addOtlpExporter({down, {}, true}));
  ASSERT_TRUE(init());
  for (int round = 1; round <= 3; ++round) {
    logRange((round - 1) * 100, round * 100);
    EXPECT_TRUE(eventually([&] { return arrivals(server).size() == round * 100u; }))
        << arrivals(server).size() << " events of " << round * 100;
  }
  for (const auto& [body, times] : arrivals(server)) EXPECT_EQ(times, 1) << body;
  EXPECT_GT(detail::spoolBacklog(), 0u);  // the exporter's requests wait for it
}

}  // namespace
}  // namespace zeplog::test
