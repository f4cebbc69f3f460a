#include <gtest/gtest.h>

#include <stdexcept>

#include "common/console.hpp"
#include "common/global_lock.hpp"
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

// A silenced console makes no line: the message is not even evaluated, and a line deferred
// under the lock before the silence began is dropped, not delivered later.
TEST(ConsoleSilence, NoLineIsMadeOrDeliveredUntilAHandlerIsSetAgain) {
  test::ConsoleCapture console;
  int evaluated = 0;
  auto message = [&] {
    ++evaluated;
    return std::string("made");
  };
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    ZEP_CONSOLE("deferred before the silence");
    ZEPLog::silenceConsole();
    ZEP_CONSOLE(message());
  }
  ZEP_CONSOLE(message());
  detail::consoleRaw("raw");
  detail::consoleFailureLine(__LINE__, "op", "what");
  EXPECT_EQ(evaluated, 0);

  // Setting a handler (here the capture's) turns the console back on.
  test::ConsoleCapture again;
  ZEP_CONSOLE(message());
  EXPECT_EQ(evaluated, 1);
  EXPECT_TRUE(console.lines().empty());
  ASSERT_EQ(again.lines().size(), 1u);
  EXPECT_NE(again.lines()[0].find("made"), std::string::npos);
}

}  // namespace
}  // namespace zeplog
