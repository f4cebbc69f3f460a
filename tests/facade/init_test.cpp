#include <gtest/gtest.h>

#include <functional>

#include "dev_collector.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// Loopback only: the collector address is never contacted by initialisation.
constexpr const char* kUrl = "http://127.0.0.1:8765";

class InitTest : public test::LibraryTest {
 protected:
  // Serves the settings on loopback, so a test can see the settings thread take a handle id
  // from the handler queue (it takes them as soon as they come).
  std::unique_ptr<tools::DevCollector> startSettingsServer() {
    tools::CollectorOptions options;
    options.keepAliveSeconds = 1;
    auto server = std::make_unique<tools::DevCollector>(options);
    EXPECT_TRUE(server->start());
    EXPECT_TRUE(ZEPLog::setSettingsBaseURL(server->baseUrl() + "/v2/"));
    return server;
  }

  static std::string bytesField(const kstVelaHandle& h, std::string_view key) {
    const FieldValue* v = h.customFields->find(key);
    if (!v) return "<absent>";
    return std::holds_alternative<Bytes>(*v) ? std::get<Bytes>(*v).data
                                             : "text:" + std::get<std::string>(*v);
  }
};

TEST_F(InitTest, AutomaticIdsCountUpAndAClashStillConsumesTheNumber) {
  EXPECT_TRUE(ZEPLog::init(kUrl, "app", "1.0"));
  EXPECT_TRUE(ZEPLog::init(kUrl, "app", "1.0", Text(), "2"));  // explicit "2"
  EXPECT_TRUE(ZEPLog::init(kUrl, "app", "1.0"));               // "1"
  EXPECT_FALSE(ZEPLog::init(kUrl, "app", "1.0"));              // "2" is taken
  EXPECT_TRUE(console.contains("init failed. already exists handleId : 2"));
  EXPECT_TRUE(ZEPLog::init(kUrl, "app", "1.0"));  // "3"
  for (const char* id : {"0", "1", "2", "3"}) EXPECT_NE(ZEPLog::kst_getHandler(id), nullptr) << id;
  EXPECT_EQ(ZEPLog::kst_getHandler("4"), nullptr);
}

TEST_F(InitTest, FullFormFillsTheRecordAndSystemFields) {
  ASSERT_TRUE(ZEPLog::init("https://logs.example.invalid/", 8443, 0, "my-app_1", "2.3.4-b",
                           "user-7", CrashCapture::Off, SyncStart::Off, Text(), "h1"));
  auto h = ZEPLog::kst_getHandler("h1");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->collectorUrl, "logs.example.invalid/");
  EXPECT_EQ(h->collectorPort, 8443);
  EXPECT_EQ(h->protocol, 0);
  EXPECT_EQ(h->projectName, "my-app_1");
  EXPECT_EQ(h->projectVersion, "2.3.4-b");
  EXPECT_EQ(h->userId, "user-7");
  EXPECT_EQ(h->logType, "vela2-log");
  EXPECT_EQ(h->logSource, "mac-log");
  EXPECT_TRUE(h->isDeduplicate);
  EXPECT_FALSE(h->isSettings);

  std::vector<std::string> keys = h->customFields->keys();
  ASSERT_EQ(keys, (std::vector<std::string>{"logVersion", "SymMethod", "CrashStyle", "SdkVersion",
                                            "SessionID", "DeviceID"}));
  EXPECT_EQ(bytesField(*h, "logVersion"), "v2");
  EXPECT_EQ(bytesField(*h, "SymMethod"), "dwarf-apple");
  EXPECT_EQ(bytesField(*h, "CrashStyle"), "ios-objc");
  EXPECT_EQ(bytesField(*h, "SdkVersion"), "brisk-kestrel-iOS-sdk-2.6.9");
  EXPECT_EQ(bytesField(*h, "SessionID").size(), 36u);
  // The device id is the one field kept as text.
  EXPECT_EQ(bytesField(*h, "DeviceID"), "text:" + *ZEPLog::getDeviceID());
  EXPECT_TRUE(console.contains("unity not falg"));
  EXPECT_TRUE(console.contains("init done"));
}

TEST_F(InitTest, UrlFormsTakePortAndProtocolFromTheScheme) {
  ASSERT_TRUE(ZEPLog::init("HTTPS://127.0.0.1/", "app", "1", Text(), "s"));
  ASSERT_TRUE(ZEPLog::init("Http://127.0.0.1/", "app", "1", Text(), "p"));
  EXPECT_EQ(ZEPLog::kst_getHandler("s")->collectorPort, 443);
  EXPECT_EQ(ZEPLog::kst_getHandler("s")->protocol, 0);
  EXPECT_EQ(ZEPLog::kst_getHandler("p")->collectorPort, 80);
  EXPECT_EQ(ZEPLog::kst_getHandler("p")->protocol, 1);

  EXPECT_FALSE(ZEPLog::init("ftp://127.0.0.1/", "app", "1"));
  EXPECT_TRUE(console.contains("server url is invalid"));
  EXPECT_EQ(ZEPLog::kst_getHandler("0"), nullptr);
}

TEST_F(InitTest, ExplicitPortFormsUseHttpOnlyOnPort80) {
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", 80, "app", "1", Text(), "a"));
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", 8080, "app", "1", Text(), "b"));
  EXPECT_EQ(ZEPLog::kst_getHandler("a")->protocol, 1);
  EXPECT_EQ(ZEPLog::kst_getHandler("b")->protocol, 0);
  // Without "://" the whole text is the collector address.
  EXPECT_EQ(ZEPLog::kst_getHandler("a")->collectorUrl, "127.0.0.1");
}

TEST_F(InitTest, EveryParameterFailureHasItsLineAndChangesNothing) {
  struct Case {
    std::function<bool()> init;
    const char* line;
  };
  const Case cases[] = {
      {[] { return ZEPLog::init(Text(), 443, 0, "app", "1", Text()); }, "invalid parameters"},
      {[] { return ZEPLog::init(kUrl, 443, 0, Text(), "1", Text()); }, "invalid parameters"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "app", Text(), Text()); }, "invalid parameters"},
      {[] { return ZEPLog::init(kUrl, 443, 2, "app", "1", Text()); }, "unsupported protocol"},
      {[] { return ZEPLog::init(kUrl, 443, -1, "app", "1", Text()); }, "unsupported protocol"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "", "1", Text()); }, "invalid appkey"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "-app", "1", Text()); }, "invalid appkey"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "my app", "1", Text()); }, "invalid appkey"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "app\n", "1", Text()); }, "invalid appkey"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "app", ".1", Text()); }, "invalid version"},
      {[] { return ZEPLog::init(kUrl, 443, 0, "app", "1 2", Text()); }, "invalid version"},
  };
  for (const Case& c : cases) {
    console.clear();
    EXPECT_FALSE(c.init()) << c.line;
    // The case's own line is the last one it wrote.
    ASSERT_FALSE(console.lines().empty()) << c.line;
    EXPECT_TRUE(console.lines().back().ends_with(c.line)) << console.lines().back();
  }
  console.clear();
  EXPECT_FALSE(ZEPLog::init(kUrl, 443, 0, "-app", "1", Text()));
  EXPECT_FALSE(ZEPLog::init(kUrl, 443, 0, "app", ".1", Text()));
  EXPECT_TRUE(
      console.contains("-app is invalid, only allow to include a-z,A-Z,0-9, and start "
                       "with alphabet"));
  EXPECT_TRUE(console.contains(
      ".1 is invalid, only allow to include a-z,A-Z,0-9 . and start with alphabet"));
  EXPECT_FALSE(detail::globals().gs_commonInit);
  EXPECT_EQ(ZEPLog::queueSize(), -1);
}

TEST_F(InitTest, PatternsAcceptWhatTheyShould) {
  EXPECT_TRUE(ZEPLog::isValidAppKey("1app"));  // a digit first is accepted
  EXPECT_TRUE(ZEPLog::isValidAppKey("a-b_c"));
  EXPECT_TRUE(ZEPLog::isValidVersion("1.2.3"));
  EXPECT_TRUE(ZEPLog::isValidVersion("v1-rc_2"));
  EXPECT_FALSE(ZEPLog::isValidAppKey("a.b"));
  EXPECT_TRUE(ZEPLog::isValidField("aB-_9"));
  EXPECT_FALSE(ZEPLog::isValidField("9a"));
  EXPECT_FALSE(ZEPLog::isValidField(Text()));
  // Long input is matched in linear time without recursion.
  EXPECT_TRUE(ZEPLog::isValidAppKey(std::string(1 << 20, 'a')));
}

TEST_F(InitTest, UnityModeIsSetOnceAndOnlyItsCallsGetTheField) {
  ASSERT_TRUE(
      ZEPLog::init(kUrl, 8765, 1, "app", "1", Text(), CrashCapture::Off, SyncStart::Off, "2021.3"));
  ASSERT_TRUE(ZEPLog::init(kUrl, 8765, 1, "app", "1", Text(), CrashCapture::Off, SyncStart::Off,
                           ""));  // empty counts as none
  EXPECT_TRUE(detail::globals().gs_isUnity);
  EXPECT_EQ(bytesField(*ZEPLog::kst_getHandler("0"), "Unity"), "2021.3");
  EXPECT_EQ(bytesField(*ZEPLog::kst_getHandler("1"), "Unity"), "<absent>");
}

TEST_F(InitTest, WardKitStartsNoSessionAndLeavesTheCrashDecision) {
  auto settings = startSettingsServer();
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1", Text(), "WardKit"));
  auto wk = ZEPLog::kst_getHandler("WardKit");
  ASSERT_NE(wk, nullptr);
  EXPECT_TRUE(wk->isSettings);
  EXPECT_EQ(ZEPLog::queueSize(), 0);  // no session event
  EXPECT_EQ(detail::blockQueue()->queueSize_handler(), 0);
  EXPECT_FALSE(detail::globals().gs_crashReporterFlag);

  // Held by sync start, so the send thread leaves the session event in the queue.
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1", SyncStart::On));
  EXPECT_TRUE(detail::globals().gs_crashReporterFlag);
  EXPECT_EQ(ZEPLog::queueSize(), 1);  // the session event of handle "0"
  // Handle "0" is fetched its settings; WardKit never was.
  EXPECT_TRUE(settings->waitForRequests("/v2/", 1, std::chrono::seconds(30)));
  ASSERT_EQ(settings->requests().size(), 1u);
  EXPECT_EQ(settings->requests()[0].path, "/v2/app/logsconf");
  VelaEventPtr session = detail::blockQueue()->dequeue();
  EXPECT_EQ(session->logType(), "SESSION");
  EXPECT_EQ(session->handleId(), "0");
}

TEST_F(InitTest, SyncStartHoldIsSetAndReleased) {
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1", SyncStart::On));
  EXPECT_TRUE(detail::globals().gs_SyncSend.load());
  ZEPLog::startSendThread();
  EXPECT_FALSE(detail::globals().gs_SyncSend.load());

  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1", SyncStart::On));
  EXPECT_TRUE(detail::globals().gs_SyncSend.load());
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1"));  // a later init without the switch releases it
  EXPECT_FALSE(detail::globals().gs_SyncSend.load());
}

TEST_F(InitTest, SecondHandleOfAProjectKeepsItsBatch) {
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1"));
  auto first = *detail::globals().gs_bulkObjectManager->find("app");
  first->push(std::make_shared<VelaEvent>());
  ASSERT_TRUE(ZEPLog::init(kUrl, "app", "1", Text(), "other"));
  EXPECT_EQ(*detail::globals().gs_bulkObjectManager->find("app"), first);
  EXPECT_EQ(first->size(), 1u);
}

TEST_F(InitTest, LookupsBeforeInitAndWithAbsentIdsFindNothing) {
  EXPECT_EQ(ZEPLog::kst_getHandler("0"), nullptr);
  ZEPLog::kst_setHandler("0");  // no registry yet: nothing stored
  EXPECT_EQ(ZEPLog::kst_getHandler("0"), nullptr);
  EXPECT_EQ(ZEPLog::kst_getHandler(Text()), nullptr);
  EXPECT_TRUE(console.contains("handlerName is null"));
  EXPECT_EQ(ZEPLog::queueSize(), -1);
  EXPECT_EQ(ZEPLog::fileQueueSize(), -1);
}

TEST_F(InitTest, NetworkStateOfALoopbackCollector) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8080/ingest", "app", "1"));
  const auto& net = detail::globals().gs_network_handle;
  ASSERT_NE(net->reachability, nullptr);
  EXPECT_TRUE(net->isReachable);  // the port and path are not part of the watched name
  EXPECT_EQ(net->networkType, "Wi-Fi");
}

TEST_F(InitTest, UnresolvableCollectorStillInitialises) {
  ASSERT_TRUE(ZEPLog::init("https://collector.zeplog.invalid", "app", "1"));
  const auto& net = detail::globals().gs_network_handle;
  EXPECT_FALSE(net->isReachable);
  EXPECT_EQ(net->networkType, "NONE");
}

TEST_F(InitTest, SmallHelpers) {
  EXPECT_EQ(ZEPLog::getDefaultPortFromURL("hTTps://x"), 443);
  EXPECT_EQ(ZEPLog::getDefaultPortFromURL("httpx://x"), 80);
  EXPECT_EQ(ZEPLog::getDefaultPortFromURL(" http://x"), -1);
  EXPECT_EQ(ZEPLog::getDefaultPortFromURL(Text()), -1);
  EXPECT_EQ(ZEPLog::removeURLPrefix("https://a/b://c"), "a/b://c");
  EXPECT_TRUE(ZEPLog::isStringEmpty(Text()));
  EXPECT_TRUE(ZEPLog::isStringEmpty(""));
  EXPECT_FALSE(ZEPLog::isStringEmpty(" "));
  std::string uuid = ZEPLog::generateUUID();
  ASSERT_EQ(uuid.size(), 36u);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(uuid[i], '-');
    } else {
      EXPECT_TRUE(std::isdigit(uuid[i]) || (uuid[i] >= 'A' && uuid[i] <= 'F')) << uuid;
    }
  }
  EXPECT_NE(uuid, ZEPLog::generateUUID());
}

TEST_F(InitTest, HostSwitchAndDebugMode) {
  ZEPLog::setDebugMode(true);
  EXPECT_EQ(ZEPLog::getHost(), std::nullopt);
  ZEPLog::enableHost(false);
  EXPECT_EQ(ZEPLog::getHost(), "-");
  ZEPLog::enableHost(true);
  EXPECT_EQ(ZEPLog::getHost(), std::nullopt);
}

}  // namespace
}  // namespace zeplog

namespace zeplog {
namespace {

TEST_F(InitTest, EmptyHandleIdIsAHandleLikeAnyOther) {
  auto settings = startSettingsServer();
  ASSERT_TRUE(ZEPLog::init(kUrl, 80, "app", "1", "u", ""));
  EXPECT_NE(ZEPLog::kst_getHandler(""), nullptr);
  // It gets its settings like every ordinary handle.
  EXPECT_TRUE(settings->waitForRequests("/v2/app/logsconf", 1, std::chrono::seconds(30)));
}

TEST_F(InitTest, RemovingAnAbsentKeyStillReportsAnUnknownHandle) {
  ZEPLog::removeCustomFieldForKey(Text(), "nobody");
  EXPECT_TRUE(console.contains("handle not found"));
}

}  // namespace
}  // namespace zeplog
