// Reading settings answers: boolean readings, the order switches are applied, the status.
#include "settings/settings_reader.hpp"

#include <gtest/gtest.h>

#include "settings/settings_url.hpp"

namespace zeplog::detail {
namespace {

std::optional<bool> readingOfText(const std::string& enableJson) {
  // Read through a whole answer, so the reader's own parsing (null kept as a value) counts.
  SettingsReading r = readSettings(R"({"result":{"log":{"enable":)" + enableJson + "}}}");
  if (r.failed) return std::nullopt;
  return r.isLog;
}

TEST(SettingsBoolean, TrueFalseNumbersAndStrings) {
  EXPECT_EQ(readingOfText("true"), true);
  EXPECT_EQ(readingOfText("false"), false);
  EXPECT_EQ(readingOfText("1"), true);
  EXPECT_EQ(readingOfText("-3"), true);
  EXPECT_EQ(readingOfText("0.5"), true);
  EXPECT_EQ(readingOfText("0"), false);
  EXPECT_EQ(readingOfText("0.0"), false);
  EXPECT_EQ(readingOfText("123456789012345678901234567890"), true);
  for (const char* yes : {R"("yes")", R"("Y")", R"("true")", R"("T")", R"("  +0007")", R"("-1")",
                          R"("9 lives")", R"("\ty")"}) {
    EXPECT_EQ(readingOfText(yes), true) << yes;
  }
  for (const char* no : {R"("no")", R"("0")", R"("")", R"("000")", R"("false")", R"("on")",
                         R"("enable")", R"("+")", R"("-0")", R"("x1")"}) {
    EXPECT_EQ(readingOfText(no), false) << no;
  }
}

TEST(SettingsBoolean, NullListsAndObjectsHaveNoReading) {
  EXPECT_EQ(readingOfText("null"), std::nullopt);
  EXPECT_EQ(readingOfText("[true]"), std::nullopt);
  EXPECT_EQ(readingOfText(R"({"on":true})"), std::nullopt);
  EXPECT_EQ(booleanReading(nullptr), false);  // a missing value
}

TEST(SettingsReading, AMissingValueIsOffAndTextThatIsNotJsonTurnsEverythingOff) {
  SettingsReading r = readSettings(R"({"status":200,"result":{"crash":{"enable":true}}})");
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(r.isCrash, true);
  EXPECT_EQ(r.isLog, false);
  EXPECT_EQ(r.isSession, false);
  EXPECT_EQ(r.isNetworkPulse, false);
  for (const std::optional<std::string>& text :
       {std::optional<std::string>("not json"), std::optional<std::string>(),
        std::optional<std::string>("")}) {
    SettingsReading n = readSettings(text);
    EXPECT_FALSE(n.failed);
    EXPECT_EQ(n.isLog, false);
    EXPECT_EQ(n.isSession, false);
    EXPECT_EQ(n.isCrash, false);
    EXPECT_EQ(n.isNetworkPulse, false);
  }
}

TEST(SettingsReading, URLsAreTakenOnlyWhenProbingIsOn) {
  const std::string urls = R"("urls":["http://a.invalid/",7,"https://b.invalid/x"])";
  SettingsReading on =
      readSettings(R"({"result":{"networkpulses":{"enable":"yes",)" + urls + "}}}");
  EXPECT_FALSE(on.failed);
  // Elements that are not strings are no URLs.
  EXPECT_EQ(on.urls, (std::vector<std::string>{"http://a.invalid/", "https://b.invalid/x"}));
  SettingsReading off =
      readSettings(R"({"result":{"networkpulses":{"enable":"no",)" + urls + "}}}");
  EXPECT_FALSE(off.failed);
  EXPECT_TRUE(off.urls.empty());
  // "urls" that is not a list breaks the answer only when it is to be used.
  EXPECT_TRUE(readSettings(R"({"result":{"networkpulses":{"enable":1,"urls":"x"}}})").failed);
  EXPECT_FALSE(readSettings(R"({"result":{"networkpulses":{"enable":0,"urls":"x"}}})").failed);
}

TEST(SettingsReading, ABrokenAnswerStopsWhereItBreaks) {
  // A path through something that is not an object: nothing is set.
  for (const char* text : {R"({"result":"on"})", R"({"result":{"log":true}})", R"({"result":null})",
                           R"([1,2])", R"({"result":{"networkpulses":[]}})"}) {
    SettingsReading r = readSettings(std::string(text));
    EXPECT_TRUE(r.failed) << text;
    EXPECT_FALSE(r.isNetworkPulse.has_value()) << text;
    EXPECT_FALSE(r.isLog.has_value()) << text;
  }
  // A value without a reading: the switches before it are set, none from it on.
  SettingsReading r =
      readSettings(R"({"result":{"networkpulses":{"enable":true},"crash":{"enable":true},)"
                   R"("log":{"enable":null},"session":{"enable":true}}})");
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.isNetworkPulse, true);
  EXPECT_EQ(r.isCrash, true);
  EXPECT_FALSE(r.isLog.has_value());
  EXPECT_FALSE(r.isSession.has_value());
}

TEST(SettingsStatus, IntegerReadingOfTheStatus) {
  std::string why;
  EXPECT_EQ(readSettingsStatus(R"({"status":200})", &why), 200);
  EXPECT_EQ(readSettingsStatus(R"({"status":"200 OK"})", &why), 200);
  EXPECT_EQ(readSettingsStatus(R"({"status":200.9})", &why), 200);
  EXPECT_EQ(readSettingsStatus(R"({"status":true})", &why), 1);
  EXPECT_EQ(readSettingsStatus(R"({"result":{}})", &why), 0);
  EXPECT_EQ(readSettingsStatus("not json", &why), 0);
  EXPECT_EQ(readSettingsStatus("", &why), 0);
  EXPECT_EQ(readSettingsStatus(R"({"status":99999999999999999999999})", &why),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(readSettingsStatus("[200]", &why), std::nullopt);
  EXPECT_EQ(why, "settings answer is not a JSON object");
  EXPECT_EQ(readSettingsStatus(R"({"status":null})", &why), std::nullopt);
  EXPECT_EQ(readSettingsStatus(R"({"status":[200]})", &why), std::nullopt);
}

// Without a base set by the application (and none compiled in): the collector's own
// "<address>/v2/", by the collector URL rule, or the alternate deployment's settings server
// when the collector address is exactly that deployment's. A base set by the application
// wins over both.
TEST(SettingsURL, TheBaseIsTheApplicationsElseTheAlternateDeploymentsElseTheCollectors) {
  struct Case {
    std::int64_t protocol;
    const char* address;
    std::int64_t port;
    const char* expected;
  } cases[] = {
      {1, "127.0.0.1", 8080, "http://127.0.0.1:8080/v2/game/logsconf"},
      {0, "logs.example.invalid:8443/ingest/", 443,
       "https://logs.example.invalid:8443/ingest/v2/game/logsconf"},
      {1, "::1", 9000, "http://[::1]:9000/v2/game/logsconf"},
      {1, "logs.example.invalid?x=1", 80, "http://logs.example.invalid:80/v2/game/logsconf"},
      {1, "203.0.113.10", 80, "http://203.0.113.11:10092/v2/settings/game/logsconf"},
      {1, "203.0.113.10/v2", 80, "http://203.0.113.10:80/v2/v2/game/logsconf"},
      {1, "203.0.113.100", 80, "http://203.0.113.100:80/v2/game/logsconf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(settingsURL(c.protocol, c.address, c.port, "game"), c.expected) << c.address;
  }
  ASSERT_TRUE(setSettingsBaseURL("https://127.0.0.1:9/s"));
  EXPECT_EQ(settingsURL(1, "203.0.113.10", 80, "game"), "https://127.0.0.1:9/s/game/logsconf");
  EXPECT_EQ(settingsURL(1, "127.0.0.1", 80, "game"), "https://127.0.0.1:9/s/game/logsconf");
}

}  // namespace
}  // namespace zeplog::detail
