#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "email_ventry_report/compare.h"
#include "email_ventry_report/report.h"
#include "report_data.h"

namespace {

using report_test::reportOf;

const report::Pairing* findPairing(const report::Report& r, const std::string& feature) {
  for (const report::Pairing& p : r.pairings) {
    if (p.feature == feature) return &p;
  }
  return nullptr;
}

// pairings.jsonl holds, per feature, one record where notice and condition agree, one with
// the condition alone and one with the notice alone, plus one record with neither.
TEST(ReportPairings, EachFeatureSeesItsThreeOutcomes) {
  report::Report r = reportOf("pairings.jsonl");
  ASSERT_EQ(r.records, 28u);
  ASSERT_EQ(r.malformed, 0u);
  const std::vector<std::string> features = {
      "calendar.detect",     "mime.textual-part",    "mime.related-cid",
      "mime.message-rfc822", "attachments.oversize", "mime.charset-fallback",
      "mime.format-flowed",  "mime.nested",          "headers.date"};
  ASSERT_EQ(r.pairings.size(), features.size());
  for (const std::string& f : features) {
    SCOPED_TRACE(f);
    const report::Pairing* p = findPairing(r, f);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->agree, 1u);
    EXPECT_EQ(p->silent, 1u);
    EXPECT_EQ(p->falseAlarm, 1u);
    EXPECT_EQ(p->bothAbsent, 25u);
    EXPECT_EQ(p->silentExamples.names, std::vector<std::string>{f + "/silent.eml"});
    EXPECT_EQ(p->falseAlarmExamples.names, std::vector<std::string>{f + "/false-alarm.eml"});
  }
}

// One record per row, built from a template so that only the members named differ.
std::string recordLine(const std::string& loss, const std::string& probeMembers,
                       const std::string& outcome = "\"ok\"") {
  return "{\"name\":\"m.eml\",\"bytes\":1,\"ms\":0,\"outcome\":" + outcome +
         (outcome == "\"threw\"" ? ",\"error\":\"Parse: x\"" : "") + ",\"loss\":[" + loss +
         "],\"gotHtml\":false,\"gotText\":false,\"gotAttachments\":0,\"gotTo\":0,\"gotCc\":0,"
         "\"probe\":{\"hdrTo\":false,\"hdrCc\":false,\"hdrToEmpty\":false,\"hdrCcEmpty\":false,"
         "\"hdrDate\":false,\"encWordSubject\":false,\"encWordAny\":false,\"parseErr\":false,"
         "\"topCt\":\"text/plain\",\"plainNonempty\":0,\"htmlNonempty\":0,\"calUnnamed\":0,"
         "\"otherTextualUnnamed\":0,\"rfc822Unnamed\":0,\"cidParts\":0,\"attachDecl\":0,"
         "\"oversize\":0,\"remoteRefsInHtml\":false,\"scriptInHtml\":false,"
         "\"undeclNonAscii\":false,\"formatFlowed\":false,\"signed\":false,\"encrypted\":false,"
         "\"report\":false" +
         probeMembers + "}}";
}

std::string withMs(std::string line, const std::string& ms) {
  return line.replace(line.find("\"ms\":0"), 6, "\"ms\":" + ms);
}

// JSON objects keep the last of repeated keys, so an appended member overrides the template.
TEST(ReportPairings, ConditionEdgesAndNoticeMatching) {
  struct Row {
    const char* label;
    std::string loss;
    std::string probe;
    std::string feature;
    char expected;  // a = agree, s = silent, f = false alarm, n = neither
  };
  const std::string nested = "{\"id\":\"email.read.mime.nested\",\"action\":\"dropped\"}";
  const Row rows[] = {
      {"html bodies alone count as nested", "", ",\"htmlNonempty\":2", "mime.nested", 's'},
      {"one plain and one html body are not nested", "", ",\"plainNonempty\":1,\"htmlNonempty\":1",
       "mime.nested", 'n'},
      {"repeated notice counts once", nested + "," + nested, ",\"plainNonempty\":3", "mime.nested",
       'a'},
      {"a feature ID without its prefix is not the notice",
       "{\"id\":\"mime.nested\",\"action\":\"dropped\"}", ",\"plainNonempty\":2", "mime.nested",
       's'},
      {"a longer ID sharing the prefix is not the notice",
       "{\"id\":\"email.read.mime.nested.x\",\"action\":\"dropped\"}", "", "mime.nested", 'n'},
      {"related-cid wants a Content-ID part", "", ",\"cidParts\":1", "mime.related-cid", 's'},
      {"named calendars do not count", "", ",\"calNamed\":1", "calendar.detect", 'n'},
      {"named forwarded messages do not count", "", ",\"rfc822Parts\":1", "mime.message-rfc822",
       'n'},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    report::Report r = report::makeReport(5);
    report::addLine(r, recordLine(row.loss, row.probe), "-", 1);
    ASSERT_EQ(r.malformed, 0u) << r.malformedLines.at(0).reason;
    const report::Pairing* p = findPairing(r, row.feature);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->agree, row.expected == 'a' ? 1u : 0u);
    EXPECT_EQ(p->silent, row.expected == 's' ? 1u : 0u);
    EXPECT_EQ(p->falseAlarm, row.expected == 'f' ? 1u : 0u);
    EXPECT_EQ(p->bothAbsent, row.expected == 'n' ? 1u : 0u);
  }
}

TEST(ReportPairings, FailedReadsAreLeftOutOfThePairings) {
  report::Report r = report::makeReport(5);
  report::addLine(r, recordLine("", ",\"hdrDate\":true,\"parseErr\":true", "\"threw\""), "-", 1);
  EXPECT_EQ(r.threw, 1u);
  EXPECT_EQ(findPairing(r, "headers.date")->silent, 0u);
  EXPECT_EQ(r.parseErrThrew, 1u);
}

TEST(ReportRecipients, HeaderScanAgainstCarriedEntries) {
  report::Report r = reportOf("recipients.jsonl");
  ASSERT_EQ(r.records, 7u);
  ASSERT_EQ(r.recipients.size(), 2u);
  const report::RecipientCheck& to = r.recipients[0];
  const report::RecipientCheck& cc = r.recipients[1];
  EXPECT_EQ(r.recipientsNotice, 2u);
  EXPECT_EQ(to.consistent, 3u);
  EXPECT_EQ(to.silentLoss, 2u);
  EXPECT_EQ(to.silentLossWithNotice, 1u);
  EXPECT_EQ(to.disagreement, 2u);
  EXPECT_EQ(to.disagreementWithNotice, 1u);
  EXPECT_EQ(to.silentExamples.names,
            (std::vector<std::string>{"to-silent.eml", "to-silent-noticed.eml"}));
  EXPECT_EQ(to.disagreementExamples.names,
            (std::vector<std::string>{"to-disagree-absent.eml", "to-disagree-empty.eml"}));
  EXPECT_EQ(cc.consistent, 6u);
  EXPECT_EQ(cc.silentLoss, 1u);
  EXPECT_EQ(cc.disagreement, 0u);
}

TEST(ReportRisks, UnnamedConditionsRejectionAndAttachments) {
  report::Report r = reportOf("risks.jsonl");
  ASSERT_EQ(r.records, 11u);
  EXPECT_EQ(r.ok, 8u);
  EXPECT_EQ(r.threw, 3u);
  struct Row {
    const char* label;
    uint64_t messages;
  };
  const Row rows[] = {{"signed", 1},           {"encrypted", 1},    {"report", 1},
                      {"remoteRefsInHtml", 1}, {"scriptInHtml", 1}, {"encWordAny", 1},
                      {"encWordSubject", 1}};
  ASSERT_EQ(r.risks.size(), std::size(rows));
  for (size_t i = 0; i < r.risks.size(); ++i) {
    EXPECT_EQ(r.risks[i].label, rows[i].label);
    EXPECT_EQ(r.risks[i].messages, rows[i].messages) << rows[i].label;
  }
  EXPECT_EQ(r.parseErrThrew, 1u);
  EXPECT_EQ(r.parseErrOk, 1u);
  EXPECT_EQ(r.threwNoParseErr, 2u);
  EXPECT_EQ(r.parseErrOkExamples.names, std::vector<std::string>{"rejected-probe-only.eml"});
  // Failure texts that differ only in numbers form one group.
  auto errors = report::sortedGroups(r.errors);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], (std::pair<std::string, uint64_t>{"Parse: bad boundary at #", 2}));
  EXPECT_EQ(errors[1].first, "Parse: Header cannot start with a space");
  EXPECT_EQ(r.attachEqual, 6u);
  EXPECT_EQ(r.attachFewer, 1u);
  EXPECT_EQ(r.attachMore, 1u);
  EXPECT_EQ(r.attachFewerExamples.names, std::vector<std::string>{"report.eml"});
  EXPECT_EQ(r.attachMoreExamples.names, std::vector<std::string>{"rescued.eml"});
  // A notice repeated within one message counts once; IDs outside the pairings are kept.
  auto notices = report::sortedGroups(r.notices);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0], (std::pair<std::string, uint64_t>{"email.read.mime.nested", 1}));
  EXPECT_EQ(notices[1], (std::pair<std::string, uint64_t>{"email.read.thread.assembly", 1}));
  auto types = report::sortedGroups(r.topCt);
  EXPECT_EQ(types[0], (std::pair<std::string, uint64_t>{"text/plain", 3}));
}

TEST(ReportMalformed, CountedAndNamedNeverFatal) {
  report::Report r = reportOf("malformed.jsonl");
  EXPECT_EQ(r.lines, 12u);
  EXPECT_EQ(r.records, 3u);  // line 1, line 11 (CRLF end) and line 12
  EXPECT_EQ(r.malformed, 9u);
  struct Row {
    uint64_t line;
    const char* reason;
  };
  const Row rows[] = {{2, "not valid JSON"},
                      {3, "not a JSON object"},
                      {4, "empty line"},
                      {5, "outcome is neither \"ok\", \"threw\" nor \"failed\""},
                      {6, "ms is not an unsigned number"},
                      {7, "loss is not an array"},
                      {8, "probe.hdrTo is not a boolean"},
                      {9, "missing probe (an object)"},
                      {10, "not valid JSON"}};
  ASSERT_EQ(r.malformedLines.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(r.malformedLines[i].source, "malformed.jsonl");
    EXPECT_EQ(r.malformedLines[i].line, rows[i].line);
    EXPECT_EQ(r.malformedLines[i].reason, rows[i].reason) << "line " << rows[i].line;
  }
  EXPECT_EQ(report::msPercentiles(r).max, 7u);
}

// Only the milliseconds may exceed 64 bits; every other count is a plain unsigned integer;
// each member has its type, and a failed outcome needs its error text.
TEST(ReportMalformed, MemberForms) {
  struct Row {
    const char* from;
    const char* to;
    const char* reason;  // empty: a well-formed record
  };
  const Row rows[] = {
      {"\"ms\":0", "\"ms\":18446744073709551615", ""},
      {"\"ms\":0", "\"ms\":18446744073709551616", ""},
      {"\"ms\":0", "\"ms\":1e5", "ms is not an unsigned number"},
      {"\"bytes\":1", "\"bytes\":18446744073709551616", "bytes is not an unsigned number"},
      {"\"gotTo\":0", "\"gotTo\":1.0", "gotTo is not an unsigned number"},
      {"\"cidParts\":0", "\"cidParts\":-1", "probe.cidParts is not an unsigned number"},
      {"\"topCt\":\"text/plain\"", "\"topCt\":null", "probe.topCt is not a string"},
      {"\"outcome\":\"ok\"", "\"outcome\":\"threw\"", "missing error (a string)"},
      {"\"m.eml\"", "\"[[[[[[[[[[[[\\\"{{\"", ""},  // brackets inside a string do not nest
      {"\"loss\":[]", "\"loss\":[[[[[[[[[[]]]]]]]]]]", "nested too deeply"},
      {"\"ms\":0", "\"readError\":\"Permission denied\",\"ms\":0", ""},
      {"\"ms\":0", "\"readError\":13,\"ms\":0", "readError is not a string"},
      {"\"outcome\":\"ok\"", "\"outcome\":\"failed\",\"error\":\"Resource: x\"", ""},
      {"\"outcome\":\"ok\"", "\"outcome\":\"failed\"", "missing error (a string)"},
      {"\"gotHtml\":false", "\"gotHtml\":0", "gotHtml is not a boolean"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.to);
    std::string line = recordLine("", "");
    line.replace(line.find(row.from), std::string_view(row.from).size(), row.to);
    report::Report r = report::makeReport(5);
    report::addLine(r, line, "-", 1);
    if (*row.reason == '\0') {
      EXPECT_EQ(r.records, 1u);
    } else {
      ASSERT_EQ(r.malformedLines.size(), 1u);
      EXPECT_EQ(r.malformedLines[0].reason, row.reason);
    }
  }
}

TEST(ReportMalformed, KeepsOnlyTheFirstNames) {
  report::Report r = report::makeReport(5);
  for (uint64_t i = 1; i <= report::Report::kMalformedKept + 7; ++i) {
    report::addLine(r, "{", "-", i);
  }
  EXPECT_EQ(r.malformed, report::Report::kMalformedKept + 7);
  EXPECT_EQ(r.malformedLines.size(), report::Report::kMalformedKept);
  EXPECT_EQ(r.malformedLines.back().line, report::Report::kMalformedKept);
}

TEST(ReportTiming, NearestRankPercentilesFromTheHistogram) {
  struct Row {
    const char* label;
    std::vector<uint64_t> ms;
    report::Percentiles expected;
  };
  std::vector<uint64_t> oneToHundred;
  for (uint64_t i = 1; i <= 100; ++i) oneToHundred.push_back(101 - i);
  const Row rows[] = {
      {"no records", {}, {0, 0, 0, 0}},
      {"one record", {7}, {7, 7, 7, 7}},
      {"1..100 in any order", oneToHundred, {50, 90, 99, 100}},
      {"one slow outlier among ten", {0, 0, 0, 0, 0, 0, 0, 0, 0, 900}, {0, 0, 900, 900}},
      {"two values", {1, 2}, {1, 2, 2, 2}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    report::Report r = report::makeReport(5);
    for (uint64_t ms : row.ms) {
      report::addLine(r, withMs(recordLine("", ""), std::to_string(ms)), "-", 1);
    }
    ASSERT_EQ(r.records, row.ms.size());
    report::Percentiles p = report::msPercentiles(r);
    EXPECT_EQ(p.p50, row.expected.p50);
    EXPECT_EQ(p.p90, row.expected.p90);
    EXPECT_EQ(p.p99, row.expected.p99);
    EXPECT_EQ(p.max, row.expected.max);
  }
}

TEST(ReportTiming, SlowestTenAndSaturatingSums) {
  report::Report r = report::makeReport(5);
  const uint64_t ms[] = {5, 50, 1, 50, 7, 3, 9, 100, 2, 8, 4, 6};
  for (size_t i = 0; i < std::size(ms); ++i) {
    std::string line = recordLine("", "");
    line.replace(line.find("\"m.eml\""), 7, "\"m" + std::to_string(i) + "\"");
    report::addLine(r, withMs(line, std::to_string(ms[i])), "-", i + 1);
  }
  auto slow = report::slowestMessages(r);
  ASSERT_EQ(slow.size(), 10u);
  EXPECT_EQ(slow[0].name, "m7");
  EXPECT_EQ(slow[1].name, "m1");  // equal ms: the earlier record first
  EXPECT_EQ(slow[2].name, "m3");
  EXPECT_EQ(slow[9].ms, 3u);  // 1 and 2 fall out

  // A millisecond value wider than 64 bits is accepted and saturates.
  std::string huge = withMs(recordLine("", ""), "340282366920938463463374607431768211455");
  report::addLine(r, huge, "-", 13);
  report::addLine(r, huge, "-", 14);
  EXPECT_EQ(r.malformed, 0u);
  EXPECT_EQ(report::msPercentiles(r).max, UINT64_MAX);
}

TEST(ReportLimits, ExamplesAndGroupsStayBounded) {
  report::Report r = report::makeReport(2);
  for (size_t i = 0; i < report::GroupCounter::kMaxKeys + 50; ++i) {
    std::string line = recordLine("", ",\"signed\":true,\"topCt\":\"x/" + std::to_string(i) + "\"");
    report::addLine(r, line, "-", i + 1);
  }
  EXPECT_EQ(r.risks[0].messages, report::GroupCounter::kMaxKeys + 50);
  EXPECT_EQ(r.risks[0].examples.names.size(), 2u);
  EXPECT_EQ(r.topCt.counts.size(), report::GroupCounter::kMaxKeys);
  EXPECT_EQ(r.topCt.other, 50u);
  EXPECT_EQ(report::sortedGroups(r.topCt).back(),
            (std::pair<std::string, uint64_t>{"(other)", 50}));
}

// formats.jsonl: two ok records (one named with a container locator), two unreadable entries, two
// messages that could not be processed (one without its probe), a reader rejection, a
// malformed line in the middle and a last line cut short without its line end.
TEST(ReportRecordForms, UnreadableFailedAndCutLinesAreCountedApart) {
  report::Report r = reportOf("formats.jsonl");
  EXPECT_EQ(r.lines, 9u);
  EXPECT_EQ(r.records, 7u);
  EXPECT_EQ(r.ok, 2u);  // the unreadable entries say "ok" but were never read
  EXPECT_EQ(r.unreadable, 2u);
  EXPECT_EQ(r.failed, 2u);
  EXPECT_EQ(r.threw, 1u);
  EXPECT_EQ(r.malformed, 1u);
  EXPECT_EQ(r.cut, 1u);
  ASSERT_EQ(r.malformedLines.size(), 2u);
  EXPECT_EQ(r.malformedLines[0].line, 7u);
  EXPECT_EQ(r.malformedLines[0].reason, "not valid JSON");
  EXPECT_EQ(r.malformedLines[1].line, 9u);
  EXPECT_EQ(r.malformedLines[1].reason, report::kCutReason);

  // Only the two messages read with outcome ok are judged: the failed message's Content-ID
  // part is no silent loss, and the unreadable entries count nowhere in the pairings.
  for (const report::Pairing& p : r.pairings) {
    SCOPED_TRACE(p.feature);
    EXPECT_EQ(p.agree + p.bothAbsent + p.silent + p.falseAlarm, 2u);
  }
  EXPECT_EQ(findPairing(r, "headers.date")->agree, 1u);
  EXPECT_EQ(findPairing(r, "mime.related-cid")->silent, 0u);
  // Risks and rejection over the messages read with a probe: not the unreadable entries, not
  // the failed message without one.
  EXPECT_EQ(r.probed, 4u);
  EXPECT_EQ(r.parseErrThrew + r.parseErrOk + r.threwNoParseErr, 1u);
  EXPECT_EQ(report::sortedGroups(r.topCt).size(), 2u);  // text/plain, multipart/related

  EXPECT_EQ(report::sortedGroups(r.readErrors),
            (std::vector<std::pair<std::string, uint64_t>>{{"Is a directory", 1},
                                                           {"No such file or directory", 1}}));
  EXPECT_EQ(report::sortedGroups(r.failures),
            (std::vector<std::pair<std::string, uint64_t>>{
                {"Resource: memory limit of # MiB exceeded in the reader", 2}}));
  ASSERT_EQ(r.unreadableExamples.size(), 2u);
  EXPECT_EQ(r.unreadableExamples[0].name, "missing.eml");
  EXPECT_EQ(r.unreadableExamples[0].text, "No such file or directory");
  ASSERT_EQ(r.failedExamples.size(), 2u);
  EXPECT_EQ(r.failedExamples[0].name, "list.mbox#12@34567");
  EXPECT_EQ(report::msAtLeastOne(r), 3u);
}

// A line without its line end is cut only when it is not a record; a record that lost
// nothing but its "\n" counts as a record, and a malformed line elsewhere stays malformed.
TEST(ReportRecordForms, OnlyAnUnparsableLastLineIsCut) {
  struct Row {
    const char* label;
    std::string line;
    report::LineEnd end;
    uint64_t records, malformed, cut;
  };
  const std::string whole = recordLine("", "");
  const Row rows[] = {
      {"whole record without line end", whole, report::LineEnd::Missing, 1, 0, 0},
      {"half a record without line end", whole.substr(0, 40), report::LineEnd::Missing, 0, 0, 1},
      {"an empty last piece", "", report::LineEnd::Missing, 0, 0, 1},
      {"half a record with its line end", whole.substr(0, 40), report::LineEnd::Ended, 0, 1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    report::Report r = report::makeReport(5);
    report::addLine(r, row.line, "-", 1, row.end);
    EXPECT_EQ(r.records, row.records);
    EXPECT_EQ(r.malformed, row.malformed);
    EXPECT_EQ(r.cut, row.cut);
  }
}

TEST(ReportRecordForms, OnlyAFailedRecordMayLackItsProbe) {
  std::string line = recordLine("", "");
  line.erase(line.find(",\"probe\""));
  line += "}";
  for (const char* outcome :
       {"\"ok\"", "\"threw\",\"error\":\"x\"", "\"failed\",\"error\":\"x\""}) {
    std::string variant = line;
    variant.replace(variant.find("\"ok\""), 4, outcome);
    report::Report r = report::makeReport(5);
    report::addLine(r, variant, "-", 1);
    EXPECT_EQ(r.records, std::string_view(outcome).find("failed") != std::string_view::npos)
        << outcome;
  }
}

// An outcome change keeps the new run's failure text cut, as it keeps the base run's.
TEST(CompareOutcomes, LongFailureTextsAreCut) {
  const std::string error = "Parse: " + std::string(300, 'x');
  std::string threw = recordLine("", "", "\"threw\"");
  threw.replace(threw.find("Parse: x"), 8, error);
  report::Comparison c = report::makeComparison(5);
  report::addBaseLine(c, recordLine("", ""), "base", 1);
  report::addNewLine(c, threw, "new", 1);
  report::finishComparison(c);
  const report::ChangeCount& change = c.outcomes[{report::Status::Ok, report::Status::Threw}];
  ASSERT_EQ(change.examples.size(), 1u);
  EXPECT_EQ(change.examples[0].after, "threw: " + report::cutUtf8(error, report::kMaxTextBytes));
}

}  // namespace
