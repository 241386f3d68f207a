#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "email/mime/mime.h"

namespace {

TEST(ParseDate, ReferenceTable) {
  const struct {
    std::string text;
    bool ok;
    int64_t seconds;  // when ok
  } cases[] = {
      {"Mon, 1 Sep 2026 10:00:00 -0700", true, 1788282000},
      {"Mon, 1 Sep 2026 10:00:00 -0700 (PDT)", true, 1788282000},
      {"Mon, 1 Sep 2026 10:00 -0700", false, 0},          // the zone is read as seconds
      {"Mon, 1 Sep 2026 10:00 +0100", true, 1788256900},  // ... and "+0100" fits them
      {"Mon, 1 Sep 2026 10:00 GMT", false, 0},
      {"1 Sep 2026 10:00:00 +07:00", true, 1788256380},
      {"Thu, 1 Jan 1970 00:00:00 +0100", true, -3600},
      {"1 Jan 69 00:00:00 +0000", true, 3124224000},
      {"1 Jan 099 00:00:00 +0000", true, 915148800},
      {"1 Jan 1969 00:00:00 +0000", false, 0},
      {"1 Jan 100 00:00:00 +0000", false, 0},
      {"no date here", true, 0},
      {"Mon, 1 Sep", true, 0},
      {"Mon, 300 Sep 2026", true, 0},
      {"Mon, 0 Sep 2026", false, 0},
      {"Mon, 32 Sep 2026", false, 0},
      {"Mon, +01 september +2026", true, 1788220800},
      {"1 \xC5\xBF"
       "ep 2026",
       true, 1788220800},  // long s upper-cases to S
      {"Mon, 1 Sept 2026", false, 0},
      {"1 Sep 2026,", false, 0},
      {"1 Sep 2026 10:30", true, 1788258600},
      {"1 Sep 2026 99:99:99 +2400", true, 1788496839},
      {"1 Sep 2026 10:00:00 +2401", false, 0},
      {"1 Sep 2026 10:00:00 (PDT)", false, 0},
      {"1 Sep 2026 10:00:00 est", true, 1788274800},
      {"1 Sep 2026 10:00:00 Y", true, 1788213600},
      {"1 Sep 2026 256:00:00", false, 0},
      {"Mon,1 Sep 2026 10:00:00 +0000", false, 0},  // day 10, month "00"
      {"2026-09-01T10:00:00Z", false, 0},
      {"1 Sep 2026 10:00:00 +0000 extra junk", true, 1788256800},
      {"31 Feb 2020", true, 1583107200},  // the day is not checked against the month
      {"1 Mar 2100", true, 4107542400},
      {"1 Jan 4294967295", true, 135536014602748800},
  };
  for (const auto& c : cases) {
    const auto got = email::mime::parseDate(c.text);
    EXPECT_EQ(got.ok, c.ok) << c.text << " -> " << got.error;
    EXPECT_EQ(got.ok ? got.seconds : 0, c.seconds) << c.text;
  }
}

}  // namespace
