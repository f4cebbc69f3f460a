// Reader edge cases: an undecodable input after a held one, and an empty exponent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "zeplog/json_reader.hpp"

namespace zeplog {
namespace {

using json::Value;

std::string entry(const Error& e, const char* key) {
  const Value* v = e.userInfo.find(key);
  if (!v) return "<none>";
  if (v->isString()) return v->asString();
  if (v->isUInt()) return std::to_string(v->asUInt());
  return "<other>";
}

// UTF-16LE with a byte-order mark and a lone high surrogate: it can't be decoded.
const std::string kUndecodable = std::string("\xFF\xFE[\0\"\0\x00\xD8\"\0]\0", 12);

TEST(JsonReaderEdges, AnUndecodableInputReportsAgainstNothingNotThePreviousDocument) {
  kstCJSONDeserializer r;
  // A held document (converted from UTF-16, so the reader keeps it) that fails late.
  const std::string held = std::string("\xFF\xFE[\0\"\0s\0e\0c\0r\0e\0t\0\"\0,\0", 22);
  Error first;
  EXPECT_FALSE(r.deserialize(std::make_shared<const std::string>(held), &first));
  ASSERT_NE(entry(first, "snippet").find("secret"), std::string::npos);

  Error e;
  EXPECT_FALSE(r.deserialize(std::make_shared<const std::string>(kUndecodable), &e));
  EXPECT_EQ(e.code, kJSONDeserializerErrorCode_CouldNotDecodeData);
  EXPECT_EQ(entry(e, "snippet"), "!HERE>!");
  EXPECT_EQ(entry(e, "location"), "0");
  EXPECT_EQ(r.scanLocation(), 0u);

  // The same as a fresh reader reports.
  kstCJSONDeserializer fresh;
  Error f;
  EXPECT_FALSE(fresh.deserialize(kUndecodable, &f));
  EXPECT_EQ(entry(f, "snippet"), entry(e, "snippet"));
}

TEST(JsonReaderEdges, AnEmptyExponentGivesTheNearestDoubleOfTheMantissa) {
  kstCJSONDeserializer r;
  r.setOptions(4);  // fragments
  for (const char* text : {"1.5e", "0.1e", "-2.5E+", "3.14159265358979323846e-",
                           "1.234567890123456789e", "9007199254740993.5e"}) {
    SCOPED_TRACE(text);
    std::optional<Value> v = r.deserialize(std::string_view(text));
    ASSERT_TRUE(v && v->isDouble());
    std::string mantissa(text);
    mantissa.erase(mantissa.find_first_of("eE"));
    EXPECT_EQ(v->asDouble(), std::strtod(mantissa.c_str(), nullptr));
  }
}

}  // namespace
}  // namespace zeplog
