#include "zeplog/json_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace zeplog {
namespace {

using json::Array;
using json::Object;
using json::Value;

std::string write(const Value& v, std::uint64_t options = 0) {
  auto s = kstCJSONSerializer::serializer();
  s->setOptions(options);
  Error error;
  std::optional<std::string> out = s->serializeObject(v, &error);
  EXPECT_TRUE(out.has_value()) << error.localizedDescription();
  return out.value_or("<failed>");
}

// An application value that either offers a JSON text of itself or not.
class Custom : public json::Opaque {
 public:
  Custom(bool offers, std::optional<std::string> text) : offers_(offers), text_(std::move(text)) {}
  std::string typeName() const override { return "Custom"; }
  std::string description() const override { return "Custom#7"; }
  bool hasJSONDataRepresentation() const override { return offers_; }
  std::optional<std::string> JSONDataRepresentation() const override { return text_; }

 private:
  bool offers_;
  std::optional<std::string> text_;
};

Value custom(bool offers, std::optional<std::string> text = std::nullopt) {
  return Value(std::shared_ptr<const json::Opaque>(std::make_shared<Custom>(offers, text)));
}

TEST(JsonWriterString, EscapesQuoteBackslashAndNamedControls) {
  EXPECT_EQ(write(Object{{"a", "x\"y\\z"}}), "{\"a\":\"x\\\"y\\\\z\"}");
  EXPECT_EQ(write(Object{{"a", "x\"y\\z"}}).size(), 15u);
  EXPECT_EQ(write("\n"), "\"\\n\"");
  EXPECT_EQ(write("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(write(""), "\"\"");
}

TEST(JsonWriterString, OtherControlBytesBecomeUnicodeEscapes) {
  EXPECT_EQ(write("\x01"), "\"\\u0001\"");
  EXPECT_EQ(write("\x0B"), "\"\\u000b\"");
  EXPECT_EQ(write("\x1F"), "\"\\u001f\"");
  EXPECT_EQ(write(std::string("a\0b", 3)), "\"a\\u0000b\"");
  EXPECT_EQ(write("\x7F"), "\"\x7F\"");  // DEL is not a control byte for JSON
}

TEST(JsonWriterString, NonAsciiTextPassesThroughRaw) {
  const std::string text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 \xED\x95\x9C\xEA\xB8\x80";
  EXPECT_EQ(write(text), "\"" + text + "\"");
  // Escapes after the first non-ASCII byte are still made.
  EXPECT_EQ(write("\xC3\xA9\"\n\xC3\xA9"), "\"\xC3\xA9\\\"\\n\xC3\xA9\"");
}

TEST(JsonWriterString, SolidusEscapedOnlyWithOptionBit0) {
  EXPECT_EQ(write("a/b"), "\"a/b\"");
  EXPECT_EQ(write("a/b", kstCJSONSerializer::kEscapeSolidus), "\"a\\/b\"");
  EXPECT_EQ(write(Object{{"x/y", "/////////z"}}, 1),
            "{\"x\\/y\":\"\\/\\/\\/\\/\\/\\/\\/\\/\\/z\"}");
  auto s = kstCJSONSerializer::serializer();
  EXPECT_EQ(s->options(), 0u);
  s->setOptions(1);
  EXPECT_EQ(s->serializeString("http://h/p"), "\"http:\\/\\/h\\/p\"");
}

// The escaper scans sixteen bytes at a time, and a text of up to 64 bytes is first looked at
// whole; every special byte at every offset around those bounds must be found, also right
// after a long clean run and at the very end.
TEST(JsonWriterString, EverySpecialByteAtEveryOffset) {
  std::vector<std::size_t> lengths;
  for (std::size_t len = 1; len <= 34; ++len) lengths.push_back(len);
  for (std::size_t len = 62; len <= 67; ++len) lengths.push_back(len);
  const std::pair<char, std::string> cases[] = {
      {'"', "\\\""},       {'\\', "\\\\"},    {'\n', "\\n"}, {'\x01', "\\u0001"},
      {'\x1F', "\\u001f"}, {'\0', "\\u0000"}, {'/', "/"}};
  for (const auto& [c, escaped] : cases) {
    for (std::size_t len : lengths) {
      for (std::size_t at = 0; at < len; ++at) {
        std::string in(len, 'a');
        in[at] = c;
        std::string want =
            "\"" + std::string(at, 'a') + escaped + std::string(len - at - 1, 'a') + "\"";
        ASSERT_EQ(write(in), want) << "byte " << int(c) << " at " << at << " of " << len;
      }
    }
  }
}

TEST(JsonWriterString, InvalidUtf8TextIsWrittenRepaired) {
  EXPECT_EQ(write("a\xFF"
                  "b"),
            "\"a\xEF\xBF\xBD"
            "b\"");
  // The bad byte comes after escapes and a clean multi-word run: nothing of the first
  // attempt may remain.
  EXPECT_EQ(write("q\"\n0123456789abcdef\xC3"), "\"q\\\"\\n0123456789abcdef\xEF\xBF\xBD\"");
  EXPECT_EQ(write(Object{{"k\xFE", 1}}), "{\"k\xEF\xBF\xBD\":1}");
}

TEST(JsonWriterNumber, BooleansStayBooleansAndIntegersStayDigits) {
  EXPECT_EQ(write(true), "true");
  EXPECT_EQ(write(false), "false");
  EXPECT_EQ(write(1), "1");
  EXPECT_EQ(write(0), "0");
  EXPECT_EQ(write(1u), "1");
  EXPECT_EQ(write(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(write(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

TEST(JsonWriterNumber, DoublesShortestAndNonFiniteAsNull) {
  EXPECT_EQ(write(1.5), "1.5");
  EXPECT_EQ(write(0.1), "0.1");
  EXPECT_EQ(write(-2.0), "-2");
  EXPECT_EQ(write(-0.0), "-0");
  EXPECT_EQ(write(1e300), "1e+300");
  EXPECT_EQ(write(std::nan("")), "null");
  EXPECT_EQ(write(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(write(Array{-std::numeric_limits<double>::infinity(), 2.5}), "[null,2.5]");
}

TEST(JsonWriterNumber, DecimalsAndSerializeNumberKinds) {
  auto big = Decimal::parse("123456789012345678901234567890");
  ASSERT_TRUE(big);
  EXPECT_EQ(write(*big), big->toString());
  auto s = kstCJSONSerializer::serializer();
  EXPECT_EQ(s->serializeNumber(true), "true");
  EXPECT_EQ(s->serializeNumber(-7), "-7");
  Error error;
  EXPECT_FALSE(s->serializeNumber("7", &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription(), "Cannot serialize data of type 'String'");
  EXPECT_EQ(s->serializeNull(), "null");
  EXPECT_EQ(write(Value()), "null");
}

TEST(JsonWriterContainers, CompactArraysAndObjectsInKeyOrder) {
  EXPECT_EQ(write(Array{1, "x", json::Null{}}), "[1,\"x\",null]");
  EXPECT_EQ(write(Array{}), "[]");
  EXPECT_EQ(write(Object{}), "{}");
  Object o;
  o.set("z", 1);
  o.set("a", Array{true, Object{}, Array{}});
  o.set("m", Object{{"n", Array{Array{2.5}}}});
  o.set("z", 3);  // replacing keeps the key's place
  EXPECT_EQ(write(o), "{\"z\":3,\"a\":[true,{},[]],\"m\":{\"n\":[[2.5]]}}");
  auto s = kstCJSONSerializer::serializer();
  EXPECT_EQ(s->serializeArray(Array{1, 2}), "[1,2]");
  EXPECT_EQ(s->serializeDictionary(o), write(o));
  // An absent container is written as null rather than dereferenced.
  EXPECT_EQ(write(Array{Value(std::shared_ptr<Array>())}), "[null]");
}

TEST(JsonWriterContainers, BytesAreDecodedAsUtf8) {
  EXPECT_EQ(write(Bytes("hi")), "\"hi\"");
  EXPECT_EQ(write(Bytes("a/\"\x01")), "\"a/\\\"\\u0001\"");
  Error error;
  auto s = kstCJSONSerializer::serializer();
  EXPECT_FALSE(s->serializeObject(Bytes("\xC3\x28"), &error));
  EXPECT_EQ(error.domain, "CJSONSerializerErrorDomain");
  EXPECT_EQ(error.domain, kstkJSONSerializerErrorDomain);
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription(), "Cannot serialize data of type 'Bytes'");
  EXPECT_EQ(error.userInfo.size(), 1u);
}

TEST(JsonWriterErrors, UnsupportedValueAtTopIsMinusOneWithTypeName) {
  auto s = kstCJSONSerializer::serializer();
  Error error;
  EXPECT_FALSE(s->serializeObject(custom(false), &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription(), "Cannot serialize data of type 'Custom'");
  EXPECT_FALSE(s->serializeObject(custom(false)));  // no out-parameter: simply nothing
}

TEST(JsonWriterErrors, FailureInsideContainersNamesTheOutermost) {
  auto s = kstCJSONSerializer::serializer();
  Error error;
  EXPECT_FALSE(s->serializeObject(Array{1, custom(false), 3}, &error));
  EXPECT_EQ(error.code, -2);
  EXPECT_EQ(error.localizedDescription(), "Could not serialize object 'Array(3 elements)'");

  Object outer{{"a", 1}, {"b", Array{Object{{"bad", Bytes("\xFF")}}}}};
  EXPECT_FALSE(s->serializeObject(outer, &error));
  EXPECT_EQ(error.code, -2);
  EXPECT_EQ(error.localizedDescription(), "Could not serialize object 'Object(2 members)'");

  // The container rules themselves add nothing: the last error written is the inner one.
  EXPECT_FALSE(s->serializeArray(Array{Bytes("\xFF")}, &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_FALSE(s->serializeDictionary(outer, &error));
  EXPECT_EQ(error.localizedDescription(), "Could not serialize object 'Array(1 elements)'");
}

TEST(JsonWriterErrors, OpaqueValuesInsertTheirTextOrFailWithMinusTwo) {
  auto s = kstCJSONSerializer::serializer();
  EXPECT_EQ(write(Array{custom(true, "{\"raw\":[1]}")}), "[{\"raw\":[1]}]");
  Error error;
  EXPECT_FALSE(s->serializeObject(custom(true, std::nullopt), &error));
  EXPECT_EQ(error.code, -2);
  EXPECT_EQ(error.localizedDescription(), "Could not serialize object 'Custom#7'");
}

TEST(JsonWriterErrors, AppendLeavesBufferUntouchedOnFailure) {
  auto s = kstCJSONSerializer::serializer();
  std::string out = "[1,";
  EXPECT_FALSE(s->appendObject(out, Object{{"a", "long text here"}, {"b", custom(false)}}));
  EXPECT_EQ(out, "[1,");
  EXPECT_TRUE(s->appendObject(out, Object{{"a", 2}}));
  EXPECT_EQ(out, "[1,{\"a\":2}");
}

TEST(JsonWriterErrors, ReferenceCycleFailsInsteadOfRecursingForever) {
  auto a = std::make_shared<Array>();
  a->push_back(1);
  a->push_back(Value(a));
  auto s = kstCJSONSerializer::serializer();
  Error error;
  EXPECT_FALSE(s->serializeObject(Value(a), &error));
  EXPECT_EQ(error.code, -2);
  EXPECT_EQ(error.localizedDescription(), "Could not serialize object 'Array(2 elements)'");
  a->clear();  // break the cycle so the array is freed

  // Nesting up to the limit is written.
  Value deep = 1;
  for (int i = 0; i < kstCJSONSerializer::kMaxDepth; ++i) deep = Array{deep};
  EXPECT_TRUE(s->serializeObject(deep));
  deep = Array{deep};
  EXPECT_FALSE(s->serializeObject(deep));
}

TEST(JsonWriterValidity, IsValidJSONObjectLooksAtTheTopValueOnly) {
  for (const Value& v :
       {Value(), Value(true), Value(1), Value(1.5), Value("s"), Value(Bytes("\xFF")),
        Value(Array{custom(false)}), Value(Object{}), custom(true)}) {
    EXPECT_TRUE(kstCJSONSerializer::isValidJSONObject(v));
  }
  EXPECT_FALSE(kstCJSONSerializer::isValidJSONObject(custom(false)));
}

}  // namespace
}  // namespace zeplog
