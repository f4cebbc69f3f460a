// The settings thread against the development collector on loopback.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "common/files.hpp"
#include "event/handle_registry.hpp"
#include "settings/network_pulse_store.hpp"
#include "settings/settings_url.hpp"
#include "settings_fixture.hpp"

namespace zeplog {
namespace {

using test::SettingsTest;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Switches {
  bool log, session, crash, pulse;
  friend bool operator==(const Switches&, const Switches&) = default;
  friend std::ostream& operator<<(std::ostream& o, const Switches& s) {
    return o << "log=" << s.log << " session=" << s.session << " crash=" << s.crash
             << " pulse=" << s.pulse;
  }
};

Switches switchesOf(const std::string& handleId) {
  auto h = detail::getHandler(handleId);
  detail::GlobalLock lock(detail::global_resource_lock());
  return {h->isLog, h->isSession, h->isCrash, h->isNetworkPulse};
}

// A port on loopback where nothing listens: bound by a collector that is then stopped.
int closedPort() {
  tools::DevCollector c{tools::CollectorOptions{}};
  EXPECT_TRUE(c.start());
  const int port = c.port();
  c.stop();
  return port;
}

TEST_F(SettingsTest, Status200SetsTheSwitchesSavesTheAnswerAndQueuesItsProbes) {
  const std::string body =
      R"({"status":200,"result":{"log":{"enable":false},"session":{"enable":"yes"},)"
      R"("crash":{"enable":0},"networkpulses":{"enable":true,"urls":[")" +
      collector.baseUrl() + R"(/probe/one"]}}})";
  collector.setSettingsBody(body);
  ASSERT_TRUE(initHandle("game", "h"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();

  EXPECT_EQ(switchesOf("h"), (Switches{false, true, false, true}));
  EXPECT_TRUE(detail::getHandler("h")->isSettings);
  EXPECT_TRUE(console.contains("] NetworkPulse status : 200"));
  EXPECT_TRUE(console.contains("] Session : true"));
  EXPECT_TRUE(console.contains("] Log : false"));
  EXPECT_TRUE(console.contains("] Crash : false"));
  EXPECT_TRUE(console.contains("] NetworkPulse : true"));
  EXPECT_FALSE(detail::globals().gs_ThreadStop.load());
  EXPECT_EQ(requestedPaths().front(), "/v2/game/logsconf");

  // The answer is kept, as it came, in a file only the user can read.
  const std::string path = NetworkPulseStore::settingFilePath();
  EXPECT_EQ(path, dataDir.path() + "/KST_iOS_SETTING_FILE");
  EXPECT_EQ(readFile(path), body);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The probe's result follows the session event on the main queue.
  VelaEventPtr result = takeEventOfType("NETWORKPULSES");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->handleId(), "h");
  EXPECT_EQ(result->projectName(), "game");
  EXPECT_EQ(result->body()->data, "NETWORKPULSES LOG");
  EXPECT_EQ(field(result, "Url"), collector.baseUrl() + "/probe/one");
  EXPECT_EQ(field(result, "Status"), "200");
  EXPECT_EQ(field(result, "NPVersion"), "1.0.0");
  EXPECT_EQ(field(result, "logLevel"), "INFO");
  const std::string latency = field(result, "Latency");
  EXPECT_FALSE(latency.empty());
  EXPECT_EQ(latency.find_first_not_of("0123456789"), std::string::npos) << latency;
  // The common fields come first, the probe's own fields after them.
  std::vector<std::string> keys = result->fields()->keys();
  ASSERT_GE(keys.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(keys.end() - 5, keys.end()),
            (std::vector<std::string>{"NPVersion", "Url", "Latency", "Status", "logLevel"}));
  EXPECT_GT(keys.size(), 5u);
}

TEST_F(SettingsTest, AnAnswerThatIsNot200TurnsLogSessionCrashOnAndProbingOff) {
  // Every switch off in the answer, but its status is 201: it is saved and its probe is
  // queued, yet the switches end as log, session and crash on, probing off, so the probe is
  // skipped. A later handle's probe shows the queue has moved past it.
  collector.setSettingsBody(
      R"({"status":201,"result":{"log":{"enable":false},"session":{"enable":false},)"
      R"("crash":{"enable":false},"networkpulses":{"enable":true,"urls":[")" +
      collector.baseUrl() + R"(/probe/skipped"]}}})");
  ASSERT_TRUE(initHandle("first", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_TRUE(console.contains("] NetworkPulse status : 201"));
  EXPECT_EQ(switchesOf("a"), (Switches{true, true, true, false}));
  EXPECT_NE(readFile(NetworkPulseStore::settingFilePath()).find("\"status\":201"),
            std::string::npos);

  collector.setSettingsBody(R"({"status":200,"result":{"networkpulses":{"enable":"1","urls":[")" +
                            collector.baseUrl() + R"(/probe/taken"]}}})");
  ASSERT_TRUE(initHandle("second", "b"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();
  // Status 200 without log, session or crash values: those are off.
  EXPECT_EQ(switchesOf("b"), (Switches{false, false, false, true}));
  VelaEventPtr result = takeEventOfType("NETWORKPULSES");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->handleId(), "b");
  EXPECT_EQ(requestedPaths(), (std::vector<std::string>{"/v2/first/logsconf", "/v2/second/logsconf",
                                                        "/probe/taken"}));
}

TEST_F(SettingsTest, AnswersThatAreNotJsonOrNotObjectsTurnLogSessionCrashOn) {
  collector.setSettingsBody("<html>busy</html>");
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_TRUE(console.contains("] NetworkPulse status : 0"));
  EXPECT_EQ(switchesOf("a"), (Switches{true, true, true, false}));

  collector.setSettingsBody(R"([{"status":200}])");
  ASSERT_TRUE(initHandle("app", "b"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();
  EXPECT_TRUE(console.contains("settings answer is not a JSON object"));
  EXPECT_EQ(switchesOf("b"), (Switches{true, true, true, false}));

  // Null where a switch is expected: the answer breaks off, log, session and crash on;
  // probing was read before the null and stays as the answer gave it.
  collector.setSettingsBody(
      R"({"status":200,"result":{"log":{"enable":null},"networkpulses":{"enable":true}}})");
  ASSERT_TRUE(initHandle("app", "c"));
  ASSERT_TRUE(waitForFetches(3)) << console.all();
  EXPECT_EQ(switchesOf("c"), (Switches{true, true, true, true}));
}

TEST_F(SettingsTest, WithNoBaseChosenTheCollectorAnswersForItsOwnSettings) {
  detail::forgetSettingsBaseURL();
  collector.setSettingsBody(R"({"status":200,"result":{"log":{"enable":false}}})");
  ASSERT_TRUE(initHandle("game", "h"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_EQ(requestedPaths().at(0), "/v2/game/logsconf");
  EXPECT_FALSE(detail::getHandler("h")->isLog);
}

TEST_F(SettingsTest, ARefusedFetchWithoutASavedAnswerTurnsLogSessionCrashOn) {
  // Point the settings at a port where nothing listens; the fixture's base was set before
  // any initialisation, so it may still be replaced.
  ASSERT_TRUE(
      ZEPLog::setSettingsBaseURL("http://127.0.0.1:" + std::to_string(closedPort()) + "/v2/"));
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_TRUE(console.contains("] NetworkPulse Connection Failed"));
  EXPECT_EQ(switchesOf("a"), (Switches{true, true, true, false}));
  EXPECT_TRUE(detail::getHandler("a")->isSettings);
  EXPECT_FALSE(detail::fileExists(NetworkPulseStore::settingFilePath()));
}

TEST_F(SettingsTest, ARefusedFetchAppliesTheSavedAnswerEvenOfAnotherProject) {
  writeFile(dataDir.path() + "/KST_iOS_SETTING_FILE",
            R"({"status":200,"result":{"log":{"enable":true},"session":{"enable":"no"},)"
            R"("crash":{"enable":"0"},"networkpulses":{"enable":false}}})");
  ASSERT_TRUE(
      ZEPLog::setSettingsBaseURL("http://127.0.0.1:" + std::to_string(closedPort()) + "/v2/"));
  ASSERT_TRUE(initHandle("other", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_TRUE(console.contains("] NetworkPulse Connection Failed"));
  EXPECT_EQ(switchesOf("a"), (Switches{true, false, false, false}));
}

TEST_F(SettingsTest, ARefusedFetchJudgesTheSavedAnswerByItsStatus) {
  // A saved error answer (status 500, its switches off) stands in for a failed fetch as it
  // did when it came: log, session and crash on.
  writeFile(dataDir.path() + "/KST_iOS_SETTING_FILE",
            R"({"status":500,"result":{"log":{"enable":false},"session":{"enable":false},)"
            R"("crash":{"enable":false}}})");
  ASSERT_TRUE(
      ZEPLog::setSettingsBaseURL("http://127.0.0.1:" + std::to_string(closedPort()) + "/v2/"));
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_EQ(switchesOf("a"), (Switches{true, true, true, false}));

  // So does an empty file, saved from an empty answer.
  writeFile(dataDir.path() + "/KST_iOS_SETTING_FILE", "");
  ASSERT_TRUE(initHandle("app", "b"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();
  EXPECT_EQ(switchesOf("b"), (Switches{true, true, true, false}));
}

TEST_F(SettingsTest, AnIdWithoutHandleReleasesTheHoldAndTheNextIdIsServed) {
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  detail::blockQueue()->enqueue_handler(std::string("nobody"));
  ASSERT_TRUE(console.waitFor("] handler is null")) << console.all();
  ASSERT_TRUE(initHandle("later", "b"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();
  EXPECT_TRUE(detail::getHandler("b")->isSettings);
  EXPECT_FALSE(detail::globals().gs_ThreadStop.load());
  EXPECT_EQ(requestedPaths(), (std::vector<std::string>{"/v2/app/logsconf", "/v2/later/logsconf"}));
}

TEST_F(SettingsTest, TheThreadsStartOncePerProcess) {
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(initHandle("app", "b"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();
  EXPECT_FALSE(ZEPLog::createPerformanceThread());
  EXPECT_EQ(console.count("] performanceThread start"), 1);
  EXPECT_EQ(console.count("] performanceSendThread start"), 1);
}

TEST_F(SettingsTest, TheSettingsBaseCanBeReplacedOnlyBeforeTheFirstInitialisation) {
  EXPECT_FALSE(ZEPLog::setSettingsBaseURL("ftp://127.0.0.1/v2/"));
  EXPECT_FALSE(ZEPLog::setSettingsBaseURL("http:///v2/"));
  EXPECT_FALSE(ZEPLog::setSettingsBaseURL(Text()));
  EXPECT_TRUE(console.contains("setSettingsBaseURL ignored"));
  ASSERT_TRUE(initHandle("app", "a"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  EXPECT_FALSE(ZEPLog::setSettingsBaseURL("http://127.0.0.1:1/v2/"));
  EXPECT_TRUE(console.contains("call it before the first initialisation"));
  // The base without its trailing "/" (the fixture's) got one.
  EXPECT_EQ(requestedPaths().front(), "/v2/app/logsconf");
}

}  // namespace
}  // namespace zeplog
