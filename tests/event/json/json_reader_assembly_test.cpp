// The reader's own mechanisms: objects assembled in one step from the members gathered
// while reading (repeated keys and dropped nulls resolved there, with or without the key
// guidance of an array's first object, below and above the size from which an object has a
// key index), and numbers read in one pass with exact fast paths beside from_chars.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "zeplog/json_reader.hpp"

namespace zeplog {
namespace {

using json::Value;

// The object a run of set() calls gives for members in text order, nulls left out when
// dropNulls: what the reader must produce.
json::Object expectedObject(const std::vector<std::pair<std::string, int>>& members,
                            bool dropNulls) {
  json::Object o;
  for (const auto& [k, v] : members) {
    if (v < 0) {
      if (!dropNulls) o.set(k, Value());
      continue;
    }
    o.set(k, Value(static_cast<unsigned>(v)));
  }
  return o;
}

std::string objectText(const std::vector<std::pair<std::string, int>>& members) {
  std::string t = "{";
  for (const auto& [k, v] : members) {
    if (t.size() > 1) t += ",";
    t += "\"" + k + "\":" + (v < 0 ? std::string("null") : std::to_string(v));
  }
  return t + "}";
}

void expectSameObject(const json::Object& got, const json::Object& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  auto w = want.begin();
  for (const auto& [k, v] : got) {
    EXPECT_EQ(k, w->first) << what;
    EXPECT_EQ(v, w->second) << what << " " << k;
    ++w;
  }
  for (const auto& [k, v] : want) {
    const Value* found = got.find(k);
    ASSERT_NE(found, nullptr) << what << " " << k;
    EXPECT_EQ(*found, v) << what << " " << k;
  }
}

// Members with repeated keys (values and nulls) and null-only keys, in objects of 5, 40 and
// 700 members, read alone and as the later elements of an array whose first object guides
// their keys; with nulls dropped and kept.
TEST(JsonReaderAssembly, RepeatedKeysAndNullsResolveAsSetWouldInEveryObjectSize) {
  for (bool dropNulls : {true, false}) {
    for (int n : {5, 40, 700}) {
      std::mt19937 rng(static_cast<unsigned>(n));
      std::vector<std::pair<std::string, int>> guideMembers, members;
      for (int i = 0; i < n; ++i) guideMembers.emplace_back("k" + std::to_string(i), i);
      for (int i = 0; i < n; ++i) {
        // Mostly the guide's keys in its order, with repeats, nulls and strangers mixed in.
        int r = static_cast<int>(rng() % 10);
        std::string k = "k" + std::to_string(i);
        if (r == 0) k = "k" + std::to_string(rng() % static_cast<unsigned>(i + 1));
        if (r == 1) k = "x" + std::to_string(rng() % 7);
        members.emplace_back(k, r == 2 || r == 3 ? -1 : static_cast<int>(rng() % 1000));
      }
      members.emplace_back("k0", -1);    // a null after a value keeps the value
      members.emplace_back("k1", 4242);  // a late repeat replaces the value in place
      members.emplace_back("late", -1);  // a null-only key
      const std::string what = "n=" + std::to_string(n) + " dropNulls=" + std::to_string(dropNulls);

      kstCJSONDeserializer r;
      if (dropNulls) r.setNullObject(std::nullopt);
      std::optional<Value> alone = r.deserialize(objectText(members));
      ASSERT_TRUE(alone && alone->isObject()) << what;
      json::Object want = expectedObject(members, dropNulls);
      expectSameObject(*alone->asObject(), want, what + " alone");

      std::string arrayText = "[" + objectText(guideMembers) + "," + objectText(members) + "," +
                              objectText(guideMembers) + "," + objectText(members) + "]";
      std::optional<Value> array = r.deserialize(arrayText);
      ASSERT_TRUE(array && array->isArray()) << what;
      const json::Array& a = *array->asArray();
      ASSERT_EQ(a.size(), 4u);
      expectSameObject(*a[0].asObject(), expectedObject(guideMembers, dropNulls), what + " [0]");
      expectSameObject(*a[1].asObject(), want, what + " [1]");
      expectSameObject(*a[2].asObject(), expectedObject(guideMembers, dropNulls), what + " [2]");
      expectSameObject(*a[3].asObject(), want, what + " [3]");
    }
  }
}

// A failure deep inside nested containers leaves nothing behind: the next input reads as
// if the reader were new.
TEST(JsonReaderAssembly, AFailureInsideNestedContainersDoesNotLeakIntoTheNextInput) {
  kstCJSONDeserializer r;
  Error e;
  EXPECT_FALSE(r.deserialize(R"({"a":[1,2,{"b":[3,{"c":4,"d":[5,}]}]})", &e));
  std::optional<Value> v = r.deserialize(R"({"x":[1,{"y":2}]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value(json::Object{
                    {"x", Value(json::Array{Value(1u), Value(json::Object{{"y", Value(2u)}})})}}));
}

double nearest(const std::string& text) {
  double d = 0;
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

void expectNearestDouble(const std::string& text) {
  kstCJSONDeserializer r;
  r.setOptions(kJSONDeserializationOptions_AllowFragments);
  std::optional<Value> v = r.deserialize(text);
  ASSERT_TRUE(v && v->isDouble()) << text;
  EXPECT_EQ(v->asDouble(), nearest(text)) << text;
  EXPECT_EQ(std::signbit(v->asDouble()), std::signbit(nearest(text))) << text;
}

// Each edge of the exact fast paths: digits at 2^53 and 2^63, powers of ten at 22/23 and
// 27/28, 19 and 20 fraction digits, and texts exactly halfway between two doubles (ties go
// to even, which only a single rounding gets right).
TEST(JsonReaderAssembly, NumbersAtTheFastPathEdgesAreTheNearestDouble) {
  for (const char* text : {"9007199254740992e-5",
                           "9007199254740993e-5",
                           "9007199254740994e-22",
                           "9007199254740993e-22",
                           "9007199254740993e22",
                           "1e22",
                           "1e23",
                           "3e-22",
                           "3e-23",
                           "9223372036854775807e-27",
                           "9223372036854775807e-28",
                           "9223372036854775808e-27",
                           "9223372036854775807e27",
                           "12345678901234567e-27",
                           "12345678901234567e-28",
                           "0.1234567890123456789",
                           "0.12345678901234567891",
                           "1.8446744073709551615",
                           "90071992547409930e-1",  // 2^53 + 1: halfway, ties to even (down)
                           "90071992547409950e-1",  // 2^53 + 3: halfway, ties to even (up)
                           "-90071992547409930e-1",
                           "-0e5",
                           "-0.0e1",
                           "4.9e-324",
                           "2.2250738585072011e-308",
                           "1.7976931348623158e308",
                           "1797693134862315708e290",
                           "1.5e",
                           "2.5E+",
                           "-65.613616999999977",
                           "-0.000000000000000000000000000123456789"}) {
    expectNearestDouble(text);
  }
  // Random 15 to 19 digit texts with exponents around every edge, against from_chars.
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t digits = rng() % 10000000000000000000ULL;
    int e = static_cast<int>(rng() % 70) - 35;
    if (e == 0) e = 1;  // "<digits>e0" reads as an integer
    int point = static_cast<int>(rng() % 20);
    std::string d = std::to_string(digits);
    if (point > 0 && point < static_cast<int>(d.size())) d.insert(d.size() - point, ".");
    std::string text = (rng() % 2 ? "-" : "") + d + "e" + std::to_string(e);
    if (digits == 0) continue;
    expectNearestDouble(text);
  }
}

}  // namespace
}  // namespace zeplog
