#include "email_ventry_report/record.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace {

// The record parser reads plain records in place and leaves every other line to the document
// tree; whichever way a line goes, the outcome must be the tree's.
std::string differenceOf(const report::Record& a, const report::Record& b) {
#define VENTRY_SAME(member) \
  if (!(a.member == b.member)) return #member;
  VENTRY_SAME(name)
  VENTRY_SAME(bytes)
  VENTRY_SAME(ms)
  VENTRY_SAME(status)
  VENTRY_SAME(error)
  VENTRY_SAME(readError)
  VENTRY_SAME(lossIds)
  VENTRY_SAME(gotHtml)
  VENTRY_SAME(gotText)
  VENTRY_SAME(gotAttachments)
  VENTRY_SAME(gotTo)
  VENTRY_SAME(gotCc)
  VENTRY_SAME(hasProbe)
  VENTRY_SAME(hdrTo)
  VENTRY_SAME(hdrCc)
  VENTRY_SAME(hdrToEmpty)
  VENTRY_SAME(hdrCcEmpty)
  VENTRY_SAME(hdrDate)
  VENTRY_SAME(encWordSubject)
  VENTRY_SAME(encWordAny)
  VENTRY_SAME(parseErr)
  VENTRY_SAME(topCt)
  VENTRY_SAME(plainNonempty)
  VENTRY_SAME(htmlNonempty)
  VENTRY_SAME(calUnnamed)
  VENTRY_SAME(otherTextualUnnamed)
  VENTRY_SAME(rfc822Unnamed)
  VENTRY_SAME(cidParts)
  VENTRY_SAME(attachDecl)
  VENTRY_SAME(oversize)
  VENTRY_SAME(remoteRefsInHtml)
  VENTRY_SAME(scriptInHtml)
  VENTRY_SAME(undeclNonAscii)
  VENTRY_SAME(formatFlowed)
  VENTRY_SAME(signedMsg)
  VENTRY_SAME(encrypted)
  VENTRY_SAME(reportMsg)
  VENTRY_SAME(probeDigest)
#undef VENTRY_SAME
  if (a.probeMembers.size() != b.probeMembers.size()) return "probeMembers";
  for (size_t i = 0; i < a.probeMembers.size(); ++i) {
    if (a.probeMembers[i].key != b.probeMembers[i].key ||
        a.probeMembers[i].digest != b.probeMembers[i].digest) {
      return "probeMembers[" + std::to_string(i) + "]";
    }
  }
  return "";
}

// "" when the parser's outcome for the line is the tree's, else what differs.
std::string againstTree(report::RecordParser& parser, const std::string& line, bool digests) {
  const report::ParsedLine got = parser.parse(line, digests);
  const auto want = report::parseRecordTree(line, digests);
  if (const auto* problem = std::get_if<std::string>(&want)) {
    if (got.record) return "a record where the tree says: " + *problem;
    return got.problem == *problem ? "" : "problem \"" + std::string(got.problem) + "\"";
  }
  if (!got.record) return "no record: " + std::string(got.problem);
  return differenceOf(*got.record, std::get<report::Record>(want));
}

const std::string kProbe =
    "{\"hdrTo\":true,\"hdrCc\":false,\"hdrToEmpty\":false,\"hdrCcEmpty\":false,\"hdrBcc\":false,"
    "\"hdrDate\":true,\"encWordSubject\":false,\"encWordAny\":false,\"parseErr\":false,"
    "\"topCt\":\"text/plain\",\"parts\":1,\"plainNonempty\":1,\"htmlNonempty\":0,\"calUnnamed\":0,"
    "\"otherTextualUnnamed\":0,\"otherTextualTypes\":[],\"rfc822Unnamed\":0,\"cidParts\":0,"
    "\"remoteRefsInHtml\":false,\"scriptInHtml\":false,\"attachDecl\":0,\"oversize\":0,"
    "\"cte\":[\"7bit\"],\"charsets\":[\"us-ascii\"],\"undeclNonAscii\":false,"
    "\"formatFlowed\":false,\"signed\":false,\"encrypted\":false,\"report\":false}";

const std::string kRecord =
    "{\"name\":\"a.eml\",\"bytes\":12,\"ms\":3,\"outcome\":\"ok\",\"loss\":[{\"id\":"
    "\"email.read.mime.nested\",\"action\":\"dropped\"}],\"gotHtml\":false,\"gotText\":true,"
    "\"gotAttachments\":0,\"gotTo\":1,\"gotCc\":0,\"probe\":" +
    kProbe + "}";

// The record with the first `from` replaced by `to`.
std::string with(const std::string& from, const std::string& to) {
  std::string line = kRecord;
  const size_t at = line.find(from);
  if (at == std::string::npos) return "(template lacks " + from + ")";
  return line.replace(at, from.size(), to);
}

TEST(RecordParser, EveryLineReadsAsTheTreeReadsIt) {
  std::string failedWithoutProbe = with(",\"probe\":" + kProbe, "");
  failedWithoutProbe.replace(failedWithoutProbe.find("\"ok\""), 4, "\"failed\",\"error\":\"R\"");
  const std::vector<std::string> lines = {
      kRecord,
      // Forms of the same record.
      " \t" + kRecord + " ",
      "\xef\xbb\xbf" + kRecord,
      with(",\"bytes\"", " , \"bytes\" "),
      with("\"a.eml\"", "\"\\u00e9\\ud83d\\ude00\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000.eml\""),
      with("\"a.eml\"", "\"caf\xc3\xa9.eml\""),
      // Repeated members: the tree keeps the last.
      with("\"bytes\":12", "\"bytes\":12,\"bytes\":13"),
      with("\"bytes\":12", "\"bytes\":\"x\",\"bytes\":13"),
      with("\"hdrTo\":true", "\"hdrTo\":true,\"hdrTo\":false"),
      with("\"parts\":1", "\"parts\":1,\"parts\":2"),
      with("\"probe\":", "\"probe\":7,\"probe\":"),
      with("\"id\":", "\"id\":\"x\",\"id\":"),
      with("\"gotHtml\"", "\"loss\":[],\"gotHtml\""),
      // Escaped keys are keys like any other.
      with("\"name\"", "\"n\\u0061me\""),
      with("\"hdrDate\"", "\"hdr\\u0044ate\""),
      with("\"parts\"", "\"p\\u0061rts\""),
      with("\"id\"", "\"\\u0069d\""),
      // Strings the tree refuses.
      with("\"a.eml\"", "\"\\ud83d.eml\""),
      with("\"a.eml\"", "\"\\ude00.eml\""),
      with("\"a.eml\"", "\"\\ud83d\\u0041.eml\""),
      with("\"a.eml\"", "\"\\x.eml\""),
      with("\"a.eml\"", "\"a\x01.eml\""),
      with("\"a.eml\"", "\"a\t.eml\""),
      with("\"a.eml\"", "\"a\xff.eml\""),
      with("\"a.eml\"", "\"a\xed\xa0\x80.eml\""),
      with("\"7bit\"", "\"7bit\xc0\xaf\""),
      // Numbers: only unsigned 64-bit integers are counts; ms may be wider.
      with("\"ms\":3", "\"ms\":18446744073709551616"),
      with("\"ms\":3", "\"ms\":1e30"),
      with("\"ms\":3", "\"ms\":1.5e19"),
      with("\"ms\":3", "\"ms\":-0"),
      with("\"ms\":3", "\"ms\":03"),
      with("\"ms\":3", "\"ms\":1e400"),
      with("\"bytes\":12", "\"bytes\":18446744073709551615"),
      with("\"bytes\":12", "\"bytes\":12.0"),
      with("\"parts\":1", "\"parts\":-1"),
      with("\"parts\":1", "\"parts\":1.5"),
      with("\"parts\":1", "\"parts\":99999999999999999999"),
      with("\"parts\":1", "\"parts\":-9223372036854775809"),
      // Literals and structure.
      with("\"hdrBcc\":false", "\"hdrBcc\":fals"),
      with("\"hdrBcc\":false", "\"hdrBcc\":nul"),
      with("\"hdrBcc\":false", "\"hdrBcc\":null"),
      with("\"report\":false}", "\"report\":false,}"),
      with("[\"7bit\"]", "[\"7bit\",]"),
      with(",\"gotCc\"", " \"gotCc\""),
      kRecord + "{}",
      kRecord + " x",
      kRecord.substr(0, kRecord.size() - 1),
      "[" + kRecord + "]",
      // Nesting: a record nests three deep; more than eight is refused before parsing.
      with("\"otherTextualTypes\":[]", "\"otherTextualTypes\":[[[[[[]]]]]]"),
      with("\"otherTextualTypes\":[]", "\"otherTextualTypes\":[[[[[[[]]]]]]]"),
      with("\"gotCc\":0", "\"gotCc\":0,\"x\":[[[[[[[[]]]]]]]]"),
      with("\"otherTextualTypes\":[]",
           "\"otherTextualTypes\":{\"b\":1,\"a\":[2,{\"z\":null}],\"a\":3}"),
      with("\"otherTextualTypes\":[]", "\"otherTextualTypes\":[1,\"x\",true,null,[]]"),
      // Members missing, of the wrong type, or in other orders.
      with("\"ms\":3,", ""),
      with("\"hdrCc\":false,", ""),
      with("\"topCt\":\"text/plain\"", "\"topCt\":7"),
      with("\"loss\":[{", "\"loss\":[1,{"),
      with("\"action\":\"dropped\"", "\"action\":[1,{\"a\":[]}]"),
      with("\"outcome\":\"ok\"", "\"outcome\":\"threw\""),
      with("\"outcome\":\"ok\"", "\"outcome\":\"threw\",\"error\":\"Parse: x\""),
      with("\"outcome\":\"ok\"", "\"outcome\":\"ok\",\"error\":[7]"),
      with("\"outcome\":\"ok\"", "\"outcome\":\"maybe\""),
      with("\"outcome\":\"ok\"", "\"readError\":\"Gone\",\"outcome\":\"ok\""),
      with("\"outcome\":\"ok\"", "\"readError\":null,\"outcome\":\"ok\""),
      with(",\"probe\":" + kProbe, ""),
      failedWithoutProbe,
      "{\"probe\":" + kProbe + "," + kRecord.substr(1, kRecord.find(",\"probe\"") - 1) + "}",
      with("{\"hdrTo\":true,", "{\"zz\":1,\"report\":true,\"hdrTo\":true,\"aa\":[\"q\"],"),
  };
  for (bool digests : {false, true}) {
    report::RecordParser reused;
    for (const std::string& line : lines) {
      SCOPED_TRACE(line);
      SCOPED_TRACE(digests ? "with digests" : "without digests");
      report::RecordParser fresh;
      EXPECT_EQ(againstTree(fresh, line, digests), "");
      // The same parser line after line: what it keeps between lines must not leak.
      EXPECT_EQ(againstTree(reused, line, digests), "");
      EXPECT_EQ(againstTree(reused, kRecord, digests), "");
    }
  }
}

// Probe members in a new order, or new members, between one line and the next.
TEST(RecordParser, ProbeDigestsFollowTheMembersLineAfterLine) {
  const std::vector<std::string> lines = {
      kRecord,
      with("\"hdrBcc\":false,", "\"hdrBcc\":true,"),
      with("{\"hdrTo\":true,\"hdrCc\":false,", "{\"hdrCc\":false,\"hdrTo\":true,"),
      with("\"report\":false}", "\"report\":false,\"added\":1}"),
      with("\"hdrBcc\":false,", ""),
      with("\"hdrTo\":true,", "\"hdrTo\":true,\"hdrCc\":false,"),  // repeated member
      kRecord,
      with("\"parts\":1,", "\"parts\":1,\"parts2\":1,"),
      kRecord,
  };
  report::RecordParser parser;
  for (int round = 0; round < 2; ++round) {
    for (const std::string& line : lines) {
      SCOPED_TRACE(line);
      EXPECT_EQ(againstTree(parser, line, true), "");
    }
  }
}

}  // namespace
