// Output of the writer read back by an independent, strict JSON parser (nlohmann), which
// rejects raw control bytes, invalid UTF-8 and non-JSON numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <string>

#include "common/utf8.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog {
namespace {

using json::Array;
using json::Object;
using json::Value;

nlohmann::json parse(const std::string& text) {
  return nlohmann::json::parse(text);  // throws on anything that is not valid JSON
}

std::string write(const Value& v, std::uint64_t options = 0) {
  auto s = kstCJSONSerializer::serializer();
  s->setOptions(options);
  std::optional<std::string> out = s->serializeObject(v);
  EXPECT_TRUE(out.has_value());
  return out.value_or("");
}

// The text a strict reader must get back: the input, repaired when it was not UTF-8.
void expectStringRoundTrip(const std::string& in) {
  for (std::uint64_t options : {0u, 1u}) {
    std::string text = write(in, options);
    nlohmann::json j;
    ASSERT_NO_THROW(j = parse(text)) << "options " << options;
    ASSERT_TRUE(j.is_string());
    ASSERT_EQ(j.get<std::string>(), detail::toValidUtf8(in));
  }
}

TEST(JsonWriterRoundTrip, EveryControlByteAloneAndTogether) {
  std::string all;
  for (int c = 0; c < 0x20; ++c) {
    expectStringRoundTrip(std::string(1, static_cast<char>(c)));
    all += static_cast<char>(c);
    all += "x";
  }
  expectStringRoundTrip(all + "\"\\/\x7F");
}

TEST(JsonWriterRoundTrip, EverySingleByteIncludingInvalidUtf8) {
  for (int c = 0; c < 256; ++c) {
    expectStringRoundTrip("ab" + std::string(1, static_cast<char>(c)) + "cdefghij");
  }
}

TEST(JsonWriterRoundTrip, RandomMixedTextAsValuesAndKeys) {
  std::mt19937 rng(20240611);
  const char* pieces[] = {"a",
                          "Z",
                          " ",
                          "\"",
                          "\\",
                          "/",
                          "\n",
                          "\x01",
                          "\x1F",
                          "\x7F",
                          "\xC3\xA9",
                          "\xE2\x82\xAC",
                          "\xF0\x9F\x98\x80",
                          "\xFF",
                          "\xC3",
                          "\xED\xA0\x80",
                          "0123456789abcdef"};
  for (int round = 0; round < 500; ++round) {
    std::string s;
    int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) s += pieces[rng() % std::size(pieces)];
    expectStringRoundTrip(s);
    nlohmann::json j = parse(write(Object{{s, s}}));
    std::string repaired = detail::toValidUtf8(s);
    ASSERT_EQ(j.at(repaired).get<std::string>(), repaired);
  }
}

TEST(JsonWriterRoundTrip, SixtyFourKiBStrings) {
  const std::size_t kSize = 64 * 1024;
  std::string ascii(kSize, 'a');
  for (std::size_t i = 0; i < kSize; i += 97) ascii[i] = "\"\\\n\x01/"[i % 5];
  expectStringRoundTrip(ascii);

  std::string wide;
  while (wide.size() < kSize) wide += "\xED\x95\x9C\xEA\xB8\x80 \xF0\x9F\x98\x80\t";
  expectStringRoundTrip(wide);

  std::string controls;
  for (std::size_t i = 0; i < kSize; ++i) controls += static_cast<char>(i % 0x20);
  expectStringRoundTrip(controls);
}

TEST(JsonWriterRoundTrip, NumbersReadBackExactly) {
  std::mt19937_64 rng(7);
  Array values;
  for (int i = 0; i < 1000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    values.emplace_back(d);
  }
  values.push_back(std::numeric_limits<std::int64_t>::min());
  values.push_back(std::numeric_limits<std::uint64_t>::max());
  values.push_back(-0.0);
  values.push_back(5e-324);
  values.push_back(true);
  nlohmann::json j = parse(write(values));
  ASSERT_EQ(j.size(), values.size());
  for (std::size_t i = 0; i < 1000; ++i) {
    double d = values[i].asDouble();
    if (std::isfinite(d)) {
      ASSERT_EQ(j[i].get<double>(), d) << i;
    } else {
      ASSERT_TRUE(j[i].is_null()) << i;
    }
  }
  EXPECT_EQ(j[1000].get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(j[1001].get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(j[1002].get<double>(), 0.0);  // "-0"; the reader may drop the sign
  EXPECT_EQ(j[1003].get<double>(), 5e-324);
  EXPECT_TRUE(j[1004].is_boolean());
}

// Decimals may lie outside the range of a double, which nlohmann refuses to read, so their
// text is held against the number grammar of RFC 8259 instead.
TEST(JsonWriterRoundTrip, DecimalsFollowTheJsonNumberGrammar) {
  const std::regex number("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
  for (const char* text : {"123456789012345678901234567890", "-1.5", "1e400", "-2.5E-400",
                           "0.000000000000000000001", "100000000000000000000000", "0", "-0"}) {
    std::optional<Decimal> d = Decimal::parse(text);
    ASSERT_TRUE(d) << text;
    std::string out = write(*d);
    EXPECT_TRUE(std::regex_match(out, number)) << text << " -> " << out;
  }
}

TEST(JsonWriterRoundTrip, EventBatchKeepsEveryMemberAndOrder) {
  Array batch;
  for (int e = 0; e < 200; ++e) {
    Object event;
    event.set("body", std::string("message ") + std::to_string(e) + " \"quoted\"\n\xC3\xA9");
    event.set("sendTime", std::to_string(1700000000000LL + e));
    event.set("Platform", Bytes("Linux 6.1"));
    event.set("kstBulkIndex", std::to_string(e));
    event.set("nested", Object{{"a", Array{1, 2.5, json::Null{}, false}}});
    batch.push_back(event);
  }
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(write(batch));
  ASSERT_EQ(j.size(), batch.size());
  for (int e = 0; e < 200; ++e) {
    const auto& o = j[e];
    std::vector<std::string> keys;
    for (auto it = o.begin(); it != o.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"body", "sendTime", "Platform", "kstBulkIndex", "nested"}));
    EXPECT_EQ(o["body"], std::string("message ") + std::to_string(e) + " \"quoted\"\n\xC3\xA9");
    EXPECT_EQ(o["Platform"], "Linux 6.1");
    EXPECT_EQ(o["nested"]["a"].dump(), "[1,2.5,null,false]");
  }
}

}  // namespace
}  // namespace zeplog

namespace zeplog {
namespace {

// Keys that differ only in their invalid bytes repair to one text; the object written must
// still have distinct keys, and a valid key keeps its own value.
TEST(JsonWriterValidity, KeysThatRepairAlikeStayDistinct) {
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
  json::Object o;
  o.appendNew("k\xFF", json::Value(std::string("first invalid")));
  o.appendNew("k\xFE", json::Value(std::string("second invalid")));
  o.appendNew("x\xFF", json::Value(std::string("lone invalid")));
  o.appendNew("k" + replacement, json::Value(std::string("valid")));
  const std::string text = write(json::Value(std::move(o)));
  // A strict parser keeps the last of duplicate keys silently; count the keys in the text.
  std::size_t count = 0;
  for (std::size_t at = text.find("\"k" + replacement + "\""); at != std::string::npos;
       at = text.find("\"k" + replacement + "\"", at + 1))
    ++count;
  EXPECT_EQ(count, 1u) << text;
  nlohmann::json j = parse(text);
  EXPECT_EQ(j.size(), 2u) << text;
  EXPECT_EQ(j["k" + replacement], "valid");
  EXPECT_EQ(j["x" + replacement], "lone invalid");
}

}  // namespace
}  // namespace zeplog
