#include "zeplog/json_reader.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zeplog {
namespace {

using json::Value;

std::uint64_t uintEntry(const Error& e, const char* key) {
  const Value* v = e.userInfo.find(key);
  EXPECT_TRUE(v && v->isUInt()) << key;
  return v && v->isUInt() ? v->asUInt() : ~0ULL;
}

std::string snippet(const Error& e) {
  const Value* v = e.userInfo.find("snippet");
  return v && v->isString() ? v->asString() : "<none>";
}

// Reads text with a fresh reader and the given options; returns the error (code 0 on success).
Error readError(std::string_view text, std::uint64_t options = 1) {
  kstCJSONDeserializer r;
  r.setOptions(options);
  Error e;
  std::optional<Value> v = r.deserialize(text, &e);
  EXPECT_EQ(v.has_value(), e.code == 0) << text;
  return e;
}

Value read(std::string_view text, std::uint64_t options = 1) {
  kstCJSONDeserializer r;
  r.setOptions(options);
  Error e;
  std::optional<Value> v = r.deserialize(text, &e);
  EXPECT_TRUE(v.has_value()) << text << " -> " << e.code << " " << e.localizedDescription();
  return v.value_or(Value());
}

TEST(JsonReader, ReadsObjectWithWhiteSpaceAroundIt) {
  Value v = read(" \r\n { \"a\" :\t1 } \n");
  ASSERT_TRUE(v.isObject());
  EXPECT_EQ(v, Value(json::Object{{"a", Value(1u)}}));
}

TEST(JsonReader, ReadsNestedContainersKeepingKeyOrderAndLaterDuplicatesWin) {
  Value v = read(R"({"z":[true,false,null,"s",{}],"a":{"k":[]},"z2":1,"a":2})");
  const json::Object& o = *v.asObject();
  ASSERT_EQ(o.size(), 3u);
  EXPECT_EQ(o.keys(), (std::vector<std::string>{"z", "a", "z2"}));
  EXPECT_EQ(*o.find("a"), Value(2u));  // replaced in the first one's place
  const json::Array& z = *o.find("z")->asArray();
  ASSERT_EQ(z.size(), 5u);
  EXPECT_EQ(z[0], Value(true));
  EXPECT_EQ(z[1], Value(false));
  EXPECT_TRUE(z[2].isNull());
  EXPECT_EQ(z[3], Value("s"));
  EXPECT_TRUE(z[4].isObject());
}

TEST(JsonReader, TrailingCommasAreAccepted) {
  EXPECT_EQ(read("[1,2,]"), Value(json::Array{Value(1u), Value(2u)}));
  EXPECT_EQ(read("{\"a\":1 , }"), Value(json::Object{{"a", Value(1u)}}));
  EXPECT_EQ(readError("[,]").code, -202);
  EXPECT_EQ(readError("[1,,2]").code, -202);
  EXPECT_EQ(readError("{,}").code, -102);
}

TEST(JsonReader, EmptyAndAbsentInput) {
  kstCJSONDeserializer r;
  Error e;
  EXPECT_FALSE(r.deserialize(nullptr, &e));
  EXPECT_EQ(e.code, -11);
  EXPECT_EQ(e.localizedDescription(), "Have no data to scan.");
  EXPECT_EQ(e.domain, "CJSONDeserializerErrorDomain");
  for (const char* text : {"", "  \t\r\n\v\f "}) {
    Error x = readError(text);
    EXPECT_EQ(x.code, -15);
    EXPECT_EQ(x.localizedDescription(), "Could not read JSON object, input exhausted.");
  }
}

TEST(JsonReader, ErrorPositionsBelongToTheCurrentInput) {
  kstCJSONDeserializer r;
  EXPECT_TRUE(r.deserialize("[1, 2, 3]    "));
  EXPECT_EQ(r.scanLocation(), 13u);
  Error e;
  EXPECT_FALSE(r.deserialize(std::string_view(), &e));  // empty, without any bytes behind it
  EXPECT_EQ(e.code, -15);
  EXPECT_EQ(e.userInfo.find("location")->asUInt(), 0u);
  EXPECT_EQ(r.scanLocation(), 0u);
}

TEST(JsonReader, SameSharedBufferTwiceFailsButACopyReads) {
  kstCJSONDeserializer r;
  auto buf = std::make_shared<const std::string>("[1]");
  EXPECT_TRUE(r.deserialize(buf));
  Error e;
  EXPECT_FALSE(r.deserialize(buf, &e));
  EXPECT_EQ(e.code, -11);
  EXPECT_TRUE(r.deserialize(std::make_shared<const std::string>(*buf)));
  EXPECT_TRUE(r.deserialize(buf));  // no longer the buffer the reader holds
}

TEST(JsonReader, FragmentsNeedOption4) {
  Error e = readError("42");
  EXPECT_EQ(e.code, -16);
  EXPECT_EQ(e.localizedDescription(), "Scanning fragments not allowed.");
  EXPECT_EQ(read("42", 4 | 1), Value(42u));
  EXPECT_EQ(read(" \"s\" ", 4), Value("s"));
  EXPECT_EQ(read("true", 4), Value(true));
  EXPECT_TRUE(read("null", 4).isNull());

  kstCJSONDeserializer r;
  r.setOptions(4);
  r.setNullObject(Value("NULL"));
  EXPECT_EQ(r.deserialize("null"), Value("NULL"));
  r.setNullObject(std::nullopt);
  std::optional<Value> v = r.deserialize("null");
  ASSERT_TRUE(v);  // a value, not an empty result without an error
  EXPECT_TRUE(v->isNull());
}

TEST(JsonReader, TrailingDataAndBadStartBytes) {
  EXPECT_EQ(readError("{} []").code, -17);
  EXPECT_EQ(readError("{}x").localizedDescription(), "Did not consume all data.");
  EXPECT_EQ(readError("[1] ]").code, -17);
  for (const char* t : {"[tru]", "[nul", "[fals]", "[+1]", "[x]"}) {
    Error e = readError(t);
    EXPECT_EQ(e.code, -202) << t;
  }
  Error e = readError("\xEF\xBB\xBF[]");  // a UTF-8 byte-order mark begins no value
  EXPECT_EQ(e.code, -15);
  EXPECT_EQ(e.localizedDescription(),
            "Could not scan object. Character not a valid JSON character.");
  // Nothing checks what follows a literal.
  EXPECT_EQ(readError("[truex]").code, -204);
  EXPECT_EQ(read("[true ]"), Value(json::Array{Value(true)}));
}

TEST(JsonReader, ContainerErrorsCarryCodeMessageAndOutermostStart) {
  struct Case {
    const char* text;
    std::int64_t code;
    const char* message;
    std::uint64_t location;
  } cases[] = {
      {"{", -102, "Could not scan dictionary. Failed to scan a key.", 0},
      {"{a:1}", -102, "Could not scan dictionary. Failed to scan a key.", 0},
      {"{\"a\" 1}", -103, "Could not scan dictionary. Key was not terminated with a ':' character.",
       0},
      {"{\"a\":}", -104, "Could not scan dictionary. Failed to scan a value.", 0},
      {"{\"a\":1 \"b\":2}", -106, "kJSONDeserializerErrorCode_DictionaryKeyValuePairNoDelimiter",
       0},
      {"[1 2]", -204, "Could not scan array. Array not terminated by a ']' character.", 0},
      {"[", -202, "Could not scan array. Could not scan a value.", 0},
      {"  [[1,2],[3 4]]", -202, "Could not scan array. Could not scan a value.", 2},
      {"{\"k\":[1,{\"x\" 2}]}", -104, "Could not scan dictionary. Failed to scan a value.", 0},
  };
  for (const Case& c : cases) {
    Error e = readError(c.text);
    EXPECT_EQ(e.code, c.code) << c.text;
    EXPECT_EQ(e.localizedDescription(), c.message) << c.text;
    EXPECT_EQ(uintEntry(e, "location"), c.location) << c.text;
  }
}

TEST(JsonReader, MissingColonAtStartReportsZeroPosition) {
  Error e = readError("{\"a\" 1}");
  EXPECT_EQ(uintEntry(e, "line"), 0u);
  EXPECT_EQ(uintEntry(e, "character"), 0u);
  EXPECT_EQ(uintEntry(e, "location"), 0u);
  EXPECT_EQ(snippet(e), "!HERE>!{\"a\" 1}");
  EXPECT_EQ(e.userInfo.keys(), (std::vector<std::string>{"NSLocalizedDescription", "line",
                                                         "character", "location", "snippet"}));
}

TEST(JsonReader, LineCharacterAndSnippetOfAPositionAfterLineBreaks) {
  // Fragment string with a bad escape: the position moves back to its opening quote.
  std::string text = "\r\n\n   \"abcdefghijklmnopqrstuvwxyz0123\\q\"";
  kstCJSONDeserializer r;
  r.setOptions(4);
  Error e;
  EXPECT_FALSE(r.deserialize(text, &e));
  EXPECT_EQ(e.code, -303);
  EXPECT_EQ(e.localizedDescription(), "Could not scan string constant. Unknown escape code.");
  EXPECT_EQ(uintEntry(e, "location"), 6u);
  EXPECT_EQ(r.scanLocation(), 6u);
  EXPECT_EQ(uintEntry(e, "line"), 3u);       // CR LF counts two
  EXPECT_EQ(uintEntry(e, "character"), 5u);  // 6 - 2 + 1
  EXPECT_EQ(snippet(e), "\r\n\n   !HERE>!\"abcdefghijklmnopqrs");
}

TEST(JsonReader, SnippetShowsACutMultiByteSequenceAsReplacement) {
  // 19 ASCII bytes then a 3-byte character straddling the 20-byte window after the error.
  std::string text = std::string("[\"") + std::string(17, 'a') + "\xE2\x82\xAC\\q\"]";
  kstCJSONDeserializer r;
  Error e;
  EXPECT_FALSE(r.deserialize(text, &e));
  EXPECT_EQ(e.code, -202);
  EXPECT_EQ(snippet(e), "!HERE>![\"" + std::string(17, 'a') + "\xEF\xBF\xBD");
}

TEST(JsonReader, StringEscapesAndRawBytes) {
  EXPECT_EQ(read(R"(["\"\\\/\b\f\n\r\t"])"), Value(json::Array{Value("\"\\/\b\f\n\r\t")}));
  EXPECT_EQ(read("[\"tab\tand\x01raw\nline\"]"),
            Value(json::Array{Value("tab\tand\x01raw\nline")}));
  EXPECT_EQ(read(R"(["\u00e9\u20AC\uD83D\uDE00"])"),
            Value(json::Array{Value("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")}));
  EXPECT_EQ(read(R"(["a\u0000b"])"), Value(json::Array{Value(std::string("a\0b", 3))}));
  // A zero byte ends the hex digits early.
  EXPECT_EQ(read(std::string("[\"\\u41\0\0\"]", 10)), Value(json::Array{Value("A")}));
}

TEST(JsonReader, BadStringsFailWithTheirCodes) {
  struct Case {
    std::string text;
    std::int64_t code;
    const char* message;
  } cases[] = {
      {"'a'", -301, "Could not scan string constant. String not started by a '\"' character."},
      {"\"abc", -304, "Could not scan string constant. No terminating double quote character."},
      {"\"abc\\", -304, "Could not scan string constant. No terminating double quote character."},
      {"\"\\uD83D\"", -305, "Could not decode string escape code."},
      {"\"\\uD83Dx\\uDE00\"", -305, "Could not decode string escape code."},
      {"\"\\uD83D\\u0041\"", -305, "Could not decode string escape code."},
      {"\"\\uDE00\"", -305, "Could not decode string escape code."},
      {"\"\\u12G4\"", -305, "Could not decode string escape code."},
      {"\"\\u12", -305, "Could not decode string escape code."},
      {"\"\xC3(\"", -306, "Could not create string."},
      {"\"\xED\xA0\x80\"", -306, "Could not create string."},
      {"\"\\q\"", -303, "Could not scan string constant. Unknown escape code."},
  };
  for (const Case& c : cases) {
    Error e = readError(c.text, 4);
    EXPECT_EQ(e.code, c.code) << c.text;
    EXPECT_EQ(e.localizedDescription(), c.message) << c.text;
  }
  EXPECT_EQ(readError("{\"a\xFF\":1}").code, -102);
}

TEST(JsonReader, LaxEscapesWithOption8StillCheckUtf8) {
  EXPECT_EQ(read(R"(["\q\'\a"])", 8), Value(json::Array{Value("q'a")}));
  EXPECT_EQ(readError("[\"\\\xFF\"]", 8).code, -202);  // the escaped byte is not UTF-8
  EXPECT_EQ(read("[\"\\\xC3\xA9\"]", 8), Value(json::Array{Value("\xC3\xA9")}));
}

TEST(JsonReader, AbsentNullObjectDropsNullMembersButNotElements) {
  kstCJSONDeserializer r;
  r.setNullObject(std::nullopt);
  EXPECT_EQ(r.deserialize(R"({"a":null,"b":1})"), Value(json::Object{{"b", Value(1u)}}));
  EXPECT_EQ(r.deserialize("[null]"), Value(json::Array{Value()}));
  r.setNullObject(Value(0));
  EXPECT_EQ(r.deserialize(R"({"a":null})"), Value(json::Object{{"a", Value(0)}}));
  EXPECT_TRUE(kstCJSONDeserializer().nullObject()->isNull());
}

// Objects after the first in an array follow its keys; members are stored before their
// values are read. Dropped nulls, repeated keys, escaped keys (assembled in the buffer the
// value's strings reuse) and large, indexed objects must all come out as in a lone object.
TEST(JsonReader, LikeObjectsInArraysKeepNullDropDuplicatesAndEscapedKeys) {
  kstCJSONDeserializer r;
  r.setNullObject(std::nullopt);
  Value v = *r.deserialize(R"([{"a":1,"b":"x","c":{"d":2}},)"
                           R"({"a":null,"b":"y","c":{"d":null,"e":3}},)"
                           R"({"a":4,"b":"z","a":5,"c":null},)"
                           R"({"k\u00e9y":"v\n","b":"w"}])");
  const json::Array& a = *v.asArray();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[1],
            Value(json::Object{{"b", Value("y")}, {"c", Value(json::Object{{"e", Value(3u)}})}}));
  EXPECT_EQ(a[2].asObject()->keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(*a[2].asObject()->find("a"), Value(5u));
  EXPECT_EQ(a[3], Value(json::Object{{"k\xC3\xA9y", Value("v\n")}, {"b", Value("w")}}));

  std::string big = "[";
  for (int o = 0; o < 2; ++o) {
    big += o ? ",{" : "{";
    for (int k = 0; k < 40; ++k)
      big += "\"key" + std::to_string(k) + "\":" + std::to_string(k) + ",";
    big += "\"key7\":\"again\",\"key39\":null}";
  }
  big += "]";
  Value b = *r.deserialize(big);
  for (const Value& e : *b.asArray()) {
    const json::Object& o = *e.asObject();
    ASSERT_EQ(o.size(), 40u);
    EXPECT_EQ(*o.find("key7"), Value("again"));
    EXPECT_EQ(*o.find("key38"), Value(38u));
    EXPECT_EQ((o.end() - 1)->first, "key39");
    EXPECT_EQ((o.end() - 1)->second, Value(39u));
  }
}

TEST(JsonReader, Utf16AndUtf32InputsInEveryForm) {
  auto widen = [](std::string_view ascii, int unit, bool bigEndian, bool bom) {
    std::string out;
    auto put = [&](std::uint32_t c) {
      for (int i = 0; i < unit; ++i) {
        int shift = bigEndian ? 8 * (unit - 1 - i) : 8 * i;
        out.push_back(static_cast<char>((c >> shift) & 0xFF));
      }
    };
    if (bom) put(0xFEFF);
    for (char c : ascii) put(static_cast<unsigned char>(c));
    return out;
  };
  const std::string text = R"({"k":[1,"x"]})";
  const Value want = read(text);
  for (int unit : {2, 4})
    for (bool be : {false, true})
      for (bool bom : {false, true}) {
        kstCJSONDeserializer r;
        Error e;
        std::optional<Value> v = r.deserialize(widen(text, unit, be, bom), &e);
        ASSERT_TRUE(v) << unit << be << bom << " " << e.code;
        EXPECT_EQ(*v, want);
        EXPECT_EQ(r.scanLocation(), text.size());  // offsets are in the UTF-8 text
      }
  // A surrogate pair in UTF-16 LE becomes 4 UTF-8 bytes.
  std::string pair = widen("[\"", 2, false, false) + std::string("\x3D\xD8\x00\xDE", 4) +
                     widen("\"]", 2, false, false);
  EXPECT_EQ(read(pair), Value(json::Array{Value("\xF0\x9F\x98\x80")}));
  // Odd length and an unpaired surrogate do not convert: -12 without a description.
  for (std::string bad : {widen("[1]", 2, false, false) + "x", widen("[\"", 2, false, false) +
                                                                   std::string("\x3D\xD8", 2) +
                                                                   widen("\"]", 2, false, false)}) {
    Error e = readError(bad);
    EXPECT_EQ(e.code, -12);
    EXPECT_FALSE(e.userInfo.contains("NSLocalizedDescription"));
    EXPECT_TRUE(e.userInfo.contains("location"));
  }
}

TEST(JsonReader, DictionaryAndArrayEntryPointsIgnoreWhatFollows) {
  kstCJSONDeserializer r;
  Error e;
  auto d = r.deserializeAsDictionary(" {\"a\":1} trailing", &e);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d->find("a"), Value(1u));
  EXPECT_EQ(r.scanLocation(), 8u);
  EXPECT_FALSE(r.deserializeAsDictionary("[1]", &e));
  EXPECT_EQ(e.code, -101);
  auto a = r.deserializeAsArray("[1,2]]]", &e);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->size(), 2u);
  EXPECT_FALSE(r.deserializeAsArray("{}", &e));
  EXPECT_EQ(e.code, -201);
  EXPECT_FALSE(r.deserializeAsArray("", &e));
  EXPECT_EQ(e.code, -201);
  EXPECT_FALSE(r.deserializeAsArray(nullptr, &e));
  EXPECT_EQ(e.code, -11);
}

TEST(JsonReader, ConveniencesReturnObjectsOrArrays) {
  EXPECT_TRUE(kstCJSONDeserializer::dictionaryWithJSONString("{\"a\":[]}")->isObject());
  EXPECT_TRUE(kstCJSONDeserializer::dictionaryWithJSONData("[{}]")->isArray());
  Error e;
  EXPECT_FALSE(kstCJSONDeserializer::dictionaryWithJSONString("1", &e));
  EXPECT_EQ(e.code, -16);
  EXPECT_FALSE(kstCJSONDeserializer::dictionaryWithJSONData(nullptr, &e));
  EXPECT_EQ(e.code, -11);
}

TEST(JsonReader, NestingIsBoundedAndFailsWithTheOutermostContainer) {
  const int limit = kstCJSONDeserializer::kMaxNesting;
  std::string ok = std::string(limit, '[') + std::string(limit, ']');
  EXPECT_TRUE(read(ok).isArray());
  std::string deep = std::string(limit + 1, '[') + std::string(limit + 1, ']');
  Error e = readError(deep);
  EXPECT_EQ(e.code, -202);
  EXPECT_EQ(uintEntry(e, "location"), 0u);
  // Far deeper than any stack could recurse: still a plain error.
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  e = readError(objects);
  EXPECT_EQ(e.code, -104);
  EXPECT_EQ(uintEntry(e, "location"), 0u);
}

TEST(JsonReader, ArraysOfLikeObjectsKeepEachObjectsOwnKeys) {
  // The first object guides the later ones; every deviation must still read correctly.
  Value v = read(R"([{"a":1,"b":2,"c":3},{"a":4,"b":5,"c":6},{"a":7,"c":8,"b":9},)"
                 R"({"a":1,"a":2,"b":3},{"b":1},{"a":1,"b":2,"c":3,"d":4},{"\u0061":5}])");
  const json::Array& a = *v.asArray();
  EXPECT_EQ(a[1], Value(json::Object{{"a", Value(4u)}, {"b", Value(5u)}, {"c", Value(6u)}}));
  EXPECT_EQ(a[2].asObject()->keys(), (std::vector<std::string>{"a", "c", "b"}));
  EXPECT_EQ(a[3], Value(json::Object{{"a", Value(2u)}, {"b", Value(3u)}}));
  EXPECT_EQ(a[4].asObject()->keys(), (std::vector<std::string>{"b"}));
  EXPECT_EQ(a[5].asObject()->size(), 4u);
  EXPECT_EQ(a[6], Value(json::Object{{"a", Value(5u)}}));

  // Objects under a guided key are guided by the first element's member object.
  Value n = read(R"([{"u":{"a":1,"b":2}},{"u":{"a":3,"a":4,"b":5}},{"u":[{"a":1}]},)"
                 R"({"u":{"b":1,"a":2}},{"u":{"a":{"a":1},"b":{}}}])");
  const json::Array& b = *n.asArray();
  EXPECT_EQ(*b[1].asObject()->find("u"), Value(json::Object{{"a", Value(4u)}, {"b", Value(5u)}}));
  EXPECT_TRUE(b[2].asObject()->find("u")->isArray());
  EXPECT_EQ(b[3].asObject()->find("u")->asObject()->keys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(*b[4].asObject()->find("u")->asObject()->find("a"),
            Value(json::Object{{"a", Value(1u)}}));
}

TEST(JsonReader, InterningNeverMixesUpStringsAcrossCalls) {
  kstCJSONDeserializer r;
  std::string accent = "\xC3\xA9t\xC3\xA9";
  for (int round = 0; round < 3; ++round) {
    std::string text = "[";
    for (int i = 0; i < 3000; ++i) text += "\"" + accent + std::to_string(i % 700) + "\",";
    text += "\"" + accent + "\"]";
    std::optional<Value> v = r.deserialize(text);
    ASSERT_TRUE(v);
    const json::Array& a = *v->asArray();
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(a[i].asString(), accent + std::to_string(i % 700));
  }
  // A cached valid string does not hide an invalid one of the same length.
  EXPECT_TRUE(r.deserialize("[\"\xC3\xA9\"]"));
  EXPECT_FALSE(r.deserialize("[\"\xC3\xC3\"]"));
}

}  // namespace
}  // namespace zeplog
