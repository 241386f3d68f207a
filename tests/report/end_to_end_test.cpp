#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "report_data.h"

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
  EXPECT_EQ(j["run"]["records"], 23);
  EXPECT_EQ(j["run"]["malformed"], 0);
  EXPECT_EQ(j["run"]["ok"], 22);
  EXPECT_EQ(j["run"]["threw"], 1);
  // The oversize sample is written by the sample script; without it its entry reads empty.
  const int oversize = fs::exists(root / "generated" / "oversize.eml") ? 1 : 0;
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
  EXPECT_EQ(shell(quoted(kReport) + " --format pdf </dev/null 2>/dev/null").status, 2);
  EXPECT_EQ(shell(quoted(kReport) + " --examples x </dev/null 2>/dev/null").status, 2);
}

// Loads the HTML page in a headless browser and looks at the resulting DOM.
TEST(ReportCommand, HtmlPageLoadsInChromium) {
  if (shell("command -v chromium >/dev/null 2>&1").status != 0) {
    GTEST_SKIP() << "chromium is not installed";
  }
  char dirTemplate[] = "/tmp/ventry_report_XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const fs::path dir = dirTemplate;
  const fs::path page = dir / "report.html";
  ASSERT_EQ(shell(quoted(kReport) + " --format html " +
                  quoted(report_test::dataPath("pairings.jsonl")) + " > " + quoted(page.string()))
                .status,
            0);
  ShellRun run = shell(
      "timeout 60 chromium --headless --no-sandbox --disable-gpu "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--no-first-run --enable-logging=stderr --user-data-dir=" +
      quoted((dir / "profile").string()) + " --dump-dom " + quoted("file://" + page.string()) +
      " 2>" + quoted((dir / "log").string()));
  std::string log = report_test::readFile((dir / "log").string());
  fs::remove_all(dir);
  if (run.status != 0 || run.out.find("<body") == std::string::npos) {
    GTEST_SKIP() << "chromium did not start (status " << run.status << ")";
  }
  EXPECT_EQ(log.find("CONSOLE"), std::string::npos) << log;
  EXPECT_NE(run.out.find("Reader fidelity report"), std::string::npos);
  size_t groups = 0;
  for (size_t at = run.out.find("class=\"bar-group\""); at != std::string::npos;
       at = run.out.find("class=\"bar-group\"", at + 1)) {
    ++groups;
  }
  EXPECT_EQ(groups, 9u);
  EXPECT_NE(run.out.find("data-feature=\"headers.date\""), std::string::npos);
}

}  // namespace
