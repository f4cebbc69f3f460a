#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "zeplog/json_reader.hpp"

namespace zeplog {
namespace {

using json::Value;

std::optional<Value> number(const std::string& text, Error* e = nullptr) {
  kstCJSONDeserializer r;
  r.setOptions(4);
  return r.deserialize(text, e);
}

TEST(JsonReaderNumbers, ResultKindsAtTheIntegerLimits) {
  EXPECT_EQ(number("18446744073709551615"), Value(18446744073709551615ULL));
  EXPECT_EQ(number("0"), Value(0u));
  EXPECT_EQ(number("-0"), Value(std::int64_t{0}));
  EXPECT_EQ(number("-9223372036854775806"), Value(std::int64_t{-9223372036854775806LL}));
  for (const char* big : {"-9223372036854775807", "-9223372036854775808", "18446744073709551616",
                          "123456789012345678901234567890"}) {
    std::optional<Value> v = number(big);
    ASSERT_TRUE(v && v->isDecimal()) << big;
    EXPECT_EQ(v->asDecimal().toString(), big);
  }
}

TEST(JsonReaderNumbers, IntegralLookingTextsAreIntegers) {
  EXPECT_EQ(number("1.0"), Value(1u));
  EXPECT_EQ(number("2e0"), Value(2u));
  EXPECT_EQ(number("1e"), Value(1u));
  EXPECT_EQ(number("1E+"), Value(1u));
  EXPECT_EQ(number("-3.000e-0"), Value(std::int64_t{-3}));
}

TEST(JsonReaderNumbers, DoublesAreTheNearestDouble) {
  EXPECT_EQ(number("1.5"), Value(1.5));
  EXPECT_EQ(number("-.5"), Value(-0.5));
  EXPECT_EQ(number("1e2"), Value(100.0));
  EXPECT_EQ(number("0e5"), Value(0.0));
  EXPECT_EQ(number("0.30000000000000004"), Value(0.1 + 0.2));
  EXPECT_EQ(number("2.2250738585072014e-308"), Value(std::numeric_limits<double>::min()));
  EXPECT_EQ(number("1.7976931348623157e308"), Value(std::numeric_limits<double>::max()));
  EXPECT_EQ(number("1e-400"), Value(0.0));  // underflows to zero, still a double
  EXPECT_EQ(number("1.e2"), Value(100.0));
}

TEST(JsonReaderNumbers, OverflowFallsBackToExactDecimals) {
  // Too large for a double.
  std::optional<Value> v = number("1e400");
  ASSERT_TRUE(v && v->isDecimal());
  EXPECT_EQ(v->asDecimal().toString(), "1E+400");
  // More fraction digits than 64 bits hold.
  v = number("1.84467440737095516161");
  ASSERT_TRUE(v && v->isDecimal());
  EXPECT_EQ(v->asDecimal().toString(), "1.84467440737095516161");
  // An exponent past 64 bits: zero stays zero, anything else is out of range.
  v = number("0e99999999999999999999");
  ASSERT_TRUE(v && v->isDecimal());
  EXPECT_TRUE(v->asDecimal().isZero());
  Error e;
  EXPECT_FALSE(number("1e99999999999999999999", &e));
  EXPECT_EQ(e.code, -401);
}

TEST(JsonReaderNumbers, MalformedTokensFail) {
  for (const char* bad :
       {"-", "--1", "1-2", "1.2.3", "-.", "1e5e", "1+", "0x10", "99999999999999999999-1", "-e5"}) {
    Error e;
    std::optional<Value> v = number(bad, &e);
    // "0x10": the token is "0", and "x10" is left over.
    std::int64_t want = std::string(bad) == "0x10" ? -17 : -401;
    EXPECT_FALSE(v) << bad;
    EXPECT_EQ(e.code, want) << bad;
    if (want == -401) {
      EXPECT_EQ(e.localizedDescription(), "Could not scan number constant.");
    }
  }
}

TEST(JsonReaderNumbers, NumbersInsideContainers) {
  kstCJSONDeserializer r;
  std::optional<Value> v = r.deserialize(R"({"n":[-1,1,1.25,1e400,"x"]})");
  ASSERT_TRUE(v);
  const json::Array& a = *v->asObject()->find("n")->asArray();
  EXPECT_TRUE(a[0].isInt());
  EXPECT_TRUE(a[1].isUInt());
  EXPECT_TRUE(a[2].isDouble());
  EXPECT_TRUE(a[3].isDecimal());
}

}  // namespace
}  // namespace zeplog
