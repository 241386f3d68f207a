// The report-attachment rescue: a body that is only a base64-coded zip or gzip archive.

#include <string>
#include <vector>

#include "read_fixture.h"
#include "text/text.h"

namespace {

using reader_test::listed;
using reader_test::multipart;
using reader_test::read;

std::string archive(const std::string& magic, size_t size) {
  std::string bytes = magic;
  for (size_t i = bytes.size(); i < size; ++i) bytes += static_cast<char>('a' + i % 26);
  return bytes;
}

// Base64 folded into lines of 20 characters.
std::string folded(const std::string& base64) {
  std::string out;
  for (size_t i = 0; i < base64.size(); i += 20) out += base64.substr(i, 20) + "\r\n";
  return out;
}

std::string report(const std::string& name, const std::string& type, const std::string& bytes) {
  return name + "|" + type + "|-|" + std::to_string(bytes.size()) + "|" + text::encodeBase64(bytes);
}

const std::string kZip("PK\x03\x04", 4), kEmptyZip("PK\x05\x06", 4), kGzip("\x1F\x8B", 2);
const std::string kUtf8 = "Content-Type: text/plain; charset=utf-8\n\n";
const std::string kHtml = "Content-Type: text/html\n\n";

TEST(Rescue, WhenABodyBecomesTheAttachment) {
  const std::string zip48 = archive(kZip, 48);  // 64 base64 characters, the least accepted
  const std::string b64 = text::encodeBase64(zip48), zip = folded(b64);
  const std::string padded = text::encodeBase64(archive(kZip, 50));  // ends in one "="
  std::string badBits = padded, outside = b64;
  badBits[badBits.size() - 2] = 'B';  // the last symbol's unused bits set
  outside[10] = '-';
  const std::string emptyZip = archive(kEmptyZip, 48), gzip = archive(kGzip, 60);
  const std::string atCap = archive(kZip, email::kInlineCap);
  const struct {
    std::string name, raw;
    std::vector<std::string> attachments;
    std::string text, html;  // after the read
  } cases[] = {
      {"zip over lines", kUtf8 + zip, {report("report.zip", "application/zip", zip48)}, "", ""},
      {"unicode white space",
       kUtf8 + b64.substr(0, 30) + "\xC2\xA0\xE2\x80\xA8" + b64.substr(30),
       {report("report.zip", "application/zip", zip48)},
       "",
       ""},
      {"ASCII white space of every kind",
       kUtf8 + b64.substr(0, 10) + "\t" + b64.substr(10, 10) + "\v" + b64.substr(20, 10) + "\f " +
           b64.substr(30, 10) + "\r\n" + b64.substr(40),
       {report("report.zip", "application/zip", zip48)},
       "",
       ""},
      {"a control byte that is not white space",
       kUtf8 + b64.substr(0, 30) + "\x1F" + b64.substr(30),
       {},
       b64.substr(0, 30) + "\x1F" + b64.substr(30),
       ""},
      {"empty zip",
       kUtf8 + folded(text::encodeBase64(emptyZip)),
       {report("report.zip", "application/zip", emptyZip)},
       "",
       ""},
      {"gzip",
       kUtf8 + text::encodeBase64(gzip),
       {report("report.gz", "application/gzip", gzip)},
       "",
       ""},
      {"at the cap",
       kUtf8 + text::encodeBase64(atCap),
       {report("report.zip", "application/zip", atCap)},
       "",
       ""},
      {"over the cap",
       kUtf8 + text::encodeBase64(atCap + "x"),
       {},
       text::encodeBase64(atCap + "x"),
       ""},
      {"60 characters", kUtf8 + b64.substr(0, 60), {}, b64.substr(0, 60), ""},
      {"other magic",
       kUtf8 + text::encodeBase64(archive("%PDF", 48)),
       {},
       text::encodeBase64(archive("%PDF", 48)),
       ""},
      {"outside the alphabet", kUtf8 + outside, {}, outside, ""},
      {"padding missing", kUtf8 + padded.substr(0, 67), {}, padded.substr(0, 67), ""},
      {"trailing bits", kUtf8 + badBits, {}, badBits, ""},
      {"beside a real attachment",
       multipart("multipart/mixed", {kUtf8 + zip, "Content-Type: application/pdf; name=a.pdf\n\n"}),
       {"a.pdf|application/pdf|-|1|Cg=="},
       zip + "\n",
       ""},
      {"text before html",
       multipart("multipart/alternative", {kUtf8 + zip, kHtml + zip}),
       {report("report.zip", "application/zip", zip48)},
       "",
       zip + "\n"},
      {"html alone",
       multipart("multipart/alternative", {kUtf8 + "hi", kHtml + zip}),
       {report("report.zip", "application/zip", zip48)},
       "hi\n",
       ""},
  };
  for (const auto& c : cases) {
    const auto got = read(c.raw);
    EXPECT_EQ(listed(got.result.attachments), c.attachments) << c.name;
    EXPECT_EQ(got.result.text, c.text) << c.name;
    EXPECT_EQ(got.result.html, c.html) << c.name;
    EXPECT_TRUE(got.notices.empty()) << c.name;
  }
}

}  // namespace
