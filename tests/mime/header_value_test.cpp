#include "email/mime/header_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "email/mime/mime.h"

namespace {

using email::mime::decodeHeaderValue;
using email::mime::HeaderTokenKind;
using email::mime::tokenizeHeaderValue;

struct ValueCase {
  std::string raw;
  std::string decoded;
};

void expectDecodes(const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) {
    EXPECT_EQ(decodeHeaderValue(c.raw), c.decoded) << "raw value: " << c.raw;
  }
}

TEST(HeaderValue, EncodedWords) {
  expectDecodes({
      {"=?utf-8?q?caf=C3=A9?=", "café"},
      {"=?UTF-8?B?Y2Fmw6k=?=", "café"},
      {"=?iso-8859-1?q?caf=E9?= =?iso-8859-1?q?_bar?=", "café bar"},
      {"=?utf-8?q?a?= b =?utf-8?q?c?=", "a b c"},
      {"a =?utf-8?q?a?= ", "a a"},
      {"x=?utf-8?q?a?=", "x=?utf-8?q?a?="},
      {"=?utf-8?q?a?=x", "=?utf-8?q?a?=x"},
      {"(=?utf-8?q?a?=)", "(a)"},
      {"\"=?utf-8?q?a?=\"", "\"a\""},
      {"<=?utf-8?q?a?=>", "<a>"},
      {",=?utf-8?q?a?=,", ",a,"},
      {"=?unknown?q?a?=", "=?unknown?q?a?="},
      {"=?utf-8?x?a?=", "=?utf-8?x?a?="},
      {"=?utf-8?b?YQ?=", "=?utf-8?b?YQ?="},
      {"=?utf-8?b?YR==?=", "a"},
      {"=?utf-8?b?Y Q==?=", "=?utf-8?b?Y Q==?="},
      {"=?utf-8?q?a=zz?=", "a=zz"},
      {"=?utf-8?q?a=4?=", "a=4"},
      {"=?utf-8?q?a=?=", "a"},
      {"=?utf-8?q?a=e9?=", "a\uFFFD"},
      {"=?utf-8?q?=C3?= =?utf-8?q?=A9?=", "\uFFFD\uFFFD"},
      {"=?us-ascii?q?caf=E9?=", "café"},
      {"=?utf-16?b?//5hAA==?=", "\uFEFFa"},
      {"=?utf-8?q?a?==?utf-8?q?b?=", "a?==?utf-8?q?b"},
      {"=?utf-8?q?a?= =?broken", "a =?broken"},
      {"=? utf-8?q?a?=", "a"},
      {"=?utf-8*en?q?a?=", "=?utf-8*en?q?a?="},
      {"=?iso-2022-kr?q?a?=", "=?iso-2022-kr?q?a?="},
      {"=?utf-8?q?caf\xC3\xA9?=", "caf"},
      {"=?utf-8?q?a\xC2\xA0?=", "a\u00A0"},  // trailing white space survives Q decoding
      {"=?utf-8?q?a__?=", "a  "},
      {"=?utf-8?q?a?b?=", "a?b"},
      {"=?utf-8?q?=", "=?utf-8?q?="},
      {"=?\?=", "=?\?="},
      {"=?utf-8?qq?a?=", "=?utf-8?qq?a?="},
      {"=?utf-8?Q?=41=4a?=", "AJ"},
  });
}

TEST(HeaderValue, UnfoldingAndWhiteSpace) {
  expectDecodes({
      {"", ""},
      {"x \r\n y", "x  y"},
      {"x\r\n\t\ty", "x y"},
      {"\r\n a@b", " a@b"},
      {"x\n y", "x y"},
      {"x\r\r\n y", "x\r y"},  // only one CR before the LF is dropped
      {"=?utf-8?q?a?=\r\n =?utf-8?q?b?=", "ab"},
      {"=?utf-8?q?a?= \r\n b", "a  b"},
      {"=?utf-8?q?a?=\r\n b", "a b"},
      {"a\r\n =?utf-8?q?b?=", "a b"},
      {"=?utf-8?q?a?=  =?utf-8?q?b?=  c", "ab  c"},
      {"\xC2\xA0x", "x"},          // NBSP at the start of a UTF-8 value
      {"\xA0x", "x"},              // raw A0 in a Latin-1 value
      {"\x85x", "x"},              // U+0085 in a Latin-1 value
      {"\r\n base64", " base64"},  // a folded value keeps the fold as one space
  });
}

TEST(HeaderValue, BytesToText) {
  expectDecodes({
      {"caf\xC3\xA9", "café"},
      {"caf\xE9", "café"},
      // One invalid byte anywhere (a continuation line included) makes every byte Latin-1.
      {"caf\xC3\xA9\r\n \xE9", "cafÃ© é"},
      {"\xED\xA0\x80", "í\u00A0\u0080"},  // an encoded surrogate is not UTF-8
  });
}

// The reference tests the characters around an encoded word by byte offset used as a
// character index, so after multi-byte characters it looks too far right.
TEST(HeaderValue, BoundaryIndexQuirk) {
  expectDecodes({
      {"\xC3\xA9 =?utf-8?q?a?=", "é =?utf-8?q?a?="},
      {"\xE9 =?utf-8?q?a?=", "é =?utf-8?q?a?="},
      {"=?utf-8?q?a?=\xC2\xA0=?utf-8?q?b?=", "a\u00A0=?utf-8?q?b?="},
      {"\xC3\xA9\r\n =?utf-8?q?a?=", "é a"},  // a new line starts the count afresh
      {"ab =?utf-8?q?a?=", "ab a"},
      // Three extra bytes move the test onto the blank inside "=? utf-8", a boundary.
      {"\xC3\xA9\xC3\xA9\xC3\xA9 =? utf-8?q?a?=", "ééé a"},
      // The end test runs past the line's last character, which counts as a boundary.
      {"=?utf-8?q?\xC3\xA9?=x", "x"},
  });
}

TEST(HeaderValue, TokenStreamKeepsWordsWhole) {
  std::vector<email::mime::HeaderToken> tokens =
      tokenizeHeaderValue("\"=?utf-8?q?a=2C_b?=\" <x@y>,\r\n c");
  std::string joined;
  int words = 0;
  for (const auto& token : tokens) {
    joined += token.text;
    if (token.kind == HeaderTokenKind::Word) {
      ++words;
      EXPECT_EQ(token.text, "a, b");
    }
  }
  EXPECT_EQ(words, 1);
  EXPECT_EQ(joined, "\"a, b\" <x@y>, c");
}

// The address reader takes the tokens a few at a time; they must be the same tokens, a space
// held back at the end of a step taking in the spaces that follow it.
TEST(HeaderValue, StreamedTokensAreTheWholeValuesTokens) {
  const std::string values[] = {
      "",
      "a, b",
      "=?utf-8?q?a?= =?utf-8?q?b?=  \r\n =?utf-8?q?c?=",
      "x =?utf-8?q?a?=\r\n \r\n\t\r\n y",
      "a\n b\n \n c",
      "=?utf-8?q?a?=\r\n ",
      "\"=?utf-8?q?a=2C_b?=\" <x@y>,\r\n c",
      "=?bad?x?y?= =?utf-8?b?YQ==?=\xE9",
  };
  for (const std::string& value : values) {
    SCOPED_TRACE(testing::PrintToString(value));
    email::mime::HeaderTokenStream stream(value);
    std::vector<email::mime::HeaderToken> streamed;
    std::vector<email::mime::HeaderToken> step;
    size_t largestStep = 0;
    while (stream.next(step)) {
      largestStep = std::max(largestStep, step.size());
      for (auto& token : step) streamed.push_back(std::move(token));
      step.clear();
    }
    const std::vector<email::mime::HeaderToken> whole = tokenizeHeaderValue(value);
    ASSERT_EQ(streamed.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(streamed[i].kind, whole[i].kind) << i;
      EXPECT_EQ(streamed[i].text, whole[i].text) << i;
    }
    EXPECT_LE(largestStep, 4u);
  }
}

TEST(HeaderValue, HeaderValueUsesRawValue) {
  email::mime::Header header{"Subject", "=?utf-8?q?J=C3=B6rg?=\r\n\tHi"};
  EXPECT_EQ(email::mime::headerValue(header), "Jörg Hi");
}

TEST(HeaderValue, LongValuesStayLinear) {
  std::string many;
  std::string expected;
  for (int i = 0; i < 50000; ++i) {
    many += i % 2 ? " =?utf-8?q?b?=" : " =?utf-8?B?YQ==?=\r\n";
    expected += i % 2 ? "b" : "a";
  }
  EXPECT_EQ(decodeHeaderValue(many), expected);

  // Many openings whose closing "?=" never qualifies: each search must not rescan the line.
  std::string openings;
  for (int i = 0; i < 50000; ++i) openings += " =?a?=x";
  EXPECT_EQ(decodeHeaderValue(openings), openings.substr(1));
}

}  // namespace
