// The spdlog sinks: spdlog messages at every level arrive at the development collector with
// the mapped level, the formatted message as body and the logger's name as "errorCode".
#include <spdlog/logger.h>
#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <memory>

#include "facade/collector_fixture.hpp"
#include "zeplog/spdlog_sink.hpp"

namespace zeplog {
namespace {

using namespace std::chrono_literals;

struct LevelCase {
  const char* name;
  spdlog::level::level_enum level;
  const char* mapped;
};
void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class SpdlogSinkCallTest : public test::DevCollectorTest {};

class SpdlogSinkTest : public test::DevCollectorTest,
                       public ::testing::WithParamInterface<LevelCase> {};

TEST_P(SpdlogSinkTest, EveryLevelArrivesMappedThroughBothSinks) {
  const LevelCase& c = GetParam();
  ASSERT_TRUE(init());
  auto mt = std::make_shared<spdlog_sink_mt>();
  auto st = std::make_shared<spdlog_sink_st>();
  spdlog::logger viaMt("net", mt);
  spdlog::logger viaSt("", st);
  viaMt.set_level(spdlog::level::trace);
  viaSt.set_level(spdlog::level::trace);
  viaMt.log(c.level, "mt {} of {}", 2, 5);
  viaSt.log(c.level, "st message");
  ASSERT_TRUE(ZEPLog::flush(60s));

  auto mtEvents = withBody("mt 2 of 5");
  ASSERT_EQ(mtEvents.size(), 1u);
  EXPECT_EQ(mtEvents[0]["logLevel"], c.mapped);
  EXPECT_EQ(mtEvents[0]["errorCode"], "net");
  EXPECT_EQ(mtEvents[0]["projectName"], "app");
  auto stEvents = withBody("st message");
  ASSERT_EQ(stEvents.size(), 1u);
  EXPECT_EQ(stEvents[0]["logLevel"], c.mapped);
  EXPECT_EQ(stEvents[0].count("errorCode"), 0u);  // a logger without a name gives none
}

INSTANTIATE_TEST_SUITE_P(Levels, SpdlogSinkTest,
                         ::testing::Values(LevelCase{"trace", spdlog::level::trace, "DEBUG"},
                                           LevelCase{"debug", spdlog::level::debug, "DEBUG"},
                                           LevelCase{"info", spdlog::level::info, "INFO"},
                                           LevelCase{"warn", spdlog::level::warn, "WARN"},
                                           LevelCase{"err", spdlog::level::err, "ERROR"},
                                           LevelCase{"critical", spdlog::level::critical, "FATAL"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpdlogSinkCallTest, SpdlogSinkSendsThroughANamedHandleAndKeepsAPattern) {
  ASSERT_TRUE(init());
  ASSERT_TRUE(init("other", "second"));
  auto sink = std::make_shared<spdlog_sink_mt>("second");
  EXPECT_EQ(sink->handleId(), "second");
  spdlog::logger logger("game", sink);
  logger.set_pattern("[%n] %v");  // a pattern of the application's own, line break included
  logger.warn("frame took {} ms", 40);
  logger.log(spdlog::source_loc{"game/frame.cpp", 77, "tick"}, spdlog::level::info, "located");
  ASSERT_TRUE(ZEPLog::flush(60s));
  const std::string located = storedJsonWithBody("[game] located");
  for (const char* member : {R"("code.file.path":"game/frame.cpp")", R"("code.line.number":77)",
                             R"("code.function.name":"tick")", R"("errorCode":"game")"})
    EXPECT_NE(located.find(member), std::string::npos) << member << " in " << located;
  EXPECT_EQ(storedJsonWithBody("[game] frame took 40 ms").find("code."), std::string::npos);
  auto events = withBody("[game] frame took 40 ms");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["projectName"], "other");
  EXPECT_EQ(events[0]["logLevel"], "WARN");
}

TEST_F(SpdlogSinkCallTest, SpdlogCallsBelowTheMinimumLevelAreHeldBack) {
  ASSERT_TRUE(init());
  ASSERT_TRUE(ZEPLog::setMinimumLevel("WARN"));
  spdlog::logger logger("net", std::make_shared<spdlog_sink_mt>());
  logger.info("held");
  logger.error("kept");
  ASSERT_TRUE(ZEPLog::flush(60s));
  EXPECT_TRUE(withBody("held").empty());
  EXPECT_EQ(withBody("kept").size(), 1u);
  EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 1u);
}

}  // namespace
}  // namespace zeplog
