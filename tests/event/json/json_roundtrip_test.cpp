// Writing a value with the library's writer and reading the text back gives an equal value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "zeplog/json_reader.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog {
namespace {

using json::Value;

// Random documents made only of values whose written text reads back as the same kind:
// non-negative integers are unsigned (the text of a positive signed integer reads as
// unsigned), doubles are non-integral (an integral double prints as an integer), decimals
// are too large for 64 bits or for a double. Byte data is left out: it is written as text.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(std::uint32_t seed) : rng_(seed) {}

  Value document() { return coin(2) ? Value(array(0)) : Value(object(0)); }

 private:
  std::uint64_t pick(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_);
  }
  bool coin(int n) { return pick(static_cast<std::uint64_t>(n)) == 0; }

  Value scalar() {
    switch (pick(8)) {
      case 0:
        return Value();
      case 1:
        return Value(coin(2));
      case 2:
        return Value(static_cast<std::uint64_t>(rng_() >> pick(64)));
      case 3: {
        std::int64_t v = -static_cast<std::int64_t>((rng_() >> 1) >> pick(63)) - 1;
        return Value(v < -9223372036854775806LL ? std::int64_t{-9223372036854775806LL} : v);
      }
      case 4: {
        double d;
        do {
          std::uint64_t bits = rng_();
          std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d) || std::trunc(d) == d);
        return Value(d);
      }
      case 5:
        return Value(decimal());
      default:
        return Value(text());
    }
  }

  Decimal decimal() {
    std::string t = coin(2) ? "-" : "";
    t.push_back(static_cast<char>('1' + pick(9)));
    std::uint64_t n = 20 + pick(30);
    for (std::uint64_t i = 0; i < n; ++i) t.push_back(static_cast<char>('0' + pick(10)));
    t.push_back(static_cast<char>('1' + pick(9)));
    if (coin(3)) t += "e" + std::to_string(400 + pick(1000));
    return *Decimal::parse(t);
  }

  std::string text() {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         " ",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\n",
                                         "\t",
                                         "\r",
                                         "\b",
                                         "\f",
                                         "\x01",
                                         "\x1F",
                                         "\x7F",
                                         "\xC3\xA9",
                                         "\xE2\x82\xAC",
                                         "\xF0\x9F\x98\x80",
                                         "key",
                                         "\xE4\xB8\xAD\xE6\x96\x87"};
    std::string s;
    std::uint64_t n = pick(4) == 0 ? pick(200) : pick(12);
    for (std::uint64_t i = 0; i < n; ++i) s += pieces[pick(std::size(pieces))];
    if (coin(20)) s.push_back('\0');
    return s;
  }

  Value element(int depth) {
    if (depth < 6 && coin(4)) return coin(2) ? Value(array(depth + 1)) : Value(object(depth + 1));
    return scalar();
  }

  json::Array array(int depth) {
    json::Array a;
    std::uint64_t n = pick(8);
    if (coin(4)) {
      // An array of like objects, some with a member missing or in another order.
      for (std::uint64_t i = 0; i < n; ++i) {
        json::Object o;
        if (!coin(5)) o.set("id", Value(static_cast<std::uint64_t>(i)));
        o.set("name", Value(text()));
        if (coin(3)) o.set("id2", element(depth + 1));
        o.set("v", element(depth + 1));
        a.emplace_back(std::move(o));
      }
      return a;
    }
    for (std::uint64_t i = 0; i < n; ++i) a.push_back(element(depth));
    return a;
  }

  json::Object object(int depth) {
    json::Object o;
    std::uint64_t n = pick(8);
    for (std::uint64_t i = 0; i < n; ++i) o.set(text(), element(depth));
    return o;
  }

  std::mt19937_64 rng_;
};

TEST(JsonRoundTrip, WrittenDocumentsReadBackEqual) {
  kstCJSONSerializer writer;
  kstCJSONDeserializer reader;  // one reader throughout, so its string cache is exercised
  for (std::uint32_t seed = 1; seed <= 2000; ++seed) {
    Value doc = DocumentGenerator(seed).document();
    Error we;
    std::optional<std::string> text = writer.serializeObject(doc, &we);
    ASSERT_TRUE(text) << "seed " << seed << ": " << we.localizedDescription();
    Error re;
    std::optional<Value> back = reader.deserialize(*text, &re);
    ASSERT_TRUE(back) << "seed " << seed << ": " << re.code << " " << re.localizedDescription();
    ASSERT_EQ(*back, doc) << "seed " << seed << ": " << *text;
  }
}

}  // namespace
}  // namespace zeplog
