// Recipients and the Date notice, read through the whole read step.

#include <string>
#include <vector>

#include "read_fixture.h"

namespace {

using email::FeatureId;
using reader_test::line;
using reader_test::lines;
using reader_test::read;

const std::string kToBroken =
    line(FeatureId::HeadersRecipients,
         "the To header could not be parsed as an address list; its decoded text is carried as one "
         "entry");
const std::string kCcBroken =
    line(FeatureId::HeadersRecipients,
         "the Cc header could not be parsed as an address list; its decoded text is carried as one "
         "entry");
const std::string kToEmpty =
    line(FeatureId::HeadersRecipients,
         "the To header parsed to no address at all; its decoded text is carried as one entry");
const std::string kCcEmpty =
    line(FeatureId::HeadersRecipients,
         "the Cc header parsed to no address at all; its decoded text is carried as one entry");
const std::string kDateParsed =
    line(FeatureId::HeadersDate,
         "the Date header is carried as its raw text rather than a parsed timestamp; readers must "
         "parse it themselves and any zone handling is theirs");
const std::string kDateRaw =
    line(FeatureId::HeadersDate,
         "the Date header could not be parsed as an RFC 5322 date and is carried as its raw text");

struct RecipientCase {
  std::string headers;  // the header block, without the blank line
  std::vector<std::string> to, cc, notices;
};

TEST(Recipients, EntriesFallbacksAndNotices) {
  const RecipientCase cases[] = {
      {"From: x@y.z\nTo: a@b.c\nSubject: hi\n", {"a@b.c"}, {}, {}},
      {"To: \"Joe Bloggs <joe@x.org\n", {"\"Joe Bloggs <joe@x.org"}, {}, {kToBroken}},
      {"Cc:\n", {}, {}, {}},
      {"Cc:   \n   \n", {}, {}, {}},
      {"Cc: \"\":;\n", {}, {"\"\":;"}, {kCcEmpty}},
      {"Cc:\n a@b.c\n", {}, {"a@b.c"}, {}},
      {"To : a@b.c\nTO: d@e.f\n", {"a@b.c", "d@e.f"}, {}, {}},
      {"To\xA0: a@b.c\n", {"a@b.c"}, {}, {}},  // Latin-1 NBSP before the colon is trimmed
      {"To: a@b.c\nTo: d@e.f\n", {"a@b.c", "d@e.f"}, {}, {}},
      {"To: nobody\nTo: somebody\n", {"nobody", "somebody"}, {}, {kToBroken}},
      {"Cc: nobody\nTO: nobody\n", {"nobody"}, {"nobody"}, {kToBroken, kCcBroken}},
      {"To: Joe <j@x.org>, <k@x.org>, \"\" <l@x.org>\n",
       {"Joe <j@x.org>", "k@x.org", "l@x.org"},
       {},
       {}},
      {"To: \" \" <a@b.c>\n", {"  <a@b.c>"}, {}, {}},
      {"To: team: a@b.c, Joe <j@x.org>;\n", {"a@b.c", "Joe <j@x.org>"}, {}, {}},
      {"To: team:;\n", {"team:;"}, {}, {}},
      {"To: \" \":;\n", {" :;"}, {}, {}},
      {"To: a@b.c, nobody\n", {"a@b.c, nobody"}, {}, {kToBroken}},
      {"To: =?utf-8?q?J=C3=B6rg?= <j@x.org>\n", {"J\xC3\xB6rg <j@x.org>"}, {}, {}},
      {"To: \"\":;\n", {"\"\":;"}, {}, {kToEmpty}},
      {"To: :;\n", {":;"}, {}, {kToBroken}},
  };
  for (const auto& c : cases) {
    const auto got = read(c.headers + "\nbody\n");
    EXPECT_EQ(got.result.to, c.to) << c.headers;
    EXPECT_EQ(got.result.cc, c.cc) << c.headers;
    EXPECT_EQ(lines(got.notices), c.notices) << c.headers;
  }
}

TEST(Recipients, HeadersOfNestedPartsAreNotLookedAt) {
  const auto got = read(reader_test::multipart(
      "multipart/mixed", {"To: inner@x.org\nContent-Type: text/plain\n\nhello"}));
  EXPECT_TRUE(got.result.to.empty());
  EXPECT_TRUE(got.notices.empty());
}

struct DateCase {
  std::string headers;
  std::vector<std::string> notices;
};

TEST(Date, OneNoticeDecidedByTheFirstHeader) {
  const DateCase cases[] = {
      {"Date: Mon, 1 Sep 2026 10:00:00 -0700\n", {kDateParsed}},
      {"Date:\t Mon, 1 Sep 2026 10:00:00 -0700 (PDT)  \n", {kDateParsed}},
      {"Subject: no date\n", {}},
      {"Date: no date here\n", {kDateRaw}},
      {"Date:\n", {kDateRaw}},
      {"Date: Thu, 1 Jan 1970 00:00:00 +0000\n", {kDateRaw}},
      {"Date: Thu, 1 Jan 1970 00:00:00 +0100\n", {kDateRaw}},  // negative
      {"Date: Mon, 1 Sep 2026 10:00 -0700\n", {kDateRaw}},
      {"Date: Mon, 1 Sep 2026 10:00 +0100\n", {kDateParsed}},  // "+0100" is the seconds
      {"Date: garbage\nDate: Mon, 1 Sep 2026 10:00:00 -0700\n", {kDateRaw}},
      {"Date: Mon, 1 Sep 2026 10:00:00 -0700\nDate: garbage\n", {kDateParsed}},
      {"date : Mon, 1 Sep 2026 10:00:00 -0700\n", {kDateParsed}},
      {"Date\r\nTo: a@b.c\r\n", {kDateRaw}},  // a line without a colon names a header too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lines(read(c.headers + "\nbody\n").notices), c.notices) << c.headers;
  }
}

}  // namespace
