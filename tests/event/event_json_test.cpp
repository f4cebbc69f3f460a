#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using nlohmann::json;

class EventJsonTest : public test::LibraryTest {
 protected:
  static VelaEventPtr event(OptText logType, FieldsPtr fields, std::int64_t sendTime = 1234,
                            OptText host = std::nullopt) {
    return std::make_shared<VelaEvent>("app", "1.0", std::move(logType), "mac-log",
                                       Bytes("body text"), sendTime, std::move(host),
                                       std::move(fields), "0");
  }
  // Parsed strictly: a parse failure fails the test.
  static json parse(const std::string& text) { return json::parse(text); }
};

TEST_F(EventJsonTest, MembersAreStringsAndZeroSendTimeIsLeftOut) {
  auto f = std::make_shared<Fields>();
  f->set("logLevel", Bytes("INFO"));
  json o = parse(ZEPLog::getJsonFromVelaEvent(event("vela2-log", f)));
  EXPECT_EQ(o, json({{"projectName", "app"},
                     {"projectVersion", "1.0"},
                     {"logType", "vela2-log"},
                     {"logSource", "mac-log"},
                     {"body", "body text"},
                     {"sendTime", "1234"},
                     {"logLevel", "INFO"}}));
  json z = parse(ZEPLog::getJsonFromVelaEvent(event("vela2-log", f, 0)));
  EXPECT_FALSE(z.contains("sendTime"));
  EXPECT_EQ(ZEPLog::getJsonFromVelaEvent(nullptr), "{}");
  EXPECT_EQ(ZEPLog::getJsonFromVelaEvent(std::make_shared<VelaEvent>()), "{}");
}

TEST_F(EventJsonTest, HostOnlyWhileHostReportingIsOff) {
  auto e = event("x", nullptr, 1, std::string("-"));
  EXPECT_FALSE(parse(ZEPLog::getJsonFromVelaEvent(e)).contains("host"));
  EXPECT_TRUE(console.contains("Host Field is nil - Process in Collector"));
  ZEPLog::enableHost(false);
  EXPECT_EQ(parse(ZEPLog::getJsonFromVelaEvent(e))["host"], "-");
  EXPECT_FALSE(parse(ZEPLog::getJsonFromVelaEvent(event("x", nullptr))).contains("host"));
}

TEST_F(EventJsonTest, SessionIdStaysOnlyOnSessionAndCrashEvents) {
  auto withSession = [] {
    auto f = std::make_shared<Fields>();
    f->set("SessionID", Bytes("S"));
    return f;
  };
  auto ordinary = event("vela2-log", withSession());
  EXPECT_FALSE(parse(ZEPLog::getJsonFromVelaEvent(ordinary)).contains("SessionID"));
  EXPECT_FALSE(ordinary->fields()->contains("SessionID"));  // removed from the event itself

  EXPECT_EQ(parse(ZEPLog::getJsonFromVelaEvent(event("SESSION", withSession())))["SessionID"], "S");
  auto crash = withSession();
  crash->set("DmpData", Bytes("dump"));
  EXPECT_EQ(parse(ZEPLog::getJsonFromVelaEvent(event("CRASH", crash)))["SessionID"], "S");
}

TEST_F(EventJsonTest, FieldsReplaceMembersAndBulkIndexComesLast) {
  auto f = std::make_shared<Fields>();
  f->set("body", std::string("from fields"));
  f->set("kstBulkIndex", std::string("99"));
  const std::string text = ZEPLog::getJsonFromVelaEvent(event("x", f), 7);
  json o = parse(text);
  EXPECT_EQ(o["body"], "from fields");
  EXPECT_EQ(o["kstBulkIndex"], "7");
  EXPECT_TRUE(text.ends_with(",\"kstBulkIndex\":\"7\"}")) << text;
}

TEST_F(EventJsonTest, EveryEventIsValidJsonWhateverTheTextHolds) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1"));
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
  const std::string big(64 * 1024, 'x');
  ZEPLog::setCustomField(controls + "\xFF", "custom");
  ZEPLog::error(controls, "ctl " + controls + " \"q\" \\ /");
  ZEPLog::info("\xC3", "bad \xED\xA0\x80 utf8");
  ZEPLog::warn(Text(), big);
  ZEPLog::handledError("msg\x01", "stack\x1F\xFE");
  kstVelaBlockQueue* q = detail::blockQueue();
  int n = q->queueCount();
  ASSERT_EQ(n, 5);  // the session event and four more
  for (int i = 0; i < n; ++i) {
    VelaEventPtr e = q->dequeue();
    ASSERT_TRUE(ZEPLog::copyCommonFields(*e->fields(), "0"));
    const std::string text = ZEPLog::getJsonFromVelaEvent(e, i);
    json o;
    ASSERT_NO_THROW(o = parse(text)) << text.substr(0, 200);
    EXPECT_EQ(o["kstBulkIndex"], std::to_string(i));
    EXPECT_TRUE(o["custom"].get<std::string>().starts_with(controls));
  }
}

TEST_F(EventJsonTest, CommonFieldsOverwriteSomeAndNeverReplaceOthers) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1", "user-9"));
  ZEPLog::setCustomField("custom value", "mine");
  ZEPLog::setCustomField("from custom", "already");
  Fields f;
  f.set("Platform", Bytes("old"));
  f.set("UserID", Bytes("old"));
  f.set("already", std::string("event's own"));
  ASSERT_TRUE(ZEPLog::copyCommonFields(f));
  EXPECT_TRUE(std::get<Bytes>(*f.find("Platform")).data.starts_with("MacOS X "));
  EXPECT_GT(std::get<Bytes>(*f.find("Platform")).size(), 8u);
  EXPECT_EQ(std::get<Bytes>(*f.find("UserID")).data, "user-9");
  EXPECT_EQ(std::get<Bytes>(*f.find("NetworkType")).data, "Wi-Fi");  // loopback collector
  EXPECT_EQ(std::get<std::string>(*f.find("already")), "event's own");
  // Byte values arrive as text.
  EXPECT_EQ(std::get<std::string>(*f.find("mine")), "custom value");
  EXPECT_EQ(std::get<std::string>(*f.find("logVersion")), "v2");
  EXPECT_TRUE(console.contains("load / mine:custom value"));

  Fields none;
  EXPECT_FALSE(ZEPLog::copyCommonFields(none, "nobody"));
  EXPECT_TRUE(none.empty());
}

TEST_F(EventJsonTest, NetworkTypeWithoutConnection) {
  ASSERT_TRUE(ZEPLog::init("https://collector.zeplog.invalid", "app", "1"));
  Fields f;
  ASSERT_TRUE(ZEPLog::copyCommonFields(f));
  EXPECT_EQ(std::get<Bytes>(*f.find("NetworkType")).data, "No Connection");
}

TEST_F(EventJsonTest, IdToNSStringReadsOnlyByteData) {
  FieldValue text = std::string("INFO");
  FieldValue bytes = Bytes("INFO");
  FieldValue bad = Bytes("\xFF");
  EXPECT_EQ(ZEPLog::idToNSString(&text), "");
  EXPECT_EQ(ZEPLog::idToNSString(&bytes), "INFO");
  EXPECT_EQ(ZEPLog::idToNSString(nullptr), "");
  EXPECT_EQ(ZEPLog::idToNSString(&bad), std::nullopt);
}

TEST_F(EventJsonTest, IpAddressIsDottedIPv4) {
  const std::string ip = ZEPLog::getIPAddress();
  int dots = 0;
  for (char c : ip) {
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || c == '.') << ip;
    dots += c == '.';
  }
  EXPECT_EQ(dots, 3) << ip;
  EXPECT_NE(ip.rfind("127.", 0), 0u) << "loopback is never reported";
}

}  // namespace
}  // namespace zeplog
