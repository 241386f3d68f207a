#include "email_ventry/selftest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "email_ventry/selftest_fixtures.h"

namespace {

namespace fx = ventry::fixtures;

std::string_view fixtureName(std::string_view bytes) {
  if (bytes.size() > fx::kOversizeZeroBytes) return "oversize";
  for (const fx::NamedFixture& f : fx::constantFixtures()) {
    if (f.bytes == bytes) return f.name;
  }
  return "unknown";
}

email::ReadOutcome summary(std::vector<std::string> ids, std::string text = "", uint64_t to = 0,
                           uint64_t cc = 0) {
  email::ReadOutcome outcome;
  outcome.ok = true;
  for (std::string& id : ids) outcome.summary.loss.push_back({std::move(id), "dropped"});
  outcome.summary.text = std::move(text);
  outcome.summary.to = to;
  outcome.summary.cc = cc;
  return outcome;
}

// What a reader that satisfies every claim returns for each fixture.
email::ReadOutcome oracleRead(std::string_view name) {
  if (name == "plain") return summary({}, "hello\r\n", 1);
  if (name == "broken-to") return summary({"email.read.headers.recipients"}, "hello\r\n", 1);
  if (name == "calendar") return summary({"email.read.calendar.detect"});
  if (name == "cid") return summary({"email.read.mime.related-cid"});
  if (name == "nested") return summary({"email.read.mime.nested"});
  if (name == "empty-first") return summary({}, "real body\r\n");
  if (name == "empty-after") return summary({"email.read.mime.nested"});
  if (name == "enriched") return summary({"email.read.mime.textual-part"}, "body\r\n");
  if (name == "rfc822") return summary({"email.read.mime.message-rfc822"});
  if (name == "enron-style") return summary({"email.read.headers.date"}, "ok will do\n", 1);
  if (name == "oversize") return summary({"email.read.attachments.oversize"});
  if (name == "date") return summary({"email.read.headers.date"}, "hello\r\n", 1);
  if (name == "charset-fallback") {
    return summary({"email.read.mime.charset-fallback"}, "caf\xC3\xA9\r\n");
  }
  if (name == "flowed") return summary({"email.read.mime.format-flowed"});
  if (name == "empty-cc") return summary({}, "hello\r\n", 1, 0);
  if (name == "nothing-cc") return summary({"email.read.headers.recipients"}, "hello\r\n", 1, 1);
  if (name == "folded-cc") return summary({}, "hello\r\n", 1, 1);
  if (name == "empty-to") return summary({}, "hello\r\n", 0, 1);
  if (name == "spaced-colon") return summary({}, "hello\r\n", 1, 1);
  return summary({});
}

// What a probe that satisfies every claim returns for each fixture.
ventry::Probe oracleProbe(std::string_view name) {
  ventry::Probe p;
  if (name == "calendar") p.calUnnamed = 1;
  if (name == "cid") {
    p.cidParts = 1;
    p.cidRefsInHtml = true;
  }
  if (name == "nested") p.plainNonempty = 2;
  if (name == "empty-first" || name == "empty-after") p.plainNonempty = 1;
  if (name == "enriched") p.otherTextualUnnamed = 1;
  if (name == "enron-style") p.hdrTo = p.hdrDate = p.hdrMessageId = p.hdrMime = true;
  if (name == "oversize") p.oversize = 1;
  if (name == "date") p.hdrDate = true;
  if (name == "charset-fallback") p.undeclNonAscii = true;
  if (name == "flowed") p.formatFlowed = true;
  if (name == "empty-cc") p.hdrCc = p.hdrCcEmpty = true;
  if (name == "blank-folded-cc" || name == "later-continuation") p.hdrCc = p.hdrCcEmpty = true;
  if (name == "nothing-cc" || name == "folded-cc" || name == "spaced-colon") p.hdrCc = true;
  if (name == "spaced-colon") p.hdrTo = true;
  if (name == "empty-to") p.hdrTo = p.hdrToEmpty = p.hdrCc = true;
  return p;
}

using ReadEdit = std::function<void(std::string_view name, email::ReadOutcome&)>;
using ProbeEdit = std::function<void(std::string_view name, ventry::Probe&)>;

ReadEdit rejectFixtures(std::set<std::string_view> names) {
  return [names](std::string_view name, email::ReadOutcome& outcome) {
    if (!names.contains(name)) return;
    outcome = {};
    outcome.failure = "Parse: rejected " + std::string(name);
  };
}

struct StubCase {
  const char* what;
  ReadEdit editRead;
  ProbeEdit editProbe;
  bool ok;
  std::string failure;  // when !ok
};

TEST(Selftest, ClaimMachineryWithStubbedLooks) {
  const StubCase cases[] = {
      {"both sides as they should be", {}, {}, true, ""},
      {"a Date notice on messages without Date",
       [](std::string_view name, email::ReadOutcome& o) {
         if (name != "date" && name != "enron-style") {
           o.summary.loss.push_back({"email.read.headers.date", "degraded"});
         }
       },
       {},
       false,
       "selftest FAILED (6/49): plain: a clean message loses nothing; date: absent Date is "
       "quiet; empty-cc: seam carries nothing and names nothing; folded-cc: a Cc whose address "
       "sits only on a CONTINUATION line is not empty, and is carried; empty-to: the To side of "
       "the empty-flag pair is computed too, and the seam stays quiet; spaced-colon: probe and "
       "seam agree the headers are present and carried"},
      {"an extra notice on the plain fixture",
       [](std::string_view name, email::ReadOutcome& o) {
         if (name == "plain") o.summary.loss.push_back({"email.read.mime.nested", "dropped"});
       },
       {},
       false,
       "selftest FAILED (1/49): plain: a clean message loses nothing"},
      {"broken-to rejected",
       rejectFixtures({"broken-to"}),
       {},
       false,
       "selftest FAILED (1/48): broken-to: read must not throw"},
      {"the empty stretch counted as text",
       {},
       [](std::string_view name, ventry::Probe& p) {
         if (name == "empty-first") p.plainNonempty = 2;
       },
       false,
       "selftest FAILED (1/49): empty-first: probe claims no overwrite condition"},
      {"two failures in evaluation order",
       [](std::string_view name, email::ReadOutcome& o) {
         if (name == "calendar") o.summary.loss.clear();
       },
       [](std::string_view name, ventry::Probe& p) {
         if (name == "flowed") p.formatFlowed = false;
       },
       false, "selftest FAILED (2/49): calendar: emission fires; flowed: probe sees the parameter"},
      {"a rejection outside a stop read only falsifies names()",
       rejectFixtures({"calendar", "fixed", "textual-cid"}),
       {},
       false,
       "selftest FAILED (1/49): calendar: emission fires"},
      {"a rejection at the first stop read",
       rejectFixtures({"plain"}),
       {},
       false,
       "Parse: rejected plain"},
      {"a rejection at a later stop read wins over failed claims",
       rejectFixtures({"calendar", "spaced-colon"}),
       {},
       false,
       "Parse: rejected spaced-colon"},
      {"a rejection at a stop read of a probed fixture",
       rejectFixtures({"empty-cc"}),
       {},
       false,
       "Parse: rejected empty-cc"},
  };
  for (const StubCase& c : cases) {
    const ventry::SelftestDeps deps{
        [&c](std::string_view bytes) {
          const std::string_view name = fixtureName(bytes);
          email::ReadOutcome outcome = oracleRead(name);
          if (c.editRead) c.editRead(name, outcome);
          return outcome;
        },
        [&c](std::string_view bytes) {
          const std::string_view name = fixtureName(bytes);
          ventry::Probe probe = oracleProbe(name);
          if (c.editProbe) c.editProbe(name, probe);
          return probe;
        },
    };
    std::ostringstream out;
    const ventry::SelftestResult result = ventry::runSelftest(deps, out);
    EXPECT_EQ(result.ok, c.ok) << c.what;
    EXPECT_EQ(result.failure, c.failure) << c.what;
    EXPECT_EQ(out.str(), c.ok ? "selftest OK \u2014 49 claims\n" : "") << c.what;
  }
}

TEST(SelftestFixtures, ShapesTheClaimsDependOn) {
  EXPECT_EQ(fx::kHostile.size(), 22u);
  EXPECT_EQ(fx::kHostile.substr(0, 4), std::string_view("\xFF\xFE\x00\x00", 4));
  for (const fx::NamedFixture& f : fx::constantFixtures()) {
    if (f.name == "hostile") continue;
    EXPECT_TRUE(f.bytes.ends_with('\n')) << f.name;
    if (f.name == "enron-style") {
      EXPECT_EQ(f.bytes.find('\r'), std::string_view::npos);
      continue;
    }
    // Every other fixture ends each line with CR LF.
    for (size_t i = 0; i < f.bytes.size(); ++i) {
      if (f.bytes[i] == '\n') {
        EXPECT_TRUE(i > 0 && f.bytes[i - 1] == '\r') << f.name << " @" << i;
      }
    }
  }
}

TEST(SelftestFixtures, OversizeBodyIsOneLineOfPaddedBase64) {
  const std::string oversize = fx::buildOversize();
  const size_t start = oversize.find("\r\n\r\n", oversize.find("Content-Transfer-Encoding"));
  ASSERT_NE(start, std::string::npos);
  const std::string_view rest = std::string_view(oversize).substr(start + 4);
  ASSERT_TRUE(rest.ends_with("\r\n--B--\r\n"));
  const std::string_view body = rest.substr(0, rest.size() - 9);
  EXPECT_EQ(body.size(), 6990528u);
  EXPECT_TRUE(std::all_of(body.begin(), body.end(), [](char ch) { return ch == 'A'; }));
}

TEST(Selftest, RealReaderAndProbeHoldEveryClaim) {
  std::ostringstream out;
  const ventry::SelftestResult result =
      ventry::runSelftest(ventry::SelftestDeps{email::readMessage, ventry::probeMessage}, out);
  EXPECT_TRUE(result.ok) << result.failure;
  EXPECT_EQ(out.str(), "selftest OK \u2014 49 claims\n");
}

}  // namespace
