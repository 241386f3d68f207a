#include "text/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"", ""},
      {"  a b  ", "a b"},
      {"\t\r\n\v\fx\x0B", "x"},
      {"\xC2\xA0x\xE3\x80\x80", "x"},              // NBSP, ideographic space
      {"\xC2\x85x\xE2\x80\xA8\xE2\x80\xAF", "x"},  // NEL, line separator, narrow NBSP
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},          // zero-width space is not White_Space
      {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},          // nor is the byte-order mark
  };
  for (const auto& c : cases) EXPECT_EQ(text::trim(c.in), c.want) << c.in;
}

TEST(Utf8, ValidationAndLossyDecoding) {
  EXPECT_TRUE(text::isValidUtf8("caf\xC3\xA9"));
  EXPECT_FALSE(text::isValidUtf8("caf\xE9"));
  EXPECT_FALSE(text::isValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(text::isValidUtf8("\xC0\xAF"));      // overlong
  EXPECT_EQ(text::utf8Lossy("a\xF0\x9F\x98"
                            "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(text::utf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(text::latin1ToUtf8("caf\xE9"), "caf\xC3\xA9");
}

TEST(Utf8, PrefixCountsScalarValues) {
  EXPECT_EQ(text::prefixCodePoints("\xC3\xA9\xC3\xA9x", 2), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(text::prefixCodePoints("ab", 5), "ab");
  EXPECT_EQ(text::countCodePoints("\xC3\xA9x"), 2u);
}

TEST(Lower, FullMappingWithFinalSigma) {
  EXPECT_EQ(text::unicodeLower("TEXT/Plain"), "text/plain");
  EXPECT_EQ(text::unicodeLower("TEXT/\xCE\x91\xCE\xA3"), "text/\xCE\xB1\xCF\x82");
  EXPECT_EQ(text::unicodeLower("TEXT/\xCE\x91\xCE\xA3.X"), "text/\xCE\xB1\xCF\x83.x");
}

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(text::encodeBase64(""), "");
  EXPECT_EQ(text::encodeBase64("f"), "Zg==");
  EXPECT_EQ(text::encodeBase64("fo"), "Zm8=");
  EXPECT_EQ(text::encodeBase64("foo"), "Zm9v");
  EXPECT_EQ(text::encodeBase64(std::string("\xFF\x00\x80", 3)), "/wCA");
}

}  // namespace
