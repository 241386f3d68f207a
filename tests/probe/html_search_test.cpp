// The probe's HTML signals are searched in the Unicode lower-casing of the HTML text; text
// that is not ASCII is searched in place, ignoring ASCII case. These cases hold the two
// characters outside ASCII that lower-case to ASCII, and mixed case around non-ASCII text.
#include <gtest/gtest.h>

#include <string>

#include "probe/probe.h"

namespace {

struct HtmlCase {
  const char* what;
  std::string html;  // UTF-8
  bool cid;
  bool remote;
  bool script;
};

TEST(HtmlSearch, FindsTheLowerCasedSignals) {
  const HtmlCase cases[] = {
      {"ascii, all three", "<img src=\"http://x\"><SCRIPT>cid:a", true, true, true},
      {"ascii, none", "<p>plain</p>", false, false, false},
      {"non-ascii, upper case", "caf\xC3\xA9 <SCRIPT> SRC='HTTP://x' CID:", true, true, true},
      {"non-ascii, unquoted src", "\xC3\xA9 src=Http://x", false, true, false},
      {"dotted capital I breaks a needle",
       "\xC3\xA9 <SCR\xC4\xB0PT> C\xC4\xB0"
       "D:",
       false, false, false},
      {"dotless i is no i", "<scr\xC4\xB1pt>", false, false, false},
      {"kelvin sign is in no needle", "\xE2\x84\xAA <script", false, false, true},
      {"needle at the very end", "\xC3\xA9 cid:", true, false, false},
      {"cut needle at the end", "\xC3\xA9 <scrip", false, false, false},
      {"src without http", "\xC3\xA9 src=\"cid:x\"", true, false, false},
  };
  for (const auto& c : cases) {
    const std::string message = "Content-Type: text/html; charset=utf-8\r\n\r\n" + c.html + "\r\n";
    const ventry::Probe probe = ventry::probeMessage(message);
    EXPECT_EQ(probe.cidRefsInHtml, c.cid) << c.what;
    EXPECT_EQ(probe.remoteRefsInHtml, c.remote) << c.what;
    EXPECT_EQ(probe.scriptInHtml, c.script) << c.what;
  }
}

}  // namespace
