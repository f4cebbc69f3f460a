// The public overloads bind the way a reader of the call expects.
#include <gtest/gtest.h>

#include <type_traits>

#include "event/global_state.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

template <typename T>
concept InitTakesAsFourth = requires(T a) {
  ZEPLog::init("u", "k", "v", a);
};
template <typename T>
concept EnableHostTakes = requires(T a) {
  ZEPLog::enableHost(a);
};
template <typename T>
concept DeduplicateTakes = requires(T a) {
  ZEPLog::setLogDeduplicate(a);
};
template <typename T>
concept TextFrom = std::is_convertible_v<T, Text>;

// No string or integer reaches a switch; no boolean reaches a text parameter.
static_assert(!std::is_convertible_v<const char*, SyncStart>);
static_assert(!std::is_convertible_v<bool, SyncStart>);
static_assert(!std::is_convertible_v<const char*, CrashCapture>);
static_assert(!TextFrom<bool>);
static_assert(InitTakesAsFourth<const char*>);
static_assert(InitTakesAsFourth<SyncStart>);
static_assert(!InitTakesAsFourth<bool>);
static_assert(EnableHostTakes<bool>);
static_assert(!EnableHostTakes<const char*>);
static_assert(DeduplicateTakes<bool>);
static_assert(!DeduplicateTakes<const char*>);
static_assert(!DeduplicateTakes<int>);
static_assert(!EnableHostTakes<int>);

class OverloadTest : public test::LibraryTest {};

TEST_F(OverloadTest, StringLiteralFourthArgumentIsTheUserId) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "key", "1.0", "user-1"));
  EXPECT_EQ(ZEPLog::kst_getHandler("0")->userId, "user-1");
  EXPECT_FALSE(detail::globals().gs_SyncSend.load());
}

TEST_F(OverloadTest, IntegerSecondArgumentIsThePortAndThirdTheProtocol) {
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", 8080, "key", "1.0", "user", "by-port"));
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", 8080, 1, "key", "1.0", "user"));
  EXPECT_EQ(ZEPLog::kst_getHandler("by-port")->userId, "user");
  EXPECT_EQ(ZEPLog::kst_getHandler("by-port")->protocol, 0);
  EXPECT_EQ(ZEPLog::kst_getHandler("0")->protocol, 1);
}

TEST(TextTest, AbsentDiffersFromEmpty) {
  EXPECT_TRUE(Text().absent());
  EXPECT_TRUE(Text(nullptr).absent());
  EXPECT_TRUE(Text(static_cast<const char*>(nullptr)).absent());
  EXPECT_TRUE(Text("").present());
  EXPECT_TRUE(Text("").emptyOrAbsent());
  std::optional<std::string> none;
  EXPECT_TRUE(Text(none).absent());
  EXPECT_EQ(Text(std::string("x")).view(), "x");
}

}  // namespace
}  // namespace zeplog
