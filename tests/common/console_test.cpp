#include <gtest/gtest.h>

#include <stdexcept>

#include "common/console.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

TEST(ConsoleTest, LinesCarryThePrefixAndTheCallSiteLine) {
  test::ConsoleCapture console;
  const int line = __LINE__ + 1;
  ZEP_CONSOLE("hello");
  detail::consoleRaw("[saveToFile] logArray : x");
  ASSERT_EQ(console.lines().size(), 2u);
  EXPECT_EQ(console.lines()[0], "[ZEPLog] [line " + std::to_string(line) + "] hello");
  EXPECT_EQ(console.lines()[1], "[saveToFile] logArray : x");
}

TEST(ConsoleTest, AThrowingHandlerDoesNotReachTheCaller) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  ZEPLog::setConsoleHandler([](std::string_view) { throw std::runtime_error("handler"); });
  // Every call writes console lines; none of them may throw.
  EXPECT_NO_THROW(ZEPLog::info(nullptr, "before init"));
  EXPECT_NO_THROW(EXPECT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1")));
  EXPECT_NO_THROW(ZEPLog::setCustomField("v", "9bad"));
  ZEPLog::setConsoleHandler(nullptr);
  EXPECT_EQ(ZEPLog::queueSize(), 1);
}

}  // namespace
}  // namespace zeplog
