// A log call's attributes packed and read back: types, limits, repair, library names.
#include "event/attribute_blob.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event/attribute_fields.hpp"

namespace zeplog::detail {
namespace {

// What the call keeps, packed; and what is cut.
struct Packed {
  std::string bytes;
  std::uint32_t cut = 0;
};
Packed pack(std::span<const Attribute> attributes) {
  Packed p;
  p.bytes.assign(packedAttributeBytes(attributes), '#');
  p.cut = packAttributes(attributes, p.bytes.data());
  return p;
}

// Each attribute as "key=type:text".
std::vector<std::string> shown(std::string_view bytes) {
  std::vector<std::string> out;
  ValueTextBuffer buffer;
  for (const PackedAttribute& a : PackedAttributes(bytes)) {
    out.push_back(std::string(a.key) + "=" + "TIDB"[static_cast<int>(a.value.type())] + ":" +
                  std::string(attributeValueText(a.value, buffer)));
  }
  return out;
}

TEST(AttributeBlob, KeepsTypesAndAppliesTheLimits) {
  const std::string longKey(kMaxAttributeKeyBytes + 5, 'k');
  // "é" is two bytes: a cut inside it backs off to the character before.
  const std::string longText = std::string(kMaxAttributeTextBytes - 1, 't') + "é";
  struct Case {
    const char* name;
    std::vector<Attribute> in;
    std::vector<std::string> kept;
    std::uint32_t cut;
  };
  const std::vector<Case> cases = {
      {"types",
       {{"s", "x"}, {"i", -7}, {"u", ~0ull}, {"d", 0.25}, {"b", true}},
       {"s=T:x", "i=I:-7", "u=I:9223372036854775807", "d=D:0.25", "b=B:true"},
       0},
      {"non-finite doubles", {{"n", 1.0 / 0.0}}, {"n=D:Infinity"}, 0},
      {"empty key left out", {{"", 1}, {"k", ""}}, {"k=T:"}, 1},
      {"long key cut", {{longKey, 1}}, {std::string(kMaxAttributeKeyBytes, 'k') + "=I:1"}, 1},
      {"long text cut at a character",
       {{"k", longText}},
       {"k=T:" + std::string(kMaxAttributeTextBytes - 1, 't')},
       1},
  };
  for (const Case& c : cases) {
    const Packed p = pack(c.in);
    EXPECT_EQ(shown(p.bytes), c.kept) << c.name;
    EXPECT_EQ(p.cut, c.cut) << c.name;
  }
  std::vector<Attribute> many(kMaxAttributes + 3, Attribute{"k", 1});
  const Packed p = pack(many);
  EXPECT_EQ(shown(p.bytes).size(), kMaxAttributes);
  EXPECT_EQ(p.cut, 3u);
  // A damaged run stops at the first attribute that does not fit.
  EXPECT_EQ(shown(std::string_view(p.bytes).substr(0, p.bytes.size() - 1)).size(),
            kMaxAttributes - 1);
}

TEST(AttributeBlob, SendableFormRepairsTextAndLeavesOutLibraryNames) {
  const std::vector<Attribute> in = {
      {"ok", "\xff"}, {"logLevel", "x"}, {"UserID", 1}, {"\xc3", true}};
  const Packed p = pack(in);
  std::string spare;
  std::uint32_t clashes = 0;
  EXPECT_EQ(shown(sendablePackedAttributes(p.bytes, spare, clashes)),
            (std::vector<std::string>{"ok=T:\uFFFD", "\uFFFD=B:true"}));
  EXPECT_EQ(clashes, 2u);
  // Valid attributes with no library name are the same bytes, not a copy.
  const Packed clean = pack(std::vector<Attribute>{{"a", 1}});
  EXPECT_EQ(sendablePackedAttributes(clean.bytes, spare, clashes).data(), clean.bytes.data());
}

}  // namespace
}  // namespace zeplog::detail
