#include "email_ventry_report/render.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "report_data.h"

namespace {

using report_test::dataPath;
using report_test::readFile;
using report_test::reportOf;

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

// Golden renderings of the hand-made inputs; a change in layout shows up here as a diff.
TEST(ReportRender, GoldenOutputs) {
  struct Row {
    const char* input;
    report::Format format;
    const char* golden;
  };
  const Row rows[] = {
      {"empty.jsonl", report::Format::Text, "empty.txt"},
      {"pairings.jsonl", report::Format::Text, "pairings.txt"},
      {"recipients.jsonl", report::Format::Markdown, "recipients.md"},
      {"malformed.jsonl", report::Format::Text, "malformed.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.golden);
    std::string expected = readFile(dataPath(row.golden));
    ASSERT_FALSE(expected.empty()) << "missing golden file";
    EXPECT_EQ(report::render(reportOf(row.input), row.format), expected);
  }
}

TEST(ReportRender, JsonCarriesTheCounts) {
  nlohmann::json j =
      nlohmann::json::parse(report::render(reportOf("pairings.jsonl"), report::Format::Json));
  EXPECT_EQ(j["run"]["records"], 28);
  EXPECT_EQ(j["run"]["ms"], 406);  // 1 + (2 + ... + 28)
  EXPECT_NEAR(j["run"]["messagesPerSecond"].get<double>(), 28 * 1000.0 / 406, 1e-9);
  EXPECT_EQ(j["run"]["msPercentiles"]["p90"], 26);
  ASSERT_EQ(j["pairings"].size(), 9u);
  EXPECT_EQ(j["pairings"][0]["feature"], "email.read.calendar.detect");
  EXPECT_EQ(j["pairings"][0]["silentExamples"][0], "calendar.detect/silent.eml");
  EXPECT_EQ(j["slowest"][0]["name"], "headers.date/false-alarm.eml");

  nlohmann::json empty =
      nlohmann::json::parse(report::render(reportOf("empty.jsonl"), report::Format::Json));
  EXPECT_EQ(empty["run"]["records"], 0);
  EXPECT_TRUE(empty["run"]["messagesPerSecond"].is_null());
}

// Message names come from the mail corpus and may hold anything.
TEST(ReportRender, HostileNamesAreEscapedForEachFormat) {
  report::Report r = report::makeReport(5);
  std::string name = "<script>alert(1)</script>|`x`\\u001b[31mred\\u0007 \\u0085";
  std::string line = readFile(dataPath("recipients.jsonl"));
  line = line.substr(0, line.find('\n'));
  line.replace(line.find("to-consistent.eml"), 17, name);
  line.replace(line.find("\"signed\":false"), 14, "\"signed\":true");
  report::addLine(r, line, "-", 1);
  ASSERT_EQ(r.records, 1u);

  std::string text = report::render(r, report::Format::Text);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\x07'), std::string::npos);
  EXPECT_EQ(text.find("\xc2\x85"), std::string::npos);
  EXPECT_NE(text.find("\\x1b[31mred\\x07 \\x85"), std::string::npos);

  std::string markdown = report::render(r, report::Format::Markdown);
  EXPECT_NE(markdown.find("\\<script>alert(1)\\</script>\\|\\`x\\`"), std::string::npos);

  std::string html = report::render(r, report::Format::Html);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);

  nlohmann::json j = nlohmann::json::parse(report::render(r, report::Format::Json));
  EXPECT_EQ(j["risks"]["signed"]["examples"][0].get<std::string>().substr(0, 8), "<script>");
}

TEST(ReportRender, HtmlPageIsSelfContained) {
  std::string html = report::render(reportOf("pairings.jsonl"), report::Format::Html);
  EXPECT_EQ(countOf(html, "class=\"bar-group\""), 9u);
  EXPECT_EQ(countOf(html, "<svg"), 2u);
  for (const char* external : {"<script", "src=", "href=", "@import", "url(", "<link"}) {
    EXPECT_EQ(html.find(external), std::string::npos) << external;
  }
  // Timing buckets 0, 1, 2-3, 4-7, 8-15, 16-31 for ms values 1..28.
  EXPECT_EQ(countOf(html, "class=\"timing-bucket\""), 6u);
}

}  // namespace
