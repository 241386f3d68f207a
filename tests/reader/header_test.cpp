// Recipients and the Date notice, read through the whole read step.

#include <string>
#include <vector>

#include "read_fixture.h"

namespace {

using email::FeatureId;
using reader_test::line;
using reader_test::lines;
using reader_test::read;

std::string recipients(const std::string& header, bool parsed) {
  return line(
      FeatureId::HeadersRecipients,
      "the " + header + " header " +
          (parsed ? "parsed to no address at all" : "could not be parsed as an address list") +
          "; its decoded text is carried as one entry");
}
const std::string kToBroken = recipients("To", false), kCcBroken = recipients("Cc", false);

TEST(Recipients, EntriesFallbacksAndNotices) {
  const struct {
    std::string headers;  // the header block, without the blank line
    std::vector<std::string> to, cc, notices;
  } cases[] = {
      {"From: x@y.z\nTo: a@b.c\nSubject: hi\n", {"a@b.c"}, {}, {}},
      {"To: \"Joe Bloggs <joe@x.org\n", {"\"Joe Bloggs <joe@x.org"}, {}, {kToBroken}},
      {"Cc:\nCc:   \n   \n", {}, {}, {}},  // blank values are silent
      {"Cc: \"\":;\n", {}, {"\"\":;"}, {recipients("Cc", true)}},
      {"To: \"\":;\n", {"\"\":;"}, {}, {recipients("To", true)}},
      {"Cc:\n a@b.c\n", {}, {"a@b.c"}, {}},
      {"To : a@b.c\nTO: d@e.f\nTo\xA0: g@h.i\n", {"a@b.c", "d@e.f", "g@h.i"}, {}, {}},
      {"To: nobody\nTo: somebody\n", {"nobody", "somebody"}, {}, {kToBroken}},
      {"Cc: nobody\nTO: nobody\n", {"nobody"}, {"nobody"}, {kToBroken, kCcBroken}},
      {"To: Joe <j@x.org>, <k@x.org>, \"\" <l@x.org>, \" \" <m@x.org>\n",
       {"Joe <j@x.org>", "k@x.org", "l@x.org", "  <m@x.org>"},
       {},
       {}},
      {"To: team: a@b.c, Joe <j@x.org>; solo:; \" \":; \"\":;\n",
       {"a@b.c", "Joe <j@x.org>", "solo:;", " :;"},
       {},
       {}},
      {"To: a@b.c, nobody\n", {"a@b.c, nobody"}, {}, {kToBroken}},
      {"To: =?utf-8?q?J=C3=B6rg?= <j@x.org>\n", {"J\xC3\xB6rg <j@x.org>"}, {}, {}},
  };
  for (const auto& c : cases) {
    const auto got = read(c.headers + "\nbody\n");
    EXPECT_EQ(got.result.to, c.to) << c.headers;
    EXPECT_EQ(got.result.cc, c.cc) << c.headers;
    EXPECT_EQ(lines(got.notices), c.notices) << c.headers;
  }
  // Headers of nested parts are never looked at.
  const auto nested = read(reader_test::multipart("multipart/mixed", {"To: in@x.org\n\nhi"}));
  EXPECT_TRUE(nested.result.to.empty());
}

TEST(Date, OneNoticeDecidedByTheFirstHeader) {
  const std::string parsed = line(FeatureId::HeadersDate,
                                  "the Date header is carried as its raw text rather than a "
                                  "parsed timestamp; readers must parse it themselves and any "
                                  "zone handling is theirs");
  const std::string raw = line(FeatureId::HeadersDate,
                               "the Date header could not be parsed as an RFC 5322 date and is "
                               "carried as its raw text");
  const struct {
    std::string headers;
    std::vector<std::string> notices;
  } cases[] = {
      {"Date:\t Mon, 1 Sep 2026 10:00:00 -0700 (PDT)  \n", {parsed}},
      {"Subject: no date\n", {}},
      {"Date: no date here\n", {raw}},
      {"Date:\n", {raw}},
      {"Date: Thu, 1 Jan 1970 00:00:00 +0000\n", {raw}},
      {"Date: Thu, 1 Jan 1970 00:00:00 +0100\n", {raw}},
      {"Date: Mon, 1 Sep 2026 10:00 -0700\n", {raw}},
      {"Date: garbage\nDate: Mon, 1 Sep 2026 10:00:00 -0700\n", {raw}},
      {"date : Mon, 1 Sep 2026 10:00:00 -0700\nDate: garbage\n", {parsed}},
      {"Date\r\nTo: a@b.c\r\n", {raw}},  // a line without a colon names a header too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lines(read(c.headers + "\nbody\n").notices), c.notices) << c.headers;
  }
}

}  // namespace
