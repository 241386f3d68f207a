// The attachment walk: what is listed, under which name, and what is named instead.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "read_fixture.h"
#include "text/text.h"

namespace {

using email::FeatureId;
using reader_test::kPlain;
using reader_test::line;
using reader_test::lines;
using reader_test::multipart;
using reader_test::read;

struct Listed {
  std::string filename, contentType;
  std::optional<std::string> contentId;
  uint64_t size;
  std::string content;
};

bool operator==(const Listed& a, const email::Attachment& b) {
  return a.filename == b.filename && a.contentType == b.contentType && a.contentId == b.contentId &&
         a.size == b.size && a.content == b.content;
}

std::string describe(const std::vector<email::Attachment>& list) {
  std::string out;
  for (const auto& a : list) {
    out += "{" + a.filename + ", " + a.contentType + ", cid=" + a.contentId.value_or("(none)") +
           ", " + std::to_string(a.size) + ", " + a.content.substr(0, 40) + "} ";
  }
  return out;
}

const std::string kRfc822 = line(FeatureId::MimeMessageRfc822,
                                 "a forwarded message (message/rfc822) is carried as an opaque "
                                 "attachment; its content is not read as a message");
const std::string kCalendar = line(FeatureId::CalendarDetect,
                                   "a text/calendar part (calendar invite) was dropped: it is "
                                   "neither surfaced as a body nor listed as an attachment");
std::string unnamedText(const std::string& type) {
  return line(FeatureId::MimeTextualPart,
              "an unnamed " + type +
                  " part was dropped: it is neither surfaced as a body nor listed as an "
                  "attachment");
}
std::string relatedCid(const std::string& type) {
  return line(FeatureId::MimeRelatedCid, "an inline " + type +
                                             " part referenced by cid: is not carried; the HTML "
                                             "body cannot resolve it");
}
std::string oversize(const std::string& name, uint64_t size) {
  return line(FeatureId::AttachmentsOversize,
              "attachment \"" + name + "\" (" + std::to_string(size) +
                  " bytes) exceeds the 5242880-byte inline cap; its bytes are not included");
}

struct AttachmentCase {
  std::string name;
  std::string raw;
  std::vector<Listed> listed;
  std::vector<std::string> notices;
};

void check(const AttachmentCase& c) {
  const auto got = read(c.raw);
  bool same = got.result.attachments.size() == c.listed.size();
  for (size_t i = 0; same && i < c.listed.size(); ++i)
    same = c.listed[i] == got.result.attachments[i];
  EXPECT_TRUE(same) << c.name << ": " << describe(got.result.attachments);
  EXPECT_EQ(lines(got.notices), c.notices) << c.name;
}

TEST(AttachmentWalk, ListedDroppedAndNamed) {
  const std::string html = "Content-Type: text/html\n\n<img src=\"cid:logo\">";
  const std::string hello64 = "Content-Transfer-Encoding: base64\n\naGVsbG8=";
  const std::string forwarded = "Content-Type: message/rfc822\n\nSubject: inner\n\nhi";
  const AttachmentCase cases[] = {
      {"calendar",
       multipart("multipart/mixed",
                 {kPlain + "body", "Content-Type: text/calendar; method=REQUEST\n\nBEGIN"}),
       {},
       {kCalendar}},
      {"related cid",
       multipart("multipart/related", {html, "Content-Type: image/png\nContent-ID: <logo>\n\nPNG"}),
       {},
       {relatedCid("image/png")}},
      {"body with cid",
       multipart("multipart/mixed", {"Content-ID: <x>\n" + kPlain + "body"}),
       {},
       {}},
      {"enriched twice",
       multipart("multipart/mixed",
                 {kPlain + "b", "Content-Type: text/enriched\n\nx",
                  "Content-Type: text/enriched\n\ny", "Content-Type: text/\n\nz"}),
       {},
       {unnamedText("text/enriched"), unnamedText("text/")}},
      {"named text",
       multipart("multipart/mixed", {"Content-Type: text/csv; name=data.csv\n" + hello64}),
       {{"data.csv", "text/csv", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"forwarded",
       multipart("multipart/mixed", {forwarded}),
       {{"attachment.rfc822", "message/rfc822", std::nullopt, 19,
         text::encodeBase64("Subject: inner\n\nhi\n")}},
       {kRfc822}},
      {"forwarded named",
       multipart("multipart/mixed",
                 {"Content-Type: message/rfc822; name=\"original.eml\"\n" + hello64}),
       {{"original.eml", "message/rfc822", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"digest child",
       multipart("multipart/digest", {"\nSubject: a\n\nx"}),
       {{"attachment.rfc822", "message/rfc822", std::nullopt, 14,
         text::encodeBase64("Subject: a\n\nx\n")}},
       {kRfc822}},
      {"zero length",
       "Content-Type: application/pdf; name=a.pdf\n\n",
       {{"a.pdf", "application/pdf", std::nullopt, 0, ""}},
       {}},
      {"single jpeg",
       "Content-Type: image/jpeg\n" + hello64,
       {{"attachment.jpeg", "image/jpeg", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"single text", kPlain + "hi", {}, {}},
      {"plain attachment",
       "Content-Disposition: attachment\n" + hello64,
       {{"attachment.plain", "text/plain", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"empty quoted filename",
       "Content-Type: message/rfc822\nContent-Disposition: attachment; filename=\"\"\n" + hello64,
       {{"", "message/rfc822", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"filename beats name",
       "Content-Type: image/gif; name=n.gif\nContent-Disposition: inline; filename=f.gif\n" +
           hello64,
       {{"f.gif", "image/gif", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"cid brackets",
       "Content-Type: image/png\nContent-Disposition: attachment\ncontent-id: <<a>>\n" + hello64,
       {{"attachment.png", "image/png", "a", 5, "aGVsbG8="}},
       {}},
      {"cid keeps white space",
       "Content-Type: image/png; name=x.png\nContent-ID: >< a >\n" + hello64,
       {{"x.png", "image/png", " a ", 5, "aGVsbG8="}},
       {}},
      {"cid only brackets",
       "Content-Type: image/png; name=x.png\nContent-ID: <>\n" + hello64,
       {{"x.png", "image/png", "", 5, "aGVsbG8="}},
       {}},
      {"cid with space before colon",
       "Content-Type: image/png\nContent-ID : <logo>\n" + hello64,
       {{"attachment.png", "image/png", std::nullopt, 5, "aGVsbG8="}},
       {}},
      {"mixed without boundary", "Content-Type: multipart/mixed\n\n--B\n\nx\n--B--\n", {}, {}},
      {"failing base64 then more",
       multipart(
           "multipart/mixed",
           {"Content-Type: application/pdf; name=a.pdf\nContent-Transfer-Encoding: base64\n\n!!!!",
            "Content-Type: application/zip; name=b.zip\n" + hello64}),
       {{"b.zip", "application/zip", std::nullopt, 5, "aGVsbG8="}},
       {line(FeatureId::AttachmentsContent,
             "a application/pdf attachment part failed to decode and was dropped")}},
      {"nested containers",
       multipart("multipart/mixed",
                 {"Content-Type: multipart/alternative; boundary=C\n\n--C\n" + kPlain + "p\n--C--",
                  "Content-Type: image/png\n" + hello64}),
       {{"attachment.png", "image/png", std::nullopt, 5, "aGVsbG8="}},
       {}},
  };
  for (const auto& c : cases) check(c);
}

TEST(AttachmentWalk, InlineCapBoundary) {
  const uint64_t cap = email::kInlineCap;
  const std::string head = "Content-Type: application/octet-stream; name=big.bin\n\n";
  const std::string atCap(cap, 'x');
  const std::string overCap(cap + 1, 'x');
  check({"at cap",
         head + atCap,
         {{"big.bin", "application/octet-stream", std::nullopt, cap, text::encodeBase64(atCap)}},
         {}});
  check({"over cap",
         head + overCap,
         {{"big.bin", "application/octet-stream", std::nullopt, cap + 1, ""}},
         {oversize("big.bin", 5242881)}});
  check({"over cap unnamed forwarded",
         "Content-Type: message/rfc822\n\n" + overCap,
         {{"attachment.rfc822", "message/rfc822", std::nullopt, cap + 1, ""}},
         {kRfc822, oversize("attachment.rfc822", 5242881)}});
}

}  // namespace
