// Reading the W3C traceparent header.
#include <gtest/gtest.h>

#include "zeplog/trace_context.hpp"

namespace zeplog {
namespace {

TEST(Traceparent, ReadsValidHeadersAndRefusesTheRest) {
  constexpr std::string_view kTrace = "4bf92f3577b34da6a3ce929d0e0e4736";
  constexpr std::string_view kSpan = "00f067aa0ba902b7";
  auto header = [&](std::string_view version, std::string_view trace, std::string_view span,
                    std::string_view flags, std::string_view rest = "") {
    return std::string(version) + "-" + std::string(trace) + "-" + std::string(span) + "-" +
           std::string(flags) + std::string(rest);
  };
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {header("00", kTrace, kSpan, "01"), true},
      {header("00", kTrace, kSpan, "00"), true},
      {header("01", kTrace, kSpan, "01", "-future"), true},  // a later version may add fields
      {header("00", kTrace, kSpan, "01", "-future"), false},
      {header("01", kTrace, kSpan, "01", "x"), false},
      {header("ff", kTrace, kSpan, "01"), false},
      {header("0g", kTrace, kSpan, "01"), false},
      {header("00", std::string(32, '0'), kSpan, "01"), false},
      {header("00", kTrace, std::string(16, '0'), "01"), false},
      {header("00", "4BF92F3577B34DA6A3CE929D0E0E4736", kSpan, "01"), false},  // upper case
      {header("00", kTrace, "00f067aa0ba902bz", "01"), false},
      {header("00", kTrace, kSpan, "1"), false},
      {"00_" + std::string(kTrace) + "-" + std::string(kSpan) + "-01", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TraceContext::fromTraceparent(c.text).has_value(), c.valid) << c.text;
  }
  const auto context = TraceContext::fromTraceparent(header("00", kTrace, kSpan, "01"));
  ASSERT_TRUE(context);
  EXPECT_EQ(context->traceId[0], 0x4b);
  EXPECT_EQ(context->traceId[15], 0x36);
  EXPECT_EQ(context->spanId[7], 0xb7);
  EXPECT_EQ(context->flags, 1);
}

}  // namespace
}  // namespace zeplog
