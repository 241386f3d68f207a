#include "email_ventry_report/compare.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "email_ventry_report/render.h"
#include "report_data.h"

namespace {

// A record whose notice and condition for mime.nested (and nothing else) are as asked;
// `outcome` "ok", "threw" or "failed"; `probeExtra` members appended to the probe.
std::string record(const std::string& name, bool notice, bool condition,
                   const std::string& outcome = "ok", const std::string& probeExtra = "") {
  std::string line =
      "{\"name\":\"" + name + "\",\"bytes\":10,\"ms\":1,\"outcome\":\"" + outcome + "\"" +
      (outcome == "ok" ? "" : ",\"error\":\"Parse: no\"") + ",\"loss\":[" +
      (notice ? "{\"id\":\"email.read.mime.nested\",\"action\":\"dropped\"}" : "") +
      "],\"gotHtml\":false,\"gotText\":true,\"gotAttachments\":0,\"gotTo\":1,"
      "\"gotCc\":0,\"probe\":{\"hdrTo\":true,\"hdrCc\":false,\"hdrToEmpty\":false,"
      "\"hdrCcEmpty\":false,\"hdrDate\":false,\"encWordSubject\":false,"
      "\"encWordAny\":false,\"parseErr\":false,\"topCt\":\"text/plain\","
      "\"plainNonempty\":" +
      (condition ? "2" : "1") +
      ",\"htmlNonempty\":0,\"calUnnamed\":0,\"otherTextualUnnamed\":0,"
      "\"rfc822Unnamed\":0,\"cidParts\":0,\"attachDecl\":0,\"oversize\":0,"
      "\"remoteRefsInHtml\":false,\"scriptInHtml\":false,\"undeclNonAscii\":false,"
      "\"formatFlowed\":false,\"signed\":false,\"encrypted\":false,\"report\":false" +
      probeExtra + "}}";
  return line;
}

// "r12.eml" from ("r", 12, ".eml").
std::string numbered(const char* prefix, size_t i, const char* suffix = "") {
  std::string out = prefix;
  out += std::to_string(i);
  out += suffix;
  return out;
}

struct Outcome {
  report::Comparison comparison;
  std::vector<std::string> findings;  // "kind<TAB>name<TAB>detail", in the order told
};

// Feeds two runs into a comparison. `order` picks, before each line, whether the base run's
// next line goes in (given whether either run has lines left); without one, the reading
// report::wantsBase asks for.
using Order = std::function<bool(const report::Comparison&, size_t baseLeft, size_t newLeft)>;

Outcome compare(const std::vector<std::string>& base, const std::vector<std::string>& next,
                const Order& order = nullptr, size_t examples = 5) {
  Outcome out{report::makeComparison(examples), {}};
  report::Comparison& c = out.comparison;
  c.onFinding = [&out](const report::Finding& f) {
    out.findings.push_back(std::string(report::findingName(f.kind)) + "\t" + std::string(f.name) +
                           "\t" + std::string(f.detail));
  };
  size_t b = 0, n = 0;
  while (!c.baseEnded || !c.newEnded) {
    const bool readBase =
        !c.baseEnded &&
        (c.newEnded || (order ? order(c, base.size() - b, next.size() - n) : report::wantsBase(c)));
    if (readBase) {
      if (b < base.size()) {
        report::addBaseLine(c, base[b], "base", b + 1);
        ++b;
      } else {
        report::finishBase(c);
      }
    } else if (n < next.size()) {
      report::addNewLine(c, next[n], "new", n + 1);
      ++n;
    } else {
      report::finishNew(c);
    }
  }
  report::finishComparison(c);
  return out;
}

// The whole comparison as the JSON page shows it, with the findings in their order.
std::string summary(const Outcome& o) {
  std::string s =
      report::renderComparison(o.comparison, report::Format::Json, report_test::metaFor("runs"));
  for (const std::string& f : o.findings) s += f + "\n";
  return s;
}

// The base run whole first, then the new run: how the runs were always compared.
bool baseFirst(const report::Comparison&, size_t, size_t) {
  return true;
}
bool newFirst(const report::Comparison& c, size_t, size_t) {
  return c.newEnded;
}

// A silent loss (or a false alarm) both runs have is neither new nor fixed, and --fail-on
// does not name it; only a change in the verdict counts, and a loss whose message the new
// run did not read is not fixed. Each row is compared with the pair in step, and out of step
// (the new run gives another name first, so the pair waits in the queue).
TEST(CompareMoved, OnlyAChangedVerdictIsNewOrFixed) {
  struct Verdict {
    bool notice, condition;
    const char* outcome;
  };
  const Verdict silent{false, true, "ok"}, falseAlarm{true, false, "ok"}, agree{true, true, "ok"},
      neither{false, false, "ok"}, threwSilent{false, true, "threw"};
  struct Row {
    const char* label;
    Verdict before, after;
    uint64_t newSilent, fixedSilent, newFalseAlarm, fixedFalseAlarm;
  };
  const Row rows[] = {
      {"silent loss in both runs", silent, silent, 0, 0, 0, 0},
      {"false alarm in both runs", falseAlarm, falseAlarm, 0, 0, 0, 0},
      {"silent loss mended", silent, agree, 0, 1, 0, 0},
      {"silent loss appears", agree, silent, 1, 0, 0, 0},
      {"false alarm appears", neither, falseAlarm, 0, 0, 1, 0},
      {"false alarm mended", falseAlarm, neither, 0, 0, 0, 1},
      {"silent loss becomes a false alarm", silent, falseAlarm, 0, 0, 1, 0},
      {"the message no longer read", silent, threwSilent, 0, 0, 0, 0},
      {"the message read again", threwSilent, silent, 1, 0, 0, 0},
  };
  for (const Row& row : rows) {
    for (bool inStep : {true, false}) {
      SCOPED_TRACE(std::string(row.label) + (inStep ? ", in step" : ", out of step"));
      const std::vector<std::string> base = {
          record("a.eml", false, false),
          record("m.eml", row.before.notice, row.before.condition, row.before.outcome)};
      std::vector<std::string> next = {
          record("m.eml", row.after.notice, row.after.condition, row.after.outcome)};
      next.insert(inStep ? next.begin() : next.end(), record("a.eml", false, false));
      const Outcome o = compare(base, next);
      const report::FeatureChange* nested = nullptr;
      for (const report::FeatureChange& f : o.comparison.features) {
        if (f.feature == "mime.nested") nested = &f;
      }
      ASSERT_NE(nested, nullptr);
      EXPECT_EQ(nested->newSilent, row.newSilent);
      EXPECT_EQ(nested->fixedSilent, row.fixedSilent);
      EXPECT_EQ(nested->newFalseAlarm, row.newFalseAlarm);
      EXPECT_EQ(nested->fixedFalseAlarm, row.fixedFalseAlarm);
      EXPECT_EQ(nested->newSilentExamples.names.size(), row.newSilent);
      std::vector<std::string> expected;
      if (row.newSilent) expected.push_back("new silent loss\tm.eml\tmime.nested");
      if (row.newFalseAlarm) expected.push_back("new false alarm\tm.eml\tmime.nested");
      if (std::string(row.after.outcome) != "ok" && std::string(row.before.outcome) == "ok") {
        expected.insert(expected.begin(), "new failure\tm.eml\tParse: no");
      }
      // The condition is a probe member: where it changed, the probe did.
      if (row.before.condition != row.after.condition) {
        expected.push_back("probe changed\tm.eml\tplainNonempty");
      }
      EXPECT_EQ(o.findings, expected);
      EXPECT_EQ(o.comparison.matched, 2u);
    }
  }
}

// The command line: a silent loss and a false alarm present in both runs fail nothing.
TEST(CompareMoved, FailOnIgnoresWhatBothRunsHave) {
  char dirTemplate[] = "/tmp/ventry_moved_XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string lines = record("silent.eml", false, true) + "\n" +
                            record("false-alarm.eml", true, false) + "\n" +
                            record("fine.eml", true, true) + "\n";
  for (const char* name : {"/base.jsonl", "/new.jsonl"}) {
    std::FILE* f = std::fopen((dir + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(lines.data(), 1, lines.size(), f);
    std::fclose(f);
  }
  const std::string command = std::string(EMAIL_VENTRY_REPORT_BINARY) + " --compare " + dir +
                              "/base.jsonl " + dir + "/new.jsonl --fail-on " +
                              "silent-loss,false-alarm >/dev/null 2>" + dir + "/err";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(report_test::readFile(dir + "/err"), "");
  std::remove((dir + "/base.jsonl").c_str());
  std::remove((dir + "/new.jsonl").c_str());
  std::remove((dir + "/err").c_str());
  std::remove(dir.c_str());
}

// Pairs of runs that fall out of step in every way the comparison knows. Whatever order their
// lines arrive in, the comparison is the same, findings and examples in the same order: the
// one the runs have always been compared in (the base run whole, then the new run).
TEST(CompareStreaming, AnyInterleavingComparesAlike) {
  std::vector<std::string> base, same;
  for (int i = 0; i < 40; ++i) {
    const std::string name = numbered("r", i, ".eml");
    base.push_back(record(name, i % 3 == 0, i % 4 == 0));
    same.push_back(record(name, i % 5 == 0, i % 4 == 0, i % 11 == 0 ? "threw" : "ok"));
  }
  auto reversed = same;
  std::reverse(reversed.begin(), reversed.end());
  auto shuffled = same;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  auto extra = same;  // names only in the new run, first and among the others
  extra.insert(extra.begin(), record("only-new-1.eml", false, true));
  extra.insert(extra.begin() + 20, record("only-new-2.eml", true, false));
  auto fewer = same;  // names only in the base run
  fewer.erase(fewer.begin() + 3);
  fewer.erase(fewer.begin() + 30);
  auto repeated = same;  // names given twice, near and far
  repeated.insert(repeated.begin() + 5, same[4]);
  repeated.push_back(same[0]);
  repeated.insert(repeated.begin() + 10, "not a record");
  auto probeAdded = same;  // the new run's probe has members the base run's lacks
  for (size_t i = 0; i < probeAdded.size(); ++i) {
    probeAdded[i] = record(numbered("r", i, ".eml"), i % 5 == 0, i % 4 == 0, "ok",
                           i % 2 ? ",\"added\":1" : ",\"added\":2,\"zz\":[1]");
  }
  auto baseRepeated = base;
  baseRepeated.insert(baseRepeated.begin() + 7, base[2]);
  baseRepeated.push_back(base[39]);
  struct Row {
    const char* label;
    const std::vector<std::string>& base;
    const std::vector<std::string>& next;
  };
  const Row rows[] = {
      {"same order", base, same},
      {"reversed", base, reversed},
      {"shuffled", base, shuffled},
      {"names only in the new run", base, extra},
      {"names only in the base", base, fewer},
      {"names repeated", baseRepeated, repeated},
      {"probe members added", base, probeAdded},
      {"members removed", probeAdded, base},
      {"new run empty", base, {}},
      {"base run empty", {}, same},
  };
  for (const Row& row : rows) {
    for (size_t examples : {size_t{0}, size_t{2}, size_t{5}}) {
      SCOPED_TRACE(std::string(row.label) + ", examples " + std::to_string(examples));
      const std::string expected = summary(compare(row.base, row.next, baseFirst, examples));
      EXPECT_EQ(summary(compare(row.base, row.next, nullptr, examples)), expected);
      EXPECT_EQ(summary(compare(row.base, row.next, newFirst, examples)), expected);
      std::mt19937 random(11);
      EXPECT_EQ(summary(compare(
                    row.base, row.next,
                    [&random](const report::Comparison&, size_t, size_t) { return random() % 2; },
                    examples)),
                expected);
    }
  }
}

// Two runs of the same list in the same order: nothing is held but the set of names.
TEST(CompareStreaming, RunsInStepHoldNoRecords) {
  std::vector<std::string> base, next;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = numbered("m", i);
    base.push_back(record(name, i % 7 == 0, i % 9 == 0));
    next.push_back(record(name, i % 8 == 0, i % 9 == 0));
  }
  size_t mostHeld = 0, mostQueued = 0;
  compare(base, next, [&](const report::Comparison& c, size_t, size_t) {
    mostHeld = std::max(mostHeld, c.held.size());
    mostQueued = std::max(mostQueued, c.queue.size());
    return report::wantsBase(c);
  });
  EXPECT_EQ(mostHeld, 0u);
  EXPECT_EQ(mostQueued, 0u);
  // One name missing from the new run stays held; one only in the new run holds at most the
  // stretch read ahead, and only its own place in the queue (nothing else moved).
  next = base;
  next.erase(next.begin() + 100);
  next.insert(next.begin() + 200, record("new-only", false, false));
  mostHeld = mostQueued = 0;
  const Outcome o = compare(base, next, [&](const report::Comparison& c, size_t, size_t) {
    mostHeld = std::max(mostHeld, c.held.size());
    mostQueued = std::max(mostQueued, c.queue.size());
    return report::wantsBase(c);
  });
  EXPECT_EQ(o.comparison.onlyBase, 1u);
  EXPECT_EQ(o.comparison.onlyNew, 1u);
  EXPECT_LE(mostHeld, 1030u);
  EXPECT_EQ(mostQueued, 1u);
}

}  // namespace
