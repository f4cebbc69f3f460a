#include "zeplog/decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zeplog {
namespace {

Decimal dec(const char* text) {
  std::optional<Decimal> d = Decimal::parse(text);
  EXPECT_TRUE(d) << text;
  return d.value_or(Decimal());
}

TEST(Decimal, NormalisesAndPrintsTheShortestExactForm) {
  EXPECT_EQ(dec("123456789012345678901234567890").toString(), "123456789012345678901234567890");
  EXPECT_EQ(dec("-1.50").toString(), "-1.5");
  EXPECT_EQ(dec("1e300").toString(), "1E+300");
  EXPECT_EQ(dec("100").toString(), "100");
  EXPECT_EQ(dec("0.0123").toString(), "0.0123");
  EXPECT_EQ(dec("0.000123").toString(), "1.23E-4");  // shorter than 0.000123
  EXPECT_EQ(dec("1.5e-10").toString(), "1.5E-10");
  EXPECT_EQ(dec("-0.0e7").toString(), "0");
  EXPECT_EQ(dec("00012.3400").digits(), "1234");
  EXPECT_EQ(dec("00012.3400").exponent(), -2);
  EXPECT_EQ(dec("1e").toString(), "1");
  // Printed text parses back to the same value.
  for (const char* t : {"9.999999999999999999999999999999999999999E+127", "-7E-128",
                        "31415926535897932384626433832795028841971"}) {
    EXPECT_EQ(dec(dec(t).toString().c_str()), dec(t)) << t;
  }
}

TEST(Decimal, RejectsWhatIsNotANumberOrOutOfRange) {
  for (const char* bad : {"", "-", ".", "1..2", "1e5x", "+1", "1-", "e5", "1e1000000000"}) {
    EXPECT_FALSE(Decimal::parse(bad)) << bad;
  }
  EXPECT_TRUE(Decimal::parse("1e999999999"));
  EXPECT_TRUE(Decimal::parse("1e-999999999"));
}

TEST(Decimal, OrdersByValue) {
  EXPECT_EQ(dec("1.0"), dec("1"));
  EXPECT_LT(dec("-2"), dec("-1.5"));
  EXPECT_LT(dec("-1"), dec("0"));
  EXPECT_LT(dec("0"), dec("1e-100"));
  EXPECT_LT(dec("0.12"), dec("0.123"));
  EXPECT_LT(dec("0.123"), dec("0.13"));
  EXPECT_LT(dec("99"), dec("100"));
  EXPECT_GT(dec("-99"), dec("-100"));
  EXPECT_GT(dec("18446744073709551616"), dec("18446744073709551615"));
}

TEST(Decimal, ConvertsToTheNearestDouble) {
  EXPECT_EQ(dec("0.1").toDouble(), 0.1);
  EXPECT_EQ(dec("-18446744073709551616").toDouble(), -18446744073709551616.0);
  EXPECT_EQ(dec("1e400").toDouble(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(dec("-1e-400").toDouble(), -0.0);
  EXPECT_TRUE(std::signbit(dec("-1e-400").toDouble()));
  EXPECT_EQ(dec("12345678901234567890123456789e-28").toDouble(), 1.2345678901234567890123456789);
}

}  // namespace
}  // namespace zeplog
