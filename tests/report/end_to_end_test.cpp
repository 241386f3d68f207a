#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report_data.h"
#include "ventry_version.h"

namespace {

namespace fs = std::filesystem;

struct ShellRun {
  std::string out;
  int status = -1;
};

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ShellRun shell(const std::string& command) {
  ShellRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const std::string kReport = EMAIL_VENTRY_REPORT_BINARY;

const nlohmann::json& pairing(const nlohmann::json& report, const std::string& feature) {
  for (const nlohmann::json& p : report["pairings"]) {
    if (p["feature"] == "email.read." + feature) return p;
  }
  static const nlohmann::json none;
  return none;
}

TEST(ReportCommand, SampleCorpusThroughThePipe) {
  const fs::path root = fs::path(VENTRY_SOURCE_DIR) / "examples" / "corpus";
  ASSERT_TRUE(fs::exists(root / "list.txt"));
  ShellRun run =
      shell(quoted(EMAIL_VENTRY_BINARY) + " --list " + quoted((root / "list.txt").string()) +
            " --root " + quoted(root.string()) + " | " + quoted(kReport) + " --format json");
  ASSERT_EQ(run.status, 0);
  nlohmann::json j = nlohmann::json::parse(run.out);
  // The oversize sample is written by the sample script; without it its entry is unreadable.
  const int oversize = fs::exists(root / "generated" / "oversize.eml") ? 1 : 0;
  EXPECT_EQ(j["run"]["records"], 23);
  EXPECT_EQ(j["run"]["malformed"], 0);
  EXPECT_EQ(j["run"]["ok"], 21 + oversize);
  EXPECT_EQ(j["run"]["unreadable"], 1 - oversize);
  EXPECT_EQ(j["run"]["threw"], 1);
  struct Row {
    const char* feature;
    int agree, silent, falseAlarm;
  };
  const Row rows[] = {
      {"calendar.detect", 1, 0, 0},
      {"mime.textual-part", 2, 0, 0},
      {"mime.related-cid", 1, 0, 0},
      {"mime.message-rfc822", 1, 0, 0},
      {"attachments.oversize", oversize, 0, 0},
      {"mime.charset-fallback", 1, 0, 0},
      {"mime.format-flowed", 1, 0, 0},
      {"mime.nested", 2, 0, 0},
      {"headers.date", 4, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.feature);
    const nlohmann::json& p = pairing(j, row.feature);
    EXPECT_EQ(p["agree"], row.agree);
    EXPECT_EQ(p["silent"], row.silent);
    EXPECT_EQ(p["falseAlarm"], row.falseAlarm);
  }
  EXPECT_EQ(j["recipients"]["recipientsNotice"], 1);
  EXPECT_EQ(j["risks"]["signed"]["examples"][0], "12-signed.eml");
  EXPECT_EQ(j["risks"]["encrypted"]["messages"], 1);
  EXPECT_EQ(j["risks"]["report"]["messages"], 1);
  EXPECT_EQ(j["risks"]["scriptInHtml"]["examples"][0], "19-html-remote-script.eml");
  EXPECT_EQ(j["rejection"]["parseErrAndThrew"], 1);
  EXPECT_EQ(j["rejection"]["threwWithoutParseErr"], 0);
  EXPECT_EQ(j["attachments"]["fewerExamples"][0], "16-bad-base64.eml");
}

// The records of the reference build over the public conformance set.
TEST(ReportCommand, ReferenceRecords) {
  const fs::path records = fs::path(VENTRY_SHARED_DIR) / "conformance" / "public.expected.jsonl";
  if (!fs::exists(records)) GTEST_SKIP() << "shared conformance records not present";
  ShellRun run = shell(quoted(kReport) + " --format json --examples 2 " + quoted(records.string()));
  ASSERT_EQ(run.status, 0);
  nlohmann::json j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["run"]["records"], 782);
  EXPECT_EQ(j["run"]["ok"], 770);
  EXPECT_EQ(j["run"]["threw"], 12);
  EXPECT_EQ(j["rejection"]["parseErrAndThrew"], 12);
  EXPECT_EQ(pairing(j, "headers.date")["agree"], 632);
  EXPECT_EQ(pairing(j, "mime.message-rfc822")["silent"], 1);
  EXPECT_EQ(pairing(j, "mime.message-rfc822")["falseAlarm"], 4);
  EXPECT_EQ(pairing(j, "mime.message-rfc822")["falseAlarmExamples"].size(), 2u);
  EXPECT_EQ(pairing(j, "mime.nested")["falseAlarm"], 6);
}

TEST(ReportCommand, InputsStdinAndFailures) {
  const std::string pairings = quoted(report_test::dataPath("pairings.jsonl"));
  const std::string malformed = quoted(report_test::dataPath("malformed.jsonl"));
  struct Row {
    const char* label;
    std::string command;
    int status;
    int records;
    int malformed;
  };
  const Row rows[] = {
      {"two files", quoted(kReport) + " --format json " + pairings + " " + malformed, 0, 31, 9},
      {"standard input", "cat " + pairings + " | " + quoted(kReport) + " --format json", 0, 28, 0},
      {"dash among files",
       "cat " + malformed + " | " + quoted(kReport) + " --format json " + pairings + " -", 0, 31,
       9},
      {"unreadable file still reports",
       quoted(kReport) + " --format json /nonexistent/x " + pairings + " 2>/dev/null", 1, 28, 0},
      {"last line without a line end",
       "printf '%s' \"$(head -n 1 " + pairings + ")\" | " + quoted(kReport) + " --format json", 0,
       1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ShellRun run = shell(row.command);
    EXPECT_EQ(run.status, row.status);
    nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["run"]["records"], row.records);
    EXPECT_EQ(j["run"]["malformed"], row.malformed);
  }
  for (const char* bad :
       {"--format pdf", "--examples x", "--fail-on any", "--compare a.jsonl", "--compare a b c",
        "--fail-on lost --compare a b", "--names mime.nested:agree --compare a b"}) {
    EXPECT_EQ(shell(quoted(kReport) + " " + bad + " </dev/null 2>/dev/null").status, 2) << bad;
  }
  ShellRun version = shell(quoted(kReport) + " --version --format pdf");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "email_ventry_report " + std::string(ventry::kVersion) + "\n");
  ShellRun help = shell(quoted(kReport) + " --version --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: email_ventry_report ", 0), 0u);
}

// Loads both HTML pages (the report, and the comparison of two runs) in a headless browser and
// looks at the resulting DOM.
TEST(ReportCommand, HtmlPagesLoadInChromium) {
  if (shell("command -v chromium >/dev/null 2>&1").status != 0) {
    GTEST_SKIP() << "chromium is not installed";
  }
  char dirTemplate[] = "/tmp/ventry_report_XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const fs::path dir = dirTemplate;
  const std::string pairings = quoted(report_test::dataPath("pairings.jsonl"));
  const std::string formats = quoted(report_test::dataPath("formats.jsonl"));
  struct Page {
    std::string name;
    std::string arguments;
    std::vector<std::string> expected;
  };
  const Page pages[] = {
      {"report.html",
       pairings,
       {"<h1>Reader fidelity report</h1>", "<li>input: ", "pairings.jsonl</li>",
        "<li>records: 28 of 28 lines</li>", "<li>made 2001-09-09T01:46:40Z by email_ventry_report ",
        "data-feature=\"headers.date\""}},
      {"compare.html",
       "--compare " + pairings + " " + formats,
       {"comparison of two runs</h1>", "<li>inputs: base ",
        "<li>records: base 28, new 7; names in both: 1</li>", "id=\"probe-warning\"",
        "data-feature=\"mime.nested\""}},
  };
  for (const Page& page : pages) {
    SCOPED_TRACE(page.name);
    const fs::path file = dir / page.name;
    ASSERT_EQ(shell("SOURCE_DATE_EPOCH=1000000000 " + quoted(kReport) + " --format html " +
                    page.arguments + " > " + quoted(file.string()))
                  .status,
              0);
    ShellRun run = shell(
        "timeout 60 chromium --headless --no-sandbox --disable-gpu "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--no-first-run --enable-logging=stderr --user-data-dir=" +
        quoted((dir / "profile").string()) + " --dump-dom " + quoted("file://" + file.string()) +
        " 2>" + quoted((dir / "log").string()));
    std::string log = report_test::readFile((dir / "log").string());
    if (run.status != 0 || run.out.find("<body") == std::string::npos) {
      fs::remove_all(dir);
      GTEST_SKIP() << "chromium did not start (status " << run.status << ")";
    }
    EXPECT_EQ(log.find("CONSOLE"), std::string::npos) << log;
    size_t groups = 0;
    for (size_t at = run.out.find("class=\"bar-group\""); at != std::string::npos;
         at = run.out.find("class=\"bar-group\"", at + 1)) {
      ++groups;
    }
    EXPECT_EQ(groups, 9u);
    for (const std::string& text : page.expected) {
      EXPECT_NE(run.out.find(text), std::string::npos) << text;
    }
  }
  fs::remove_all(dir);
}

// The reference records of the bulk set against a copy changed on purpose, so that every
// direction of change shows up: one feature broken both ways (its notice dropped where the
// probe sees the condition, added where it does not), another's false alarms mended, three
// outcome changes, a probe member, a reader count, names removed and added, the order reversed
// and a last line cut short.
class CompareBulk : public ::testing::Test {
 protected:
  void SetUp() override {
    reference_ = fs::path(VENTRY_SHARED_DIR) / "conformance" / "bulk.expected.jsonl";
    if (!fs::exists(reference_)) GTEST_SKIP() << "shared conformance records not present";
    char dirTemplate[] = "/tmp/ventry_compare_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
    changed_ = dir_ / "changed.jsonl";
    writeChangedCopy();
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  static bool hasId(const nlohmann::ordered_json& r, const std::string& id) {
    for (const auto& l : r["loss"]) {
      if (l["id"] == id) return true;
    }
    return false;
  }
  static void dropId(nlohmann::ordered_json& r, const std::string& id) {
    nlohmann::ordered_json kept = nlohmann::ordered_json::array();
    for (const auto& l : r["loss"]) {
      if (l["id"] != id) kept.push_back(l);
    }
    r["loss"] = kept;
  }

  void writeChangedCopy() {
    const std::string flowed = "email.read.mime.format-flowed";
    const std::string nested = "email.read.mime.nested";
    std::ifstream in(reference_);
    std::vector<std::string> out;
    int dropped = 0, added = 0, index = 0;
    for (std::string line; std::getline(in, line); ++index) {
      auto r = nlohmann::ordered_json::parse(line);
      const bool nestedCondition =
          r["probe"]["plainNonempty"] > 1 || r["probe"]["htmlNonempty"] > 1;
      if (hasId(r, flowed) && dropped < 4) {
        dropId(r, flowed);  // the condition stays: a new silent loss
        newSilent_.push_back(r["name"]);
        ++dropped;
      } else if (hasId(r, nested) && !nestedCondition) {
        dropId(r, nested);  // a false alarm mended
        fixedFalseAlarm_.push_back(r["name"]);
      } else if (index >= 500 && index % 500 == 0 && added < 3 && !r["probe"]["formatFlowed"]) {
        r["loss"].push_back({{"id", flowed}, {"action", "degraded"}});  // a new false alarm
        newFalseAlarm_.push_back(r["name"]);
        ++added;
      } else if (index == 101) {
        r["outcome"] = "threw";
        r["error"] = "Parse: broken on purpose";
        r["loss"] = nlohmann::ordered_json::array();
        r["gotText"] = false;
        threw_ = r["name"];
      } else if (index == 102) {
        r["outcome"] = "failed";
        r["error"] = "Resource: memory limit of 512 MiB exceeded in the reader";
        r["loss"] = nlohmann::ordered_json::array();
        r.erase("probe");
        failed_ = r["name"];
      } else if (index == 103) {
        nlohmann::ordered_json u = {{"name", r["name"]}, {"bytes", 0}};
        u["readError"] = "No such file or directory";
        for (auto it = r.begin(); it != r.end(); ++it) {
          if (it.key() != "name" && it.key() != "bytes") u[it.key()] = it.value();
        }
        r = u;
        unreadable_ = r["name"];
      } else if (index == 104) {
        r["probe"]["parts"] = r["probe"]["parts"].get<int>() + 1;
        probe_ = r["name"];
      } else if (index == 105) {
        r["gotTo"] = r["gotTo"].get<int>() + 1;
        got_ = r["name"];
      } else if (index == 106 || index == 107) {
        missing_.push_back(r["name"]);
        continue;
      } else if (index == 108) {
        out.push_back(r.dump());
        r["name"] = "added/new.eml";
      }
      out.push_back(r.dump());
    }
    ASSERT_EQ(newSilent_.size(), 4u);
    ASSERT_EQ(newFalseAlarm_.size(), 3u);
    ASSERT_EQ(fixedFalseAlarm_.size(), 2u);
    std::reverse(out.begin(), out.end());
    std::ofstream o(changed_, std::ios::binary);
    for (const std::string& line : out) o << line << "\n";
    o << out.back().substr(0, 50);  // a run stopped while writing
  }

  static nlohmann::json feature(const nlohmann::json& j, const std::string& id) {
    for (const auto& f : j["features"]) {
      if (f["feature"] == "email.read." + id) return f;
    }
    return {};
  }
  static std::vector<std::string> names(const nlohmann::json& a) {
    return a.get<std::vector<std::string>>();
  }
  static size_t linesWith(const std::string& text, const std::string& start) {
    size_t n = 0;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      n += text.compare(at, start.size(), start) == 0;
      at = end + 1;
    }
    return n;
  }

  fs::path reference_, dir_, changed_;
  std::vector<std::string> newSilent_, newFalseAlarm_, fixedFalseAlarm_, missing_;
  std::string threw_, failed_, unreadable_, probe_, got_;
};

TEST_F(CompareBulk, ReferenceAgainstTheChangedRun) {
  const std::string err = (dir_ / "err").string();
  ShellRun run =
      shell(quoted(kReport) + " --compare " + quoted(reference_.string()) + " " +
            quoted(changed_.string()) +
            " --format json --examples 10 --fail-on silent-loss,failure,missing 2>" + quoted(err));
  EXPECT_EQ(run.status, 3);
  nlohmann::json j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["names"]["matched"], 10300);
  EXPECT_EQ(names(j["names"]["onlyBaseExamples"]), missing_);
  EXPECT_EQ(names(j["names"]["onlyNewExamples"]), std::vector<std::string>{"added/new.eml"});
  EXPECT_EQ(j["new"]["cut"], 1);
  EXPECT_EQ(j["new"]["malformed"], 0);

  const nlohmann::json flowed = feature(j, "mime.format-flowed");
  EXPECT_EQ(flowed["newSilent"], 4);
  EXPECT_EQ(flowed["fixedSilent"], 0);
  EXPECT_EQ(flowed["newFalseAlarm"], 3);
  EXPECT_EQ(flowed["silent"]["before"], 0);
  EXPECT_EQ(flowed["silent"]["after"], 4);
  std::vector<std::string> moved = names(flowed["newSilentExamples"]);
  std::sort(moved.begin(), moved.end());
  std::vector<std::string> expected = newSilent_;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(moved, expected);
  EXPECT_EQ(feature(j, "mime.nested")["fixedFalseAlarm"], 2);
  EXPECT_EQ(feature(j, "mime.nested")["falseAlarm"]["after"], 0);

  ASSERT_EQ(j["outcomes"].size(), 3u);
  const char* after[] = {"threw", "failed", "unreadable"};
  const std::string* who[] = {&threw_, &failed_, &unreadable_};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(after[i]);
    EXPECT_EQ(j["outcomes"][i]["before"], "ok");
    EXPECT_EQ(j["outcomes"][i]["after"], after[i]);
    EXPECT_EQ(j["outcomes"][i]["examples"][0]["name"], *who[i]);
  }
  EXPECT_EQ(j["outcomes"][0]["examples"][0]["after"], "threw: Parse: broken on purpose");
  EXPECT_EQ(j["probe"]["changed"], 1);
  EXPECT_EQ(j["probe"]["members"]["parts"]["examples"][0]["name"], probe_);
  EXPECT_EQ(j["probe"]["members"].size(), 1u);
  EXPECT_EQ(j["got"]["gotTo"]["examples"][0]["name"], got_);
  EXPECT_EQ(j["got"].size(), 1u);  // compared only where both runs read the message (ok)

  // --fail-on lists what it found, one line each, and nothing it was not asked for.
  const std::string listed = report_test::readFile(err);
  EXPECT_EQ(linesWith(listed, "new silent loss\t"), 4u) << listed;
  EXPECT_EQ(linesWith(listed, "new failure\t"), 2u) << listed;
  EXPECT_EQ(linesWith(listed, "missing\t"), 2u) << listed;
  EXPECT_EQ(linesWith(listed, "new false alarm\t"), 0u) << listed;
  EXPECT_NE(listed.find("new failure\t" + failed_ + "\tResource: memory limit"), std::string::npos);

  // The text page puts the probe change first.
  ShellRun text = shell(quoted(kReport) + " --compare " + quoted(reference_.string()) + " " +
                        quoted(changed_.string()));
  EXPECT_EQ(text.status, 0);
  const size_t warning = text.out.find("WARNING: the probe changed");
  EXPECT_NE(warning, std::string::npos);
  EXPECT_LT(warning, text.out.find("Silent losses per feature"));
}

TEST_F(CompareBulk, TheChangedRunAgainstTheReference) {
  const std::string err = (dir_ / "err").string();
  ShellRun run =
      shell(quoted(kReport) + " --compare " + quoted(changed_.string()) + " " +
            quoted(reference_.string()) + " --format json --fail-on false-alarm 2>" + quoted(err));
  EXPECT_EQ(run.status, 3);
  nlohmann::json j = nlohmann::json::parse(run.out);
  const nlohmann::json flowed = feature(j, "mime.format-flowed");
  EXPECT_EQ(flowed["fixedSilent"], 4);
  EXPECT_EQ(flowed["fixedFalseAlarm"], 3);
  EXPECT_EQ(flowed["newSilent"], 0);
  EXPECT_EQ(flowed["newFalseAlarm"], 0);
  EXPECT_EQ(feature(j, "mime.nested")["newFalseAlarm"], 2);
  ASSERT_EQ(j["outcomes"].size(), 3u);
  for (const auto& o : j["outcomes"]) EXPECT_EQ(o["after"], "ok");
  EXPECT_EQ(j["base"]["cut"], 1);
  EXPECT_EQ(j["names"]["onlyBase"], 1);
  EXPECT_EQ(j["names"]["onlyNew"], 2);
  // The failed message kept no probe, so only the changed member counts.
  EXPECT_EQ(j["probe"]["changed"], 1);
  EXPECT_EQ(linesWith(report_test::readFile(err), "new false alarm\t"), 2u);
}

// A fresh run of the tool over the bulk set against the reference records: nothing moved.
TEST_F(CompareBulk, ARealRunMatchesTheReference) {
  const fs::path corpus = fs::path(VENTRY_SHARED_DIR) / "conformance";
  const fs::path run = dir_ / "run.jsonl";
  ASSERT_EQ(
      shell(quoted(EMAIL_VENTRY_BINARY) + " --list " + quoted((corpus / "bulk.txt").string()) +
            " --root " + quoted((corpus / "corpus").string()) + " > " + quoted(run.string()))
          .status,
      0);
  for (const std::string format : {"json", "html", "markdown", "text"}) {
    SCOPED_TRACE(format);
    ShellRun same = shell(quoted(kReport) + " --compare " + quoted(reference_.string()) + " " +
                          quoted(run.string()) + " --fail-on any --format " + format);
    EXPECT_EQ(same.status, 0);
    if (format != "json") continue;
    nlohmann::json j = nlohmann::json::parse(same.out);
    EXPECT_EQ(j["names"]["matched"], 10302);
    EXPECT_EQ(j["probe"]["compared"], 10302);
    EXPECT_EQ(j["probe"]["changed"], 0);
    EXPECT_TRUE(j["outcomes"].empty());
    EXPECT_TRUE(j["got"].empty());
  }
}

// The names behind one cell are a list file the tool takes back.
TEST_F(CompareBulk, NamesOfOneCellAreAListFile) {
  const fs::path corpus = fs::path(VENTRY_SHARED_DIR) / "conformance";
  const fs::path list = dir_ / "nested.txt";
  ASSERT_EQ(shell(quoted(kReport) + " --names mime.nested:false-alarm " +
                  quoted(reference_.string()) + " > " + quoted(list.string()))
                .status,
            0);
  const std::string names = report_test::readFile(list.string());
  ShellRun j =
      shell(quoted(kReport) + " --format json --examples 10 " + quoted(reference_.string()));
  std::string expected;
  const nlohmann::json report = nlohmann::json::parse(j.out);
  for (const auto& p : report["pairings"]) {
    if (p["feature"] != "email.read.mime.nested") continue;
    for (const auto& n : p["falseAlarmExamples"]) expected += n.get<std::string>() + "\n";
  }
  EXPECT_EQ(names, expected);
  ShellRun again = shell(quoted(EMAIL_VENTRY_BINARY) + " --list " + quoted(list.string()) +
                         " --root " + quoted((corpus / "corpus").string()) + " | " +
                         quoted(kReport) + " --names email.read.mime.nested:false-alarm");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, names);
  EXPECT_EQ(shell(quoted(kReport) + " --names mime.nested:lost </dev/null 2>/dev/null").status, 2);
  EXPECT_EQ(shell(quoted(kReport) + " --names nested:agree </dev/null 2>/dev/null").status, 2);
}

}  // namespace
