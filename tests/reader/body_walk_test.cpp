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
using reader_test::read;

std::string utf8Guess(const std::string& label, const std::string& descriptor) {
  return line(FeatureId::MimeCharsetFallback,
              "the " + label + " body " + descriptor +
                  " but carries non-ASCII bytes; they are valid UTF-8 and were decoded as UTF-8 "
                  "(a guess, not a declaration)");
}
std::string latinGuess(const std::string& label, const std::string& descriptor) {
  return line(FeatureId::MimeCharsetFallback,
              "the " + label + " body " + descriptor +
                  " but carries non-ASCII bytes that are not UTF-8; decoded as windows-1252 "
                  "(mailparse's us-ascii fallback), so some characters may be wrong");
}
std::string overwritten(const std::string& label) {
  return line(FeatureId::MimeNested,
              "an earlier " + label +
                  " body was overwritten by a later part (last-wins over the nested MIME tree)");
}
std::string bodyDropped(const std::string& label) {
  return line(FeatureId::AttachmentsContent,
              "a " + label + " body part failed to decode and was dropped");
}
const std::string kFlowed = line(
    FeatureId::MimeFormatFlowed,
    "the text/plain body declares format=flowed (RFC 3676) but is carried as written: soft line "
    "breaks are not reflowed, so flowed paragraphs render hard-wrapped");
const std::string kFlowedDelsp =
    line(FeatureId::MimeFormatFlowed,
         "the text/plain body declares format=flowed; delsp=yes (RFC 3676) but is carried as "
         "written: soft line breaks are not reflowed and their trailing spaces are kept, so flowed "
         "paragraphs render hard-wrapped");
const std::string kNone = "declares no charset";

struct BodyCase {
  std::string name;
  std::string raw;
  std::optional<std::string> text;  // not compared when absent
  std::string html;
  std::vector<std::string> notices;
};

TEST(BodyWalk, CharsetRule) {
  const BodyCase cases[] = {
      {"utf8 undeclared",
       kPlain + "caf\xC3\xA9\n",
       "caf\xC3\xA9\n",
       "",
       {utf8Guess("text/plain", kNone)}},
      {"utf8 declared",
       "Content-Type: text/plain; charset=utf-8\n\ncaf\xC3\xA9\n",
       "caf\xC3\xA9\n",
       "",
       {}},
      {"lone E9", kPlain + "caf\xE9 x\n", "caf\xC3\xA9 x\n", "", {latinGuess("text/plain", kNone)}},
      {"no content-type", "\ncaf\xC3\xA9", "caf\xC3\xA9", "", {utf8Guess("text/plain", kNone)}},
      {"empty charset",
       "Content-Type: text/plain; charset=\"\"\n\ncaf\xE9\n",
       std::nullopt,
       "",
       {latinGuess("text/plain", kNone)}},
      {"us-ascii utf8",
       "Content-Type: text/plain; charset=us-ascii\n\n\xC3\xA9\n",
       "\xC3\xA9\n",
       "",
       {utf8Guess("text/plain", "declares charset us-ascii")}},
      {"ascii spaced caps",
       "Content-Type: text/plain; charset=\" ASCII \"\n\n\x80\n",
       "\xE2\x82\xAC\n",
       "",
       {latinGuess("text/plain", "declares charset ascii")}},
      {"ascii only", kPlain + "plain\n", "plain\n", "", {}},
      {"latin1 declared",
       "Content-Type: text/plain; charset=iso-8859-1\n\n\xC3\xA9",
       "\xC3\x83\xC2\xA9",
       "",
       {}},
      {"bom kept on the guess",
       kPlain + "\xEF\xBB\xBFhi",
       "\xEF\xBB\xBFhi",
       "",
       {utf8Guess("text/plain", kNone)}},
      {"bom removed by the label",
       "Content-Type: text/plain; charset=utf-8\n\n\xEF\xBB\xBFhi",
       "hi",
       "",
       {}},
      {"html guess",
       "Content-Type: text/html\n\n<p>\xC3\xA9</p>",
       "",
       "<p>\xC3\xA9</p>",
       {utf8Guess("text/html", kNone)}},
      {"capitals", "Content-Type: TEXT/PLAIN\n\nx", "x", "", {}},
      {"base64 utf8",
       "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\nY2Fmw6k=\n",
       "caf\xC3\xA9",
       "",
       {}},
      {"base64 broken",
       "Content-Transfer-Encoding: base64\n\n!!!!\n",
       "",
       "",
       {bodyDropped("text/plain")}},
      {"not a candidate",
       "Content-Type: text/plain-x\n\nx",
       "",
       "",
       {line(FeatureId::MimeTextualPart,
             "an unnamed text/plain-x part was dropped: it is neither surfaced as a body nor "
             "listed as an attachment")}},
  };
  for (const auto& c : cases) {
    const auto got = read(c.raw);
    if (c.text) {
      EXPECT_EQ(got.result.text, *c.text) << c.name;
    }
    EXPECT_EQ(got.result.html, c.html) << c.name;
    EXPECT_EQ(lines(got.notices), c.notices) << c.name;
  }
}

TEST(BodyWalk, LastWinsAndFlowed) {
  const std::string named =
      "Content-Type: text/plain\nContent-Disposition: attachment; filename=notes.txt\n\nnotes";
  const std::string brokenPlain = "Content-Transfer-Encoding: base64\n\n!!!!";
  const BodyCase cases[] = {
      {"two bodies",
       multipart("multipart/mixed", {kPlain + "real body", kPlain + "second"}),
       "second\n",
       "",
       {overwritten("text/plain")}},
      {"empty first",
       multipart("multipart/mixed", {"", kPlain + "real body"}),
       "real body\n",
       "",
       {}},
      {"empty last",
       multipart("multipart/mixed", {kPlain + "real body", ""}),
       "",
       "",
       {overwritten("text/plain")}},
      {"attachment is a body too",
       multipart("multipart/mixed", {kPlain + "real body", named}),
       "notes\n",
       "",
       {overwritten("text/plain")}},
      {"same guess twice",
       multipart("multipart/mixed", {kPlain + "\xC3\xA9", kPlain + "\xC3\xA9!"}),
       "\xC3\xA9!\n",
       "",
       {utf8Guess("text/plain", kNone), overwritten("text/plain")}},
      {"broken after good",
       multipart("multipart/mixed", {kPlain + "good", brokenPlain}),
       "good\n",
       "",
       {bodyDropped("text/plain")}},
      {"alternative",
       multipart("multipart/alternative", {kPlain + "p", "Content-Type: text/html\n\nh"}),
       "p\n",
       "h\n",
       {}},
      {"flowed", "Content-Type: text/plain; format=flowed\n\na \nb", "a \nb", "", {kFlowed}},
      {"flowed delsp",
       "Content-Type: text/plain; format=\" FLOWED \"; DelSp=Yes\n\nx",
       "x",
       "",
       {kFlowedDelsp}},
      {"flowed delsp no",
       "Content-Type: text/plain; format=flowed; delsp=no\n\nx",
       "x",
       "",
       {kFlowed}},
      {"fixed", "Content-Type: text/plain; format=fixed\n\nx", "x", "", {}},
      {"html flowed", "Content-Type: text/html; format=flowed\n\nx", "", "x", {}},
      {"notice order",
       multipart("multipart/mixed",
                 {kPlain + "first", "Content-Type: text/plain; format=flowed\n\n\xC3\xA9"}),
       "\xC3\xA9\n",
       "",
       {utf8Guess("text/plain", kNone), overwritten("text/plain"), kFlowed}},
  };
  for (const auto& c : cases) {
    const auto got = read(c.raw);
    if (c.text) {
      EXPECT_EQ(got.result.text, *c.text) << c.name;
    }
    EXPECT_EQ(got.result.html, c.html) << c.name;
    // The attachment walk lists the named text/plain part; only the body notices matter here.
    EXPECT_EQ(lines(got.notices), c.notices) << c.name;
  }
}

}  // namespace
