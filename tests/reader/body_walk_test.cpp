// The body walk: candidates, the charset rule, last-wins and format=flowed.

#include <optional>
#include <string>
#include <vector>

#include "read_fixture.h"

namespace {

using email::FeatureId;
using reader_test::kPlain;
using reader_test::line;
using reader_test::lines;
using reader_test::multipart;

std::string guess(const std::string& label, const std::string& charset, bool utf8) {
  return line(FeatureId::MimeCharsetFallback,
              "the " + label + " body " +
                  (charset.empty() ? "declares no charset" : "declares charset " + charset) +
                  (utf8 ? " but carries non-ASCII bytes; they are valid UTF-8 and were decoded "
                          "as UTF-8 (a guess, not a declaration)"
                        : " but carries non-ASCII bytes that are not UTF-8; decoded as "
                          "windows-1252 (mailparse's us-ascii fallback), so some characters "
                          "may be wrong"));
}
const std::string kOverwritten = line(FeatureId::MimeNested,
                                      "an earlier text/plain body was overwritten by a later "
                                      "part (last-wins over the nested MIME tree)");
const std::string kFlowed = line(FeatureId::MimeFormatFlowed,
                                 "the text/plain body declares format=flowed (RFC 3676) but is "
                                 "carried as written: soft line breaks are not reflowed, so "
                                 "flowed paragraphs render hard-wrapped");

TEST(BodyWalk, CharsetRuleLastWinsAndFlowed) {
  const std::string utf8 = "Content-Type: text/plain; charset=utf-8\n\n";
  const std::string flowedPlain = "Content-Type: text/plain; format=flowed\n\n";
  const struct {
    std::string name, raw;
    std::optional<std::string> text;  // not compared when absent
    std::string html;
    std::vector<std::string> notices;
  } cases[] = {
      {"utf8 guess",
       kPlain + "caf\xC3\xA9\n",
       "caf\xC3\xA9\n",
       "",
       {guess("text/plain", "", true)}},
      {"utf8 declared", utf8 + "caf\xC3\xA9\n", "caf\xC3\xA9\n", "", {}},
      {"lone E9", kPlain + "caf\xE9 x", "caf\xC3\xA9 x", "", {guess("text/plain", "", false)}},
      {"empty charset",
       "Content-Type: text/plain; charset=\"\"\n\ncaf\xE9",
       std::nullopt,
       "",
       {guess("text/plain", "", false)}},
      {"us-ascii",
       "Content-Type: text/plain; charset=us-ascii\n\n\xC3\xA9",
       "\xC3\xA9",
       "",
       {guess("text/plain", "us-ascii", true)}},
      {"ascii spaced",
       "Content-Type: text/plain; charset=\" ASCII \"\n\n\x80",
       "\xE2\x82\xAC",
       "",
       {guess("text/plain", "ascii", false)}},
      {"latin1 declared",
       "Content-Type: text/plain; charset=latin1\n\n\xC3\xA9",
       "\xC3\x83\xC2\xA9",
       "",
       {}},
      {"bom kept on a guess",
       kPlain + "\xEF\xBB\xBFhi",
       "\xEF\xBB\xBFhi",
       "",
       {guess("text/plain", "", true)}},
      {"bom removed by a label", utf8 + "\xEF\xBB\xBFhi", "hi", "", {}},
      {"html guess",
       "Content-Type: TEXT/HTML\n\n\xC3\xA9",
       "",
       "\xC3\xA9",
       {guess("text/html", "", true)}},
      {"broken base64",
       "Content-Transfer-Encoding: base64\n\n!!!!",
       "",
       "",
       {line(FeatureId::AttachmentsContent,
             "a text/plain body part failed to decode and was dropped")}},
      {"two bodies",
       multipart("multipart/mixed", {kPlain + "real body", kPlain + "second"}),
       "second\n",
       "",
       {kOverwritten}},
      {"empty first",
       multipart("multipart/mixed", {"", kPlain + "real body"}),
       "real body\n",
       "",
       {}},
      {"empty last",
       multipart("multipart/mixed", {kPlain + "real body", ""}),
       "",
       "",
       {kOverwritten}},
      {"named attachment is a body too",
       multipart("multipart/mixed", {kPlain + "real body",
                                     "Content-Disposition: attachment; filename=a.txt\n\nnotes"}),
       "notes\n",
       "",
       {kOverwritten}},
      {"broken after good",
       multipart("multipart/alternative",
                 {kPlain + "good", "Content-Transfer-Encoding: base64\n\n!!!!",
                  "Content-Type: text/html\n\nh"}),
       "good\n",
       "h\n",
       {line(FeatureId::AttachmentsContent,
             "a text/plain body part failed to decode and was dropped")}},
      {"same guess twice, notice order",
       multipart("multipart/mixed", {kPlain + "\xC3\xA9", flowedPlain + "\xC3\xA9!"}),
       "\xC3\xA9!\n",
       "",
       {guess("text/plain", "", true), kOverwritten, kFlowed}},
      {"flowed delsp",
       "Content-Type: text/plain; format=\" FLOWED \"; DelSp=Yes\n\na \nb",
       "a \nb",
       "",
       {line(FeatureId::MimeFormatFlowed,
             "the text/plain body declares format=flowed; delsp=yes (RFC 3676) but is carried as "
             "written: soft line breaks are not reflowed and their trailing spaces are kept, so "
             "flowed paragraphs render hard-wrapped")}},
      {"flowed delsp no",
       "Content-Type: text/plain; format=flowed; delsp=no\n\nx",
       "x",
       "",
       {kFlowed}},
      {"fixed", "Content-Type: text/plain; format=fixed\n\nx", "x", "", {}},
      {"html flowed", "Content-Type: text/html; format=flowed\n\nx", "", "x", {}},
  };
  for (const auto& c : cases) {
    const auto got = reader_test::read(c.raw);
    EXPECT_EQ(got.result.text, c.text.value_or(got.result.text)) << c.name;
    EXPECT_EQ(got.result.html, c.html) << c.name;
    EXPECT_EQ(lines(got.notices), c.notices) << c.name;
  }
}

}  // namespace
