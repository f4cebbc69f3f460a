#include "common/utf8.hpp"

#include <gtest/gtest.h>

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
  EXPECT_EQ(toValidUtf8("ok \xC3\xA9"), "ok \xC3\xA9");
}

}  // namespace
}  // namespace zeplog::detail
