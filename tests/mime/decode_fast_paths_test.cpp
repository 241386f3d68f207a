// The word-at-a-time paths of transfer decoding against what the one-character rules give:
// transferDecodedSize must agree with transferDecode on every body, and quoted-printable
// lines must decode the same whether or not they hold bytes that are dropped.
#include <gtest/gtest.h>

#include <string>

#include "email/mime/mime.h"
#include "email/mime/transfer_encoding.h"

namespace {

namespace mime = email::mime;

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

struct SizeCase {
  const char* what;
  std::string body;
  bool ok;
  uint64_t size;
};

TEST(TransferDecodedSize, AgreesWithTheDecodedBytes) {
  const std::string line76 = repeat("QUJD", 19);  // 76 symbols, 57 bytes
  const SizeCase cases[] = {
      {"empty body", "", true, 0},
      {"one line", line76 + "\r\n", true, 57},
      {"many lines", repeat(line76 + "\r\n", 10), true, 570},
      {"padding after a whole chunk", repeat("QUJD", 4) + "QQ==", true, 13},
      {"padding inside the second chunk", repeat("QUJD", 5) + "QUI=\r\n", true, 17},
      {"block split across chunks by white space", repeat("QUJD", 3) + "QU\r\nJD" + "QUJD", true,
       15},
      {"white space of every kind", "QU JD\tQU\fJD\rQU\nJD", true, 9},
      // Sixteen bytes ending inside a block that holds a bad byte, then a clean chunk.
      {"bad byte in an open block before a clean chunk", "\tQUJDQUJDQUJDQU*" + line76, false, 0},
      {"high byte in an open block before a clean chunk",
       "\tQUJDQUJDQUJDQU\x80" + repeat("QUJD", 8), false, 0},
      {"bad byte late in a long body", repeat("QUJD", 40) + "Q*JD", false, 0},
      {"padding then a clean chunk", "QUI=" + repeat("QUJD", 8), true, 26},
      {"open padded block followed by symbols", "QUJDQUJDQUJDQU=" + repeat("QUJD", 8), false, 0},
      {"dangling symbols", repeat("QUJD", 8) + "QU", false, 0},
      {"dangling after white space only", repeat("QUJD", 8) + "\r\n  \r\n", true, 24},
      {"lone padding", "====", false, 0},
      // White space is counted in byte lanes that are summed every 255 chunks.
      {"more chunks than a lane counts", repeat(line76 + "\r\n", 100), true, 5700},
      {"white space in every lane of many chunks", repeat(" ", 8192) + "QUJD", true, 3},
      {"bad byte after a few hundred clean chunks", repeat("QUJD", 1300) + "*AAA", false, 0},
  };
  for (const auto& c : cases) {
    const std::string message = "Content-Transfer-Encoding: base64\r\n\r\n" + c.body;
    const mime::ParsedMessage parsed = mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok()) << c.what;
    const mime::BodyBytes decoded = mime::transferDecode(parsed, 0);
    const mime::BodySize counted = mime::transferDecodedSize(parsed, 0);
    EXPECT_EQ(decoded.ok, c.ok) << c.what;
    EXPECT_EQ(counted.ok, c.ok) << c.what;
    // The kept decoding gives the same bytes, and a size asked after it agrees.
    const mime::ParsedMessage again = mime::parseMessage(message);
    const mime::BodyView kept = mime::decodedBody(again, 0);
    EXPECT_EQ(kept.ok, c.ok) << c.what;
    EXPECT_EQ(kept.bytes, decoded.bytes()) << c.what;
    EXPECT_EQ(mime::decodedBody(again, 0).bytes.data(), kept.bytes.data()) << c.what;
    const mime::BodySize afterKept = mime::transferDecodedSize(again, 0);
    EXPECT_EQ(afterKept.ok, c.ok) << c.what;
    EXPECT_EQ(afterKept.size, counted.size) << c.what;
    if (c.ok) {
      EXPECT_EQ(decoded.bytes().size(), c.size) << c.what;
      EXPECT_EQ(counted.size, c.size) << c.what;
    } else {
      EXPECT_EQ(counted.size, 0u) << c.what;
    }
  }
}

TEST(TransferDecodedSize, OtherEncodingsCountTheirOutput) {
  const struct {
    const char* encoding;
    std::string body;
    uint64_t size;
  } cases[] = {
      {"7bit", "plain text\r\n", 12},
      {"quoted-printable", "caf=E9 =\r\nau lait\n", 14},  // soft break joins; LF becomes CRLF
      {"x-unknown", "as it is", 8},
  };
  for (const auto& c : cases) {
    const std::string message =
        std::string("Content-Transfer-Encoding: ") + c.encoding + "\r\n\r\n" + c.body;
    const mime::ParsedMessage parsed = mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok()) << c.encoding;
    const mime::BodySize counted = mime::transferDecodedSize(parsed, 0);
    EXPECT_TRUE(counted.ok) << c.encoding;
    EXPECT_EQ(counted.size, c.size) << c.encoding;
    EXPECT_EQ(mime::transferDecode(parsed, 0).bytes().size(), c.size) << c.encoding;
  }
}

TEST(DecodesToText, AgreesWithTheDecodedText) {
  const char* labels[] = {
      "us-ascii", "utf-8",    "windows-1252", "shift_jis",   "euc-kr",    "gb18030", "big5",
      "utf-16le", "utf-16be", "utf-7",        "iso-2022-jp", "x-unknown", "",        "replacement"};
  const std::string inputs[] = {
      "",
      "a",
      "text",
      "\xEF\xBB\xBF",   // UTF-8 byte-order mark alone
      "\xEF\xBB\xBFx",  // and with text
      "\xFF\xFE",       // UTF-16LE byte-order mark alone
      "\xFE\xFF",       // UTF-16BE byte-order mark alone
      "\xFF\xFEx\x00",
      "\x1B$B\x1B(B",  // ISO-2022-JP escapes only
      "+-",            // UTF-7 plus sign
      "+",
      "\x82",  // a lone lead byte
      std::string("\0", 1),
  };
  for (const char* label : labels) {
    for (const auto& in : inputs) {
      EXPECT_EQ(mime::decodesToText(in, label), !mime::decodeCharset(in, label).empty())
          << label << " / " << testing::PrintToString(in);
    }
  }
}

struct QuotedPrintableCase {
  const char* what;
  std::string in;
  std::string want;
};

TEST(QuotedPrintableLines, DroppedBytesAndLongRuns) {
  const std::string long80 = repeat("abcdefgh", 10);
  const QuotedPrintableCase cases[] = {
      {"long plain line", long80 + "\n", long80 + "\r\n"},
      {"escape after eight plain bytes", "abcdefgh=41bcdefgh", "abcdefghAbcdefgh"},
      {"DEL stops the eight-byte path and is dropped", "abcdefg\x7Fhijklmnop", "abcdefghijklmnop"},
      {"dropped byte splits an escape",
       "x=4\x80"
       "1y",
       "xAy"},
      {"dropped byte before a soft break", "ab=\x80\ncd", "abcd"},
      {"dropped byte hides trailing blanks", "ab \x80 \ncd", "ab\r\ncd"},
      {"only dropped bytes after the last line feed", "ab\n\x80\x81", "ab\r\n"},
      {"dropped bytes on a middle line", "ab\n\x80\ncd", "ab\r\n\r\ncd"},
      {"tab and CR stay inside a line", "a\tb\rc\n", "a\tb\rc\r\n"},
      {"equals with one character at the end", "abc=4", "abc=4"},
      {"equals and a non-hex pair", "a=XYb", "a=XYb"},
      {"soft break at the end of input", "abc=", "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mime::decodeQuotedPrintable(c.in), c.want) << c.what;
  }
}

}  // namespace
