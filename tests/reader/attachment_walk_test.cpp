// The attachment walk: what is listed, under which name, and what is named instead.

#include <cstdint>
#include <string>
#include <vector>

#include "read_fixture.h"
#include "text/text.h"

namespace {

using email::FeatureId;
using reader_test::kPlain;
using reader_test::line;
using reader_test::lines;
using reader_test::listed;
using reader_test::multipart;

struct AttachmentCase {
  std::string name, raw;
  std::vector<std::string> attachments, notices;
};

void check(const AttachmentCase& c) {
  const auto got = reader_test::read(c.raw);
  EXPECT_EQ(listed(got.result.attachments), c.attachments) << c.name;
  EXPECT_EQ(lines(got.notices), c.notices) << c.name;
}

// Spelled out rather than built from the feature table, so that the table's action word for
// this feature is pinned here too.
const std::string kRfc822 =
    "email.read.mime.message-rfc822 | degraded | a forwarded message (message/rfc822) is carried "
    "as an opaque attachment; its content is not read as a message";
std::string unnamedText(const std::string& type) {
  return line(FeatureId::MimeTextualPart, "an unnamed " + type +
                                              " part was dropped: it is neither surfaced as a "
                                              "body nor listed as an attachment");
}

TEST(AttachmentWalk, ListedDroppedAndNamed) {
  const std::string hello = "Content-Transfer-Encoding: base64\n\naGVsbG8=";  // "hello"
  const std::string helloPng = "image/png|-|5|aGVsbG8=";
  const AttachmentCase cases[] = {
      {"calendar",
       multipart("multipart/mixed",
                 {kPlain + "b", "Content-Type: text/calendar; method=REQUEST\n\nx"}),
       {},
       {line(FeatureId::CalendarDetect,
             "a text/calendar part (calendar invite) was dropped: it is neither surfaced as a "
             "body nor listed as an attachment")}},
      {"related cid",
       multipart("multipart/related", {"Content-Type: text/html\n\n<img src=cid:logo>",
                                       "Content-Type: image/png\nContent-ID: <logo>\n\nPNG"}),
       {},
       {line(FeatureId::MimeRelatedCid,
             "an inline image/png part referenced by cid: is not carried; the HTML body cannot "
             "resolve it")}},
      {"body with cid", "Content-ID: <x>\n" + kPlain + "body", {}, {}},
      {"other textual, twice",
       multipart("multipart/mixed",
                 {"Content-Type: text/enriched\n\nx", "Content-Type: text/enriched\n\ny",
                  "Content-Type: text/\n\nz"}),
       {},
       {unnamedText("text/enriched"), unnamedText("text/")}},
      {"named textual",
       "Content-Type: text/csv; name=d.csv\n" + hello,
       {"d.csv|text/csv|-|5|aGVsbG8="},
       {}},
      {"forwarded",
       multipart("multipart/digest", {"\nSubject: a\n\nx"}),
       {"attachment.rfc822|message/rfc822|-|14|" + text::encodeBase64("Subject: a\n\nx\n")},
       {kRfc822}},
      {"forwarded named",
       "Content-Type: message/rfc822; name=\"original.eml\"\n" + hello,
       {"original.eml|message/rfc822|-|5|aGVsbG8="},
       {}},
      {"empty quoted filename",
       "Content-Type: message/rfc822\nContent-Disposition: attachment; filename=\"\"\n" + hello,
       {"|message/rfc822|-|5|aGVsbG8="},
       {}},
      {"zero length",
       "Content-Type: application/pdf; name=a.pdf\n\n",
       {"a.pdf|application/pdf|-|0|"},
       {}},
      {"single jpeg",
       "Content-Type: image/jpeg\n" + hello,
       {"attachment.jpeg|image/jpeg|-|5|aGVsbG8="},
       {}},
      {"plain attachment",
       "Content-Disposition: attachment\n" + hello,
       {"attachment.plain|text/plain|-|5|aGVsbG8="},
       {}},
      {"filename beats name",
       "Content-Type: image/png; name=n.png\nContent-Disposition: inline; filename=f.png\n" + hello,
       {"f.png|" + helloPng},
       {}},
      {"cid brackets",
       "Content-Type: image/png\nContent-Disposition: attachment\ncontent-id: <<a>>\n" + hello,
       {"attachment.png|image/png|a|5|aGVsbG8="},
       {}},
      {"cid keeps white space",
       "Content-Type: image/png; name=x.png\nContent-ID: >< a >\n" + hello,
       {"x.png|image/png| a |5|aGVsbG8="},
       {}},
      {"cid with space before colon",
       "Content-Type: image/png\nContent-ID : <logo>\n" + hello,
       {"attachment.png|" + helloPng},
       {}},
      {"multipart without boundary", "Content-Type: multipart/mixed\n\n--B\n\nx\n--B--\n", {}, {}},
      {"failing base64, walk goes on",
       multipart(
           "multipart/mixed",
           {"Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n!!!!",
            "Content-Type: multipart/alternative; boundary=C\n\n--C\nContent-Type: image/png\n" +
                hello + "\n--C--"}),
       {"attachment.png|" + helloPng},
       {line(FeatureId::AttachmentsContent,
             "a application/pdf attachment part failed to decode and was dropped")}},
  };
  for (const auto& c : cases) check(c);
}

TEST(AttachmentWalk, InlineCapBoundary) {
  const std::string atCap(email::kInlineCap, 'x'), overCap(email::kInlineCap + 1, 'x');
  const std::string head = "Content-Type: application/octet-stream; name=big.bin\n\n";
  check({"at cap",
         head + atCap,
         {"big.bin|application/octet-stream|-|5242880|" + text::encodeBase64(atCap)},
         {}});
  const auto oversize = [](const std::string& name) {
    return line(FeatureId::AttachmentsOversize,
                "attachment \"" + name +
                    "\" (5242881 bytes) exceeds the 5242880-byte inline cap; its bytes are not "
                    "included");
  };
  check({"over cap",
         head + overCap,
         {"big.bin|application/octet-stream|-|5242881|"},
         {oversize("big.bin")}});
  check({"over cap, unnamed forwarded",
         "Content-Type: message/rfc822\n\n" + overCap,
         {"attachment.rfc822|message/rfc822|-|5242881|"},
         {kRfc822, oversize("attachment.rfc822")}});
}

}  // namespace
