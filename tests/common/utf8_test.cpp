#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace zeplog::detail {
namespace {

TEST(Utf8, AcceptsWellFormedTextIncludingZeroByte) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
  EXPECT_TRUE(isValidUtf8("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 and a long ascii run here"));
}

TEST(Utf8, RejectsOverlongSurrogatesAndOutOfRange) {
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // U+D800
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("abcdefgh\xFF"));      // after the eight-byte fast path
  EXPECT_FALSE(isValidUtf8("\xE2\x82"));          // cut sequence
}

TEST(Utf8, RepairReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(repairUtf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A cut three-byte sequence is one replacement, not two.
  EXPECT_EQ(repairUtf8("\xE2\x82"
                       "x"),
            "\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(isValidUtf8(repairUtf8("\x80\x81\xC2")));
  // A byte that can never lead a sequence swallows nothing after it.
  EXPECT_EQ(repairUtf8("\xF5\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(repairUtf8("\xFF"
                       "a"),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(toValidUtf8("ok \xC3\xA9"), "ok \xC3\xA9");
}

// A plain decoder to compare against: reads each sequence's code point by its lead byte's
// length and rejects what is shorter than announced, overlong, a surrogate or above U+10FFFF.
bool referenceValid(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80           ? 1
                      : (c >> 5) == 0x6  ? 2
                      : (c >> 4) == 0xE  ? 3
                      : (c >> 3) == 0x1E ? 4
                                         : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = len == 1 ? c : c & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
      auto b = static_cast<unsigned char>(s[i + k]);
      if ((b >> 6) != 0x2) return false;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

// Checks bytes alone and inside ASCII padding at a moving offset, so that they meet the
// block-skipping and the per-sequence paths at every alignment and cut across block ends.
void expectSameAsReference(const std::string& bytes, std::size_t salt) {
  bool want = referenceValid(bytes);
  ASSERT_EQ(isValidUtf8(bytes), want) << testing::PrintToString(bytes);
  std::string padded = std::string(salt % 19, 'a') + bytes + std::string(salt % 7, 'b');
  ASSERT_EQ(isValidUtf8(padded), want) << testing::PrintToString(padded);
}

TEST(Utf8, AgreesWithReferenceOnAllShortSequences) {
  for (unsigned x = 0; x < 0x100; ++x) {
    expectSameAsReference(std::string(1, static_cast<char>(x)), x);
    for (unsigned y = 0; y < 0x100; ++y) {
      expectSameAsReference({static_cast<char>(x), static_cast<char>(y)}, x + y);
    }
  }
  // Every three-byte sequence whose first byte is not ASCII (an ASCII first byte leaves a
  // two-byte case covered above); alone only, and a sample of them padded.
  for (unsigned x = 0x80; x < 0x100; ++x) {
    for (unsigned y = 0; y < 0x100; ++y) {
      for (unsigned z = 0; z < 0x100; ++z) {
        std::string t = {static_cast<char>(x), static_cast<char>(y), static_cast<char>(z)};
        ASSERT_EQ(isValidUtf8(t), referenceValid(t)) << testing::PrintToString(t);
        if ((y ^ z) % 61 == 0) expectSameAsReference(t, x + y + z);
      }
    }
  }
}

TEST(Utf8, AgreesWithReferenceOnFourByteAndMixedText) {
  std::mt19937 rng(20240611);
  // Four-byte sequences around the interesting lead and second bytes.
  const unsigned leads[] = {0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  for (int i = 0; i < 400000; ++i) {
    unsigned lead = leads[rng() % 9];
    std::string t = {static_cast<char>(lead), static_cast<char>(0x70 + rng() % 0x60),
                     static_cast<char>(rng() % 2 ? 0x80 + rng() % 0x40 : rng() % 0x100),
                     static_cast<char>(rng() % 4 ? 0x80 + rng() % 0x40 : rng() % 0x100)};
    expectSameAsReference(t, static_cast<std::size_t>(i));
  }
  // Longer texts of valid characters of every length, some with one byte changed, so an
  // error can sit anywhere relative to the 16-byte blocks.
  const char* pieces[] = {"a",
                          " ",
                          "\xC3\xA9",
                          "\xEC\x84\x9C",
                          "\xED\x9F\xBF",
                          "\xEF\xBF\xBF",
                          "\xF0\x9F\x98\x80",
                          "\xF4\x8F\xBF\xBF",
                          "\xE0\xA0\x80"};
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    std::size_t n = rng() % 48;
    for (std::size_t k = 0; k < n; ++k) t += pieces[rng() % 9];
    if (!t.empty() && rng() % 2) t[rng() % t.size()] = static_cast<char>(rng() % 0x100);
    expectSameAsReference(t, static_cast<std::size_t>(i));
  }
}

}  // namespace
}  // namespace zeplog::detail
