// The report-attachment rescue: a body that is only a base64-coded zip or gzip archive.

#include <cstdint>
#include <string>

#include "read_fixture.h"
#include "text/text.h"

namespace {

using reader_test::multipart;
using reader_test::read;

std::string archive(const std::string& magic, size_t size) {
  std::string bytes = magic;
  for (size_t i = bytes.size(); i < size; ++i) bytes += static_cast<char>('a' + i % 26);
  return bytes;
}

// Base64 folded into lines of `width` characters.
std::string folded(const std::string& base64, size_t width = 20) {
  std::string out;
  for (size_t i = 0; i < base64.size(); i += width) out += base64.substr(i, width) + "\r\n";
  return out;
}

const std::string kZip("PK\x03\x04", 4);
const std::string kEmptyZip("PK\x05\x06", 4);
const std::string kGzip("\x1F\x8B", 2);
const std::string kUtf8 = "Content-Type: text/plain; charset=utf-8\n\n";

struct RescueCase {
  std::string name;
  std::string body;      // the text of a single-part text/plain message
  std::string filename;  // empty: no report attachment
  std::string decoded;   // the archive bytes when one is expected
};

TEST(Rescue, SinglePartBodies) {
  const std::string zip48 = archive(kZip, 48);  // 64 base64 characters, the least accepted
  const std::string b64 = text::encodeBase64(zip48);
  const std::string padded = text::encodeBase64(archive(kZip, 50));  // ends in one "="
  std::string badBits = padded;
  badBits[badBits.size() - 2] = 'B';  // the last symbol's unused bits set
  std::string outside = b64;
  outside[10] = '-';
  const RescueCase cases[] = {
      {"zip over lines", folded(b64), "report.zip", zip48},
      {"zip unicode white space", b64.substr(0, 30) + "\xC2\xA0\xE2\x80\xA8" + b64.substr(30),
       "report.zip", zip48},
      {"empty zip", folded(text::encodeBase64(archive(kEmptyZip, 48))), "report.zip",
       archive(kEmptyZip, 48)},
      {"gzip", folded(text::encodeBase64(archive(kGzip, 60))), "report.gz", archive(kGzip, 60)},
      {"60 characters", text::encodeBase64(archive(kZip, 45)), "", ""},
      {"other magic", text::encodeBase64(archive("%PDF", 48)), "", ""},
      {"outside the alphabet", outside, "", ""},
      {"padding missing", padded.substr(0, padded.size() - 1), "", ""},
      {"trailing bits", badBits, "", ""},
      {"prose", std::string(100, 'a') + " and more", "", ""},
  };
  for (const auto& c : cases) {
    const auto got = read(kUtf8 + c.body);
    EXPECT_TRUE(got.notices.empty()) << c.name;
    if (c.filename.empty()) {
      EXPECT_TRUE(got.result.attachments.empty()) << c.name;
      EXPECT_EQ(got.result.text, c.body) << c.name;
      continue;
    }
    ASSERT_EQ(got.result.attachments.size(), 1u) << c.name;
    const auto& a = got.result.attachments[0];
    EXPECT_EQ(a.filename, c.filename) << c.name;
    EXPECT_EQ(a.contentType, c.filename == "report.zip" ? "application/zip" : "application/gzip");
    EXPECT_EQ(a.content, text::encodeBase64(c.decoded)) << c.name;
    EXPECT_EQ(a.size, c.decoded.size()) << c.name;
    EXPECT_FALSE(a.contentId.has_value()) << c.name;
    EXPECT_EQ(got.result.text, "") << c.name;
  }
}

TEST(Rescue, DecodedSizeBoundary) {
  for (uint64_t size : {email::kInlineCap, email::kInlineCap + 1}) {
    const auto got = read(kUtf8 + text::encodeBase64(archive(kZip, size)));
    EXPECT_EQ(got.result.attachments.size(), size == email::kInlineCap ? 1u : 0u) << size;
  }
}

TEST(Rescue, WhichBody) {
  const std::string zip = folded(text::encodeBase64(archive(kZip, 60)));
  const std::string realAttachment = "Content-Type: application/pdf; name=a.pdf\n\n%PDF";

  auto got = read(multipart("multipart/mixed", {kUtf8 + zip, realAttachment}));
  ASSERT_EQ(got.result.attachments.size(), 1u);
  EXPECT_EQ(got.result.attachments[0].filename, "a.pdf");
  EXPECT_EQ(got.result.text, zip + "\n");

  got =
      read(multipart("multipart/alternative", {kUtf8 + zip, "Content-Type: text/html\n\n" + zip}));
  ASSERT_EQ(got.result.attachments.size(), 1u);
  EXPECT_EQ(got.result.text, "");
  EXPECT_EQ(got.result.html, zip + "\n");

  got = read(
      multipart("multipart/alternative", {kUtf8 + "hello", "Content-Type: text/html\n\n" + zip}));
  ASSERT_EQ(got.result.attachments.size(), 1u);
  EXPECT_EQ(got.result.attachments[0].filename, "report.zip");
  EXPECT_EQ(got.result.text, "hello\n");
  EXPECT_EQ(got.result.html, "");
}

}  // namespace
