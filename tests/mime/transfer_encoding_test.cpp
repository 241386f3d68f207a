#include "email/mime/transfer_encoding.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "email/mime/mime.h"

namespace {

using email::mime::decodeBase64Mime;
using email::mime::decodeBase64Strict;
using email::mime::decodeQuotedPrintable;

struct Base64Case {
  std::string in;
  std::optional<std::string> want;
};

TEST(Base64Mime, BlocksPaddingAndFailures) {
  const Base64Case cases[] = {
      {"", ""},
      {"aGVsbG8=", "hello"},
      {"aGVs\r\nbG8=\n", "hello"},       // CR and LF are ignored anywhere
      {"aGVsbA==aGVsbA==", "hellhell"},  // padded blocks may be followed by more
      {"QR==", "A"},                     // trailing bits of a padded block are ignored
      {"aGVsbB==", "hell"},
      {"QUI=", "AB"},
      {"aGVsbG8", std::nullopt},  // not a multiple of 4
      {"QQ", std::nullopt},
      {"QQ==QQ", std::nullopt},
      {"x===", std::nullopt},
      {"====", std::nullopt},
      {"QQ=A", std::nullopt},       // '=' inside a block
      {"aGVs bG8=", std::nullopt},  // other white space is the caller's business
      {"aGVs\tbG8=", std::nullopt},
      {"aGVs\vbG8=", std::nullopt},
      {"aGVs-G8=", std::nullopt},
      {"aGVs_G8=", std::nullopt},
      {"aGVs\xC3\xA9G8", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeBase64Mime(c.in), c.want) << c.in;
}

TEST(Base64Strict, CanonicalFormOnly) {
  const Base64Case cases[] = {
      {"", ""},
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QUJDRA==", "ABCD"},
      {"QQ", std::nullopt},  // padding required
      {"QUJDRA", std::nullopt},
      {"QUJDR", std::nullopt},  // a lone symbol in the last group
      {"QR==", std::nullopt},   // non-zero trailing bits
      {"QUJ=", std::nullopt},
      {"QQ==QUJD", std::nullopt},  // padding inside
      {"Q===", std::nullopt},
      {"QUJD\r\n", std::nullopt},  // nothing is skipped
      {"QU JD", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeBase64Strict(c.in), c.want) << c.in;
}

TEST(QuotedPrintable, RobustDecoding) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""},
      {"soft=\r\nbreak\r\n", "softbreak\r\n"},
      {"trail   \r\nx\t\r\n", "trail\r\nx\r\n"},
      {"lf\nonly\n", "lf\r\nonly\r\n"},
      {"x\n=\ny", "x\r\ny"},
      {"end=\n", "end"},
      {"\n", "\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"no break", "no break"},
      {"caf\xC3\xA9 raw", "caf raw"},  // bytes >= 0x80 vanish
      {"a\x7F\x01z", "az"},            // so do DEL and other controls
      {"=3D=3d=C3=A9", "==\xC3\xA9"},  // either hex case
      {"==41", "==41"},                // not an escape: kept, scanning goes on
      {"=4G!", "=4G!"},
      {"a=4", "a=4"},                    // '=' and one character at the line end
      {"soft= \r\nx", "softx"},          // "= " at a line end is soft after the trim
      {"in\rline\r\n", "in\rline\r\n"},  // a lone CR inside a line stays
      {"=0D=0A", "\r\n"},
      {"last line=", "last line"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeQuotedPrintable(c.in), c.want) << c.in;
}

TEST(TransferDecode, FirstHeaderSelectsLowerCasedUntrimmedValue) {
  using email::mime::Header;
  const struct {
    std::vector<Header> headers;
    std::string body;
    bool ok, transformed;
    std::string want;
  } cases[] = {
      {{}, "plain\r\n", true, false, "plain\r\n"},
      {{{"Content-Transfer-Encoding", "7bit"}}, "x=41", true, false, "x=41"},
      {{{"content-transfer-encoding", "BASE64"}}, "aGVs\r\n bG8=\f\t\r\n", true, true, "hello"},
      {{{"Content-Transfer-Encoding", "base64 "}}, "aGVsbG8=", true, false, "aGVsbG8="},
      {{{"Content-Transfer-Encoding", "base64"}}, "aGVsbG8", false, false, ""},
      {{{"Content-Transfer-Encoding", "base64"}}, "aGVs\vbG8=", false, false, ""},
      {{{"Content-Transfer-Encoding", "Quoted-Printable"}}, "x=41=\r\n", true, true, "xA"},
      {{{"Content-Transfer-Encoding", "quoted-printable"}, {"Content-Transfer-Encoding", "base64"}},
       "aGk=",
       true,
       true,
       "aGk"},  // the first header wins: "=" at the end is a soft break
      {{{"Content-Transfer-Encoding ", "base64"}}, "aGk=", true, false, "aGk="},
      // The value is decoded before it is compared: leading white space goes, words decode.
      {{{"Content-Transfer-Encoding", "\tbase64"}}, "aGk=", true, true, "hi"},
      {{{"Content-Transfer-Encoding", "=?us-ascii?q?Base64?="}}, "aGk=", true, true, "hi"},
  };
  for (const auto& c : cases) {
    std::string message;
    for (const Header& header : c.headers) {
      message += std::string(header.name) + ": " + std::string(header.value) + "\n";
    }
    message += "\n" + c.body;
    const email::mime::ParsedMessage parsed = email::mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok());
    const email::mime::BodyBytes got = email::mime::transferDecode(parsed, 0);
    EXPECT_EQ(got.ok, c.ok) << c.body;
    EXPECT_EQ(got.transformed, c.transformed) << c.body;
    EXPECT_EQ(got.bytes(), c.want) << c.body;
    if (c.ok && !c.transformed) {
      // Identity encodings return a view of the message.
      EXPECT_EQ(got.bytes().data(), email::mime::partBody(parsed, 0).data());
    }
  }
}

}  // namespace
