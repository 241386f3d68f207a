// The reader entry, the order of a read's notices, and the notice list itself.

#include <string>
#include <vector>

#include "read_fixture.h"

namespace {

using email::FeatureId;
using reader_test::lines;

std::vector<std::string> pairs(const email::ReadSummary& summary) {
  std::vector<std::string> out;
  for (const auto& p : summary.loss) out.push_back(p.featureId + " " + p.action);
  return out;
}

struct EntryCase {
  std::string name;
  std::string raw;
  bool ok;
  std::string failure;
};

TEST(ReadMessage, RejectionsAndEmptyReads) {
  const EntryCase cases[] = {
      {"leading space", " Leading: x\n\nbody", false,
       "Parse: Header cannot start with a space; it is likely an overhanging line from a "
       "previous header"},
      {"lone CR", "Key: v\n\rbody", false,
       "Parse: Headers were followed by an unexpected lone CR character!"},
      {"inner part rejected",
       "Content-Type: multipart/mixed; boundary=B\n\n--B\n leading space\n--B--\n", false,
       "Parse: Header cannot start with a space; it is likely an overhanging line from a "
       "previous header"},
      {"empty input", "", true, ""},
      {"one line without a colon", "just one line of text", true, ""},
  };
  for (const auto& c : cases) {
    const auto got = email::readMessage(c.raw);
    EXPECT_EQ(got.ok, c.ok) << c.name;
    EXPECT_EQ(got.failure, c.failure) << c.name;
    if (!c.ok) continue;
    EXPECT_TRUE(got.summary.loss.empty()) << c.name;
    EXPECT_EQ(got.summary.text, "") << c.name;
    EXPECT_EQ(got.summary.html, "") << c.name;
    EXPECT_EQ(got.summary.attachments + got.summary.to + got.summary.cc, 0u) << c.name;
  }
}

TEST(ReadMessage, NoticeOrderAndSummary) {
  const std::string raw =
      "Date: Mon, 1 Sep 2026 10:00:00 -0700\n"
      "Cc: nobody\n"
      "To: \"unclosed <a@b.c\n"
      "To: x@y.z\n"
      "Content-Type: multipart/mixed; boundary=B\n\n"
      "--B\nContent-Type: text/enriched\n\nrich\n"
      "--B\nContent-Type: text/plain; format=flowed\n\ncaf\xC3\xA9\n"
      "--B\nContent-Type: text/html\n\n<p>h</p>\n"
      "--B\nContent-Type: image/png; name=a.png\n\nPNG\n"
      "--B--\n";
  const auto got = email::readMessage(raw);
  ASSERT_TRUE(got.ok);
  EXPECT_EQ(pairs(got.summary),
            (std::vector<std::string>{
                "email.read.headers.recipients degraded",  // To
                "email.read.headers.recipients degraded",  // Cc
                "email.read.headers.date degraded",
                "email.read.mime.charset-fallback degraded",
                "email.read.mime.format-flowed degraded",
                "email.read.mime.textual-part dropped",
            }));
  EXPECT_EQ(got.summary.text, "caf\xC3\xA9\n");
  EXPECT_EQ(got.summary.html, "<p>h</p>\n");
  EXPECT_EQ(got.summary.attachments, 1u);
  EXPECT_EQ(got.summary.to, 2u);
  EXPECT_EQ(got.summary.cc, 1u);
}

TEST(LossNotices, AddedOnceInFirstPosition) {
  email::LossNotices notices;
  email::addLossNotice(notices, FeatureId::MimeNested, "one");
  email::addLossNotice(notices, FeatureId::MimeNested, "one");
  email::addLossNotice(notices, FeatureId::HeadersDate, "two");
  email::addLossNotice(notices, "email.read.mime.nested", "dropped", "one");
  email::addLossNotice(notices, "email.read.mime.nested", "degraded", "one");
  email::addLossNotice(notices, FeatureId::MimeNested, "three");
  EXPECT_EQ(lines(notices), (std::vector<std::string>{
                                "email.read.mime.nested | dropped | one",
                                "email.read.headers.date | degraded | two",
                                "email.read.mime.nested | degraded | one",
                                "email.read.mime.nested | dropped | three",
                            }));
}

TEST(LossNotices, JsonForm) {
  EXPECT_EQ(email::lossNoticesToJson({}), "[]");
  email::LossNotices notices;
  email::addLossNotice(notices, FeatureId::AttachmentsOversize,
                       "attachment \"a\\b\" caf\xC3\xA9\n\t\x01\x7F");
  email::addLossNotice(notices, FeatureId::CalendarDetect, "x");
  EXPECT_EQ(email::lossNoticesToJson(notices),
            "[{\"featureId\":\"email.read.attachments.oversize\",\"action\":\"degraded\","
            "\"detail\":\"attachment \\\"a\\\\b\\\" caf\xC3\xA9\\n\\t\\u0001\x7F\"},"
            "{\"featureId\":\"email.read.calendar.detect\",\"action\":\"dropped\","
            "\"detail\":\"x\"}]");
}

}  // namespace
