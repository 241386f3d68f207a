#include <gtest/gtest.h>

#include "probe/probe.h"
#include "probe/probe_describe.h"

namespace {

using namespace std::string_view_literals;

struct HeaderCase {
  const char* what;
  std::string_view message;
  const char* flags;  // the set header flags, as probe_test::headerFlags writes them
};

TEST(HeaderScan, FlagsFromTheRawHeaderBlock) {
  const HeaderCase cases[] = {
      {"empty Cc after a To with an address",
       "From: s@example.com\r\nTo: a@example.org\r\nCc:\r\n\r\nhi\r\n", "to cc ccEmpty"},
      {"folded blank Cc stays empty", "To: a@example.org\r\nCc: \r\n \r\nSubject: x\r\n\r\nhi\r\n",
       "to cc ccEmpty"},
      {"an empty group is non-blank text", "Cc: \"\":;\r\n\r\n", "cc"},
      {"address only on a continuation line", "Cc:\r\n b@example.org\r\n\r\n", "cc"},
      {"tab continuation", "Cc:\r\n\tb@example.org\r\n\r\n", "cc"},
      {"a later header's continuation is not credited",
       "Cc:\r\nSubject: a folded\r\n subject line\r\n\r\n", "cc ccEmpty"},
      {"a line without a colon ends the run", "Cc:\r\nnot a header\r\n b@example.org\r\n\r\n",
       "cc ccEmpty"},
      {"blank continuation lines do not end the run", "Cc:\r\n \r\n\t\r\n b@example.org\r\n\r\n",
       "cc"},
      {"empty To beside a filled Cc", "To:\r\nCc: b@example.org\r\n\r\n", "to cc toEmpty"},
      {"empty flags span all lines", "To:\r\nTo: a@example.org\r\n\r\n", "to"},
      {"a space before the colon", "To : a@example.org\r\nCc : b@example.org\r\n\r\n", "to cc"},
      {"Unicode white space only is blank", "Cc:\xC2\xA0\xE3\x80\x80\r\n\r\n", "cc ccEmpty"},
      {"a trailing CR on the last line is white space", "Cc:\r", "cc ccEmpty"},
      {"LF-only message",
       "Message-ID: <1.2@e>\nDate: Mon, 14 May 2001 16:39:00 -0700\nFrom: s@example.com\n"
       "To: a@example.org\nSubject: re\nMime-Version: 1.0\n"
       "Content-Type: text/plain; charset=us-ascii\n\nok\n",
       "to date messageId mime"},
      {"every other recognised name",
       "BCC: x\r\nReferences: <a@b>\r\nIN-REPLY-TO: <a@b>\r\nmessage-id:\r\n\r\n",
       "bcc refs inReplyTo messageId"},
      {"In-Reply-To alone", "In-Reply-To: <a@b>\r\n\r\n", "inReplyTo"},
      {"References alone", "References: <a@b>\r\n\r\n", "refs"},
      {"hostile bytes", "\xFF\xFE\x00\x00 not a mail at all"sv, ""},
      {"empty message", "", ""},
      {"one LF", "\n", ""},
      {"encoded word on the Subject line", "Subject: =?utf-8?q?hi?=\r\n\r\n", "encSubject encAny"},
      {"encoded word only on a Subject continuation", "Subject:\r\n =?utf-8?q?hi?=\r\n\r\n",
       "encAny"},
      {"encoded word in a header name sets nothing", "X=?a: b\r\n\r\n", ""},
      {"any mix of letter case", "tO: a@example.org\r\nmIME-vERSION: 1.0\r\n\r\n", "to mime"},
      {"a look-alike name sets nothing", "X-To: a@example.org\r\nResent-Date: x\r\n\r\n", ""},
      {"headers in the body are not seen", "Subject: x\r\n\r\nTo: a@example.org\r\nDate: x\r\n",
       ""},
      {"the block also ends at LF CR LF", "Subject: x\n\r\nTo: a@example.org\n", ""},
      {"the block does not end at CR LF CR alone", "Subject: x\r\n\rTo: a@example.org", "to"},
      {"a leading blank line is scanned past", "\r\nTo: a@example.org\r\n\r\nDate: x\r\n", "to"},
      {"an indented first line is a continuation", " To: a@example.org\r\n\r\nhi\r\n", ""},
      {"invalid UTF-8 before the colon hides the name", "To\xA0: a@example.org\r\n\r\n", ""},
      {"invalid UTF-8 in a value is still text", "Cc: \xFF\r\n\r\n", "cc"},
  };
  for (const HeaderCase& c : cases) {
    EXPECT_EQ(probe_test::headerFlags(ventry::probeMessage(c.message)), c.flags) << c.what;
  }
}

TEST(HeaderScan, FlagsSurviveARejectedParse) {
  struct Case {
    const char* what;
    std::string_view message;
    const char* flags;
  } cases[] = {
      {"indented first line", " To: a@example.org\r\n\r\nhi\r\n", ""},
      {"indented first line of a sub-part",
       "To: a@example.org\r\nDate: x\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
       "--B\r\nContent-Type: text/plain\r\n\r\none\r\n--B\r\n leading space\r\n--B--\r\n",
       "to date"},
  };
  for (const Case& c : cases) {
    const ventry::Probe probe = ventry::probeMessage(c.message);
    EXPECT_EQ(probe_test::headerFlags(probe), c.flags) << c.what;
    // A rejection leaves topCt empty and every structure member at its initial value.
    EXPECT_EQ(probe_test::walkMembers(probe), "parseErr") << c.what;
  }
}

}  // namespace
