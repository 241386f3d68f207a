// The reader finds To, Cc and Date in one pass over the top-level headers: names must match
// as findHeader matches them, every To is read before every Cc, and the first Date counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "email/mime/mime.h"
#include "email/reader.h"

namespace {

namespace mime = email::mime;

struct PassCase {
  const char* name;
  std::string headers;  // the header block without its final empty line
  size_t to;
  size_t cc;
  std::vector<std::string> noticeStarts;  // in order, each notice's text as it begins
};

TEST(HeaderPass, NamesOrderAndFirstDate) {
  const PassCase cases[] = {
      {"plain", "To: a@x\r\nCc: b@y, c@z\r\nDate: junk\r\n", 1, 2, {"the Date header could"}},
      {"case and Latin-1 white space",
       "tO: a@x\r\n\x85"
       "cC\xA0: b@y\r\nDATE\t: Mon, 1 Jan 2024 10:00:00 +0000\r\n",
       1,
       1,
       {"the Date header is carried as its raw text rather"}},
      {"look-alikes are not read", "T o: a@x\r\nTox: b@y\r\nCcc: c@z\r\nDat: junk\r\n", 0, 0, {}},
      {"a Cc before the To keeps its notice after the To's",
       "Cc: \"abc\r\nTo: \"def\r\nCc: d@w\r\n",
       1,
       2,
       {"the To header", "the Cc header"}},
      {"only the first Date",
       "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nDate: junk\r\n",
       0,
       0,
       {"the Date header is carried as its raw text rather"}},
      {"names trimmed of tab and vertical tab", "\tTo\x0B: a@x, b@y\r\nCc\t: c@z\r\n", 2, 1, {}},
  };
  for (const PassCase& c : cases) {
    const std::string message = c.headers + "\r\nbody\r\n";
    const mime::ParsedMessage parsed = mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok()) << c.name;
    for (const email::ReadDetail detail : {email::ReadDetail::Full, email::ReadDetail::Counts}) {
      email::LossNotices notices;
      const email::ReadResult result = email::readParsedMessage(parsed, notices, detail);
      EXPECT_EQ(result.to.size(), c.to) << c.name;
      EXPECT_EQ(result.cc.size(), c.cc) << c.name;
      std::vector<std::string> headerNotices;
      for (const auto& notice : notices) headerNotices.push_back(notice.detail);
      ASSERT_EQ(headerNotices.size(), c.noticeStarts.size()) << c.name;
      for (size_t i = 0; i < headerNotices.size(); ++i) {
        EXPECT_EQ(headerNotices[i].rfind(c.noticeStarts[i], 0), 0u)
            << c.name << ": " << headerNotices[i];
      }
    }
  }
}

}  // namespace
