// The header scan reads each line sixteen bytes at a time and notes whether it holds a '?'
// and bytes above 0x7F: what it notes must belong to that line alone, wherever the line
// feed falls in a block.
#include <gtest/gtest.h>

#include <string>

#include "probe/probe.h"
#include "probe/probe_describe.h"

namespace {

struct BlockCase {
  const char* what;
  std::string before;  // placed after the padding
  std::string after;   // the rest of the message
  const char* flags;
};

TEST(HeaderScanBlocks, LineFactsStayWithTheirLine) {
  const BlockCase cases[] = {
      {"encoded word in the subject", "=?utf-8?q?x?=\r\n", "\r\nbody\r\n", "encSubject encAny"},
      {"'=' ends one line, '?' starts the next", "=\r\n", "?x: y\r\n\r\n", ""},
      {"'=' and '?' on two lines of one block", "=\r\nX: ?\r\n", "\r\n", ""},
      {"encoded word on a continuation line", "x\r\n =?utf-8?q?x?=\r\n", "\r\n", "encAny"},
      {"'?' only in the body", "x\r\n", "\r\n=?utf-8?q?x?=\r\n", ""},
      {"valid UTF-8 before a blank To", "\xC3\xA9\r\n", "To: \r\n\r\n", "to toEmpty"},
      {"bytes that are not UTF-8 in the block", "\xE9\r\n", "To: a@x\r\n\r\n", "to"},
      // An overlong space is repaired to U+FFFD twice, which is text; decoded as it stands it
      // would be a space, and the Cc blank.
      {"an overlong space in a Cc value", "x\r\n", "Cc: \xC0\xA0\r\n\r\n", "cc"},
      {"bytes that are not UTF-8 only in the body", "x\r\n", "To:\r\n\r\n\xE9\xFF\r\n",
       "to toEmpty"},
      {"a name longer than a block", "x\r\n",
       "X-A-Header-Name-Longer-Than-Sixteen-Bytes: =?utf-8?q?x?=\r\n\r\n", "encAny"},
      {"a long line without a colon ends the Cc run", "x\r\nCc:\r\n",
       "ALongLineWithoutAnyColonInItAtAll\r\n b@example.org\r\n\r\n", "cc ccEmpty"},
      {"no empty line: the last line ends the block", "=?utf-8?q?x?=", "", "encSubject encAny"},
  };
  for (const BlockCase& c : cases) {
    for (size_t pad = 0; pad < 40; ++pad) {
      const std::string message = "Subject: " + std::string(pad, 's') + c.before + c.after;
      ventry::Probe probe;
      ventry::scanHeaders(message, probe);
      EXPECT_EQ(probe_test::headerFlags(probe), c.flags) << c.what << ", padding " << pad;
    }
  }
}

}  // namespace
