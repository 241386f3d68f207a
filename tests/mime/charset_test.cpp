#include "email/mime/charset.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "email/mime/charset_labels.h"
#include "email/mime/mime.h"
#include "text/text.h"

namespace {

using email::mime::decodeCharset;
using email::mime::decodeCharsetNoBom;
using namespace std::string_literals;

const std::filesystem::path kCharsetDir =
    std::filesystem::path(VENTRY_SHARED_DIR) / "conformance" / "charsets";

std::string unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// The tab-separated columns of every line of a shared vector file.
std::vector<std::vector<std::string>> readTsv(const std::filesystem::path& file) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> columns;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      columns.push_back(line.substr(start, tab - start));
    }
    columns.push_back(line.substr(start));
    rows.push_back(std::move(columns));
  }
  return rows;
}

std::string lookupName(std::string_view label) {
  const auto charset = email::mime::lookupCharsetLabel(label);
  return charset ? std::string(email::mime::charsetName(*charset)) : "unknown";
}

TEST(CharsetLabels, EmbeddedForms) {
  const struct {
    std::string label, want;
  } cases[] = {
      {"utf-8", "UTF-8"},
      {"\tUTF-8\r\n", "UTF-8"},
      {"\vutf-8", "unknown"},  // VT is not stripped
      {"\xC2\xA0utf-8", "unknown"},
      {"utf-8 (comment)", "unknown"},
      {"\"utf-8\"", "unknown"},
      {"us-ascii", "windows-1252"},
      {"ISO-8859-1", "windows-1252"},
      {"iso8859_1", "windows-1252"},
      {"iso-8859-9", "windows-1254"},
      {"gbk", "gb18030"},
      {"ks_c_5601-1987", "EUC-KR"},
      {"x-unicode-2-0-utf-7", "UTF-7"},
      {"x-unicode-2-0-utf-7x", "unknown"},
      {"utf-16", "UTF-16LE"},
      {"iso-2022-kr", "replacement"},
      {"", "unknown"},
      {"unknown-8bit", "unknown"},
  };
  for (const auto& c : cases) EXPECT_EQ(lookupName(c.label), c.want) << c.label;
  EXPECT_TRUE(email::mime::isKnownBodyCharset("hz-gb-2312"));
  EXPECT_FALSE(email::mime::isKnownBodyCharset("x-unknown"));
}

TEST(CharsetDecoding, EmbeddedCases) {
  const struct {
    std::string bytes, label, want;
  } cases[] = {
      {"\x80\x81", "us-ascii", "\xE2\x82\xAC\xC2\x81"},  // windows-1252: 0x81 stays U+0081
      {"caf\xE9", "iso-8859-1", "caf\xC3\xA9"},
      {"\xEF\xBB\xBF"
       "bom",
       "iso-8859-1", "bom"},  // the BOM overrides and is removed
      {"\xFF\xFE"
       "a\x00"s,
       "us-ascii", "a"},
      {"\xFE\xFF"
       "a",
       "utf-8", "\xEF\xBF\xBD"},
      {"\xF0\x9F\x98", "utf-8", "\xEF\xBF\xBD"},  // one U+FFFD per maximal subpart
      {"\xED\xA0\x80", "utf-8", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      // Unknown and empty labels decode as ISO-8859-1 here, without BOM sniffing.
      {"caf\xE9", "", "caf\xC3\xA9"},
      {"\xEF\xBB\xBFx", "bogus", "\xC3\xAF\xC2\xBB\xC2\xBFx"},
      {"anything", "replacement", "\xEF\xBF\xBD"},
      {"", "iso-2022-kr", ""},
      {"\x80\xFF", "x-user-defined", "\xEF\x9E\x80\xEF\x9F\xBF"},
      // A broken CJK sequence keeps the ASCII byte that ends it.
      {"\x81!", "shift_jis", "\xEF\xBF\xBD!"},
      {"\xA1!", "euc-kr", "\xEF\xBF\xBD!"},
      {"\xA1\xA1!", "euc-kr", "\xE3\x80\x80!"},
      {"\x81\x30"
       "A",
       "gb18030",
       "\xEF\xBF\xBD"
       "0A"},
      {"\x1B$B\x30\x21\x1B(Bz", "iso-2022-jp", "\xE4\xBA\x9Cz"},
      // UTF-7.
      {"Hi +AOk- +- +ZeVnLIqe-x +!", "utf-7",
       "Hi \xC3\xA9 + \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9Ex \xEF\xBF\xBD!"},
      {"a+AGE", "utf-7", "aa"},
      {"a+AG-b", "utf-7",
       "a\xEF\xBF\xBD"
       "b"},
      {"+AGEAYgBjAA", "utf-7", "abc\xEF\xBF\xBD"},
      {"+2D3eAA-", "utf-7", "\xF0\x9F\x98\x80"},
      {"+", "utf-7", "\xEF\xBF\xBD"},
      {"\xC3\xA9", "utf-7", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      // UTF-16: odd final byte, unpaired surrogates.
      {"a\x00"s
       "b",
       "utf-16le", "a\xEF\xBF\xBD"},
      {"\x00\xD8"
       "a\x00"s,
       "utf-16le",
       "\xEF\xBF\xBD"
       "a"},
      {"\xD8\x00\xD8\x00"s
       "A",
       "utf-16be", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(decodeCharset(c.bytes, c.label)), hex(c.want)) << c.label << " " << hex(c.bytes);
  }
}

TEST(CharsetDecoding, WordsKeepTheBomAndRejectReplacementLabels) {
  EXPECT_EQ(decodeCharsetNoBom("\xEF\xBB\xBFx", "utf-8"), "\xEF\xBB\xBFx");
  EXPECT_EQ(decodeCharsetNoBom("\xFF\xFE"
                               "a",
                               "iso-8859-1"),
            "\xC3\xBF\xC3\xBE"
            "a");
  EXPECT_EQ(decodeCharsetNoBom("x", "iso-2022-kr"), std::nullopt);
  EXPECT_EQ(decodeCharsetNoBom("x", "replacement"), std::nullopt);
  EXPECT_EQ(decodeCharsetNoBom("x", "utf-8*en"), std::nullopt);
  EXPECT_EQ(decodeCharsetNoBom("x", ""), std::nullopt);
}

TEST(BodyText, TransferThenCharsetDecoding) {
  const struct {
    std::string cte, charset, body;
    std::optional<std::string> want;
  } cases[] = {
      {"", "iso-8859-1", "caf\xE9", "caf\xC3\xA9"},
      {"base64", "utf-8", "Y2Fmw6k=\r\n", "caf\xC3\xA9"},
      {"base64", "utf-8", "Y2Fmw6k", std::nullopt},  // base64 failure: no text
      {"quoted-printable", "windows-1252", "=80 caf=E9=\r\n", "\xE2\x82\xAC caf\xC3\xA9"},
      {"quoted-printable", "", "caf=E9", "caf\xC3\xA9"},
      {"", "utf-16",
       "\xFE\xFF\x00"
       "A"s,
       "A"},
  };
  for (const auto& c : cases) {
    std::string message = "Content-Type: text/plain; charset=\"" + c.charset + "\"\n";
    if (!c.cte.empty()) message += "Content-Transfer-Encoding: " + c.cte + "\n";
    message += "\n" + c.body;
    const email::mime::ParsedMessage parsed = email::mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(email::mime::bodyText(parsed, 0), c.want) << c.cte << " " << c.body;
  }
}

TEST(CharsetConformance, LabelTables) {
  if (!std::filesystem::exists(kCharsetDir / "labels.tsv")) {
    GTEST_SKIP() << "shared charset vectors not found under " << kCharsetDir;
  }
  for (const auto& row : readTsv(kCharsetDir / "labels.tsv")) {
    ASSERT_GE(row.size(), 2u);
    EXPECT_EQ(lookupName(row[0]), row[1]) << row[0];
    std::string upper = " \t" + row[0] + "\r\n\f";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(lookupName(upper), row[1]) << upper;
  }
  for (const auto& row : readTsv(kCharsetDir / "label_forms.tsv")) {
    ASSERT_EQ(row.size(), 2u);
    EXPECT_EQ(lookupName(unhex(row[0])), row[1]) << row[0];
  }
}

TEST(CharsetConformance, EveryVectorFile) {
  if (!std::filesystem::exists(kCharsetDir / "UTF-8.tsv")) {
    GTEST_SKIP() << "shared charset vectors not found under " << kCharsetDir;
  }
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kCharsetDir)) {
    const std::string name = entry.path().stem().string();
    if (entry.path().extension() != ".tsv" || name == "labels" || name == "label_forms") continue;
    ++files;
    // The reference turns bytes >= 0x80 of unknown labels into U+FFFD; we decode them as
    // ISO-8859-1 on purpose, so that file only checks that no BOM is sniffed.
    const bool unknown = name == "unknown";
    const std::string label = unknown ? "x-unknown" : text::asciiLower(name);
    size_t mismatches = 0;
    for (const auto& row : readTsv(entry.path())) {
      ASSERT_EQ(row.size(), 2u) << name;
      const std::string input = unhex(row[0]);
      const std::string want = unknown ? text::latin1ToUtf8(input) : unhex(row[1]);
      const std::string got = decodeCharset(input, label);
      if (got != want && ++mismatches <= 5) {
        ADD_FAILURE() << name << ": " << row[0] << " gave " << hex(got) << ", want " << hex(want);
      }
    }
    EXPECT_EQ(mismatches, 0u) << name;
  }
  EXPECT_GE(files, 40u);
}

}  // namespace
