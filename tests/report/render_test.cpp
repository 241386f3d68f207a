#include "email_ventry_report/render.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "email_ventry_report/compare.h"
#include "report_data.h"

namespace {

using report_test::dataPath;
using report_test::metaFor;
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
      {"formats.jsonl", report::Format::Text, "formats.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.golden);
    std::string expected = readFile(dataPath(row.golden));
    ASSERT_FALSE(expected.empty()) << "missing golden file";
    EXPECT_EQ(report::render(reportOf(row.input), row.format, metaFor(row.input)), expected);
  }
}

TEST(ReportRender, JsonCarriesTheCounts) {
  nlohmann::json j = nlohmann::json::parse(
      report::render(reportOf("pairings.jsonl"), report::Format::Json, metaFor("p.jsonl")));
  EXPECT_EQ(j["meta"]["inputs"][0], "p.jsonl");
  EXPECT_EQ(j["meta"]["madeAt"], "2000-01-02T03:04:05Z");
  EXPECT_EQ(j["run"]["records"], 28);
  EXPECT_EQ(j["run"]["msAtLeast1"], 28);
  EXPECT_FALSE(j["run"].contains("messagesPerSecond"));
  EXPECT_EQ(j["run"]["msPercentiles"]["p90"], 26);
  ASSERT_EQ(j["pairings"].size(), 9u);
  EXPECT_EQ(j["pairings"][0]["feature"], "email.read.calendar.detect");
  EXPECT_EQ(j["pairings"][0]["silentExamples"][0], "calendar.detect/silent.eml");
  EXPECT_EQ(j["slowest"][0]["name"], "headers.date/false-alarm.eml");

  nlohmann::json empty = nlohmann::json::parse(
      report::render(reportOf("empty.jsonl"), report::Format::Json, metaFor("e.jsonl")));
  EXPECT_EQ(empty["run"]["records"], 0);
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

  std::string text = report::render(r, report::Format::Text, metaFor("-"));
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\x07'), std::string::npos);
  EXPECT_EQ(text.find("\xc2\x85"), std::string::npos);
  EXPECT_NE(text.find("\\x1b[31mred\\x07 \\x85"), std::string::npos);

  std::string markdown = report::render(r, report::Format::Markdown, metaFor("-"));
  EXPECT_NE(markdown.find("\\<script>alert(1)\\</script>\\|\\`x\\`"), std::string::npos);

  std::string html = report::render(r, report::Format::Html, metaFor("-"));
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);

  nlohmann::json j = nlohmann::json::parse(report::render(r, report::Format::Json, metaFor("-")));
  EXPECT_EQ(j["risks"]["signed"]["examples"][0].get<std::string>().substr(0, 8), "<script>");
}

TEST(ReportRender, HtmlPageIsSelfContained) {
  std::string html =
      report::render(reportOf("pairings.jsonl"), report::Format::Html, metaFor("<runs>.jsonl"));
  EXPECT_EQ(countOf(html, "class=\"bar-group\""), 9u);
  EXPECT_EQ(countOf(html, "<svg"), 1u);
  for (const char* external : {"<script", "src=", "href=", "@import", "url(", "<link"}) {
    EXPECT_EQ(html.find(external), std::string::npos) << external;
  }
  // What the page is about: input, records, version and time.
  EXPECT_NE(html.find("<li>input: &lt;runs&gt;.jsonl</li><li>records: 28 of 28 lines</li>"
                      "<li>made 2000-01-02T03:04:05Z by email_ventry_report 0.0.0</li>"),
            std::string::npos);
}

// Shares that round to the ends never show as 0.0% or 100.0% unless they are; counts carry
// thousands separators.
TEST(ReportRender, NumberForms) {
  struct Row {
    uint64_t part, whole;
    const char* expected;
  };
  const Row shares[] = {{0, 0, "-"},
                        {0, 49140, "0.0%"},
                        {15, 49140, "<0.1%"},
                        {25, 49140, "0.1%"},
                        {24, 49140, "<0.1%"},
                        {1, 2, "50.0%"},
                        {1, 3, "33.3%"},
                        {2, 3, "66.7%"},
                        {49139, 49140, ">99.9%"},
                        {49140, 49140, "100.0%"},
                        {UINT64_MAX - 1, UINT64_MAX, ">99.9%"},
                        {1, UINT64_MAX, "<0.1%"}};
  for (const Row& row : shares) {
    EXPECT_EQ(report::percent(row.part, row.whole), row.expected) << row.part << "/" << row.whole;
  }
  EXPECT_EQ(report::count(0), "0");
  EXPECT_EQ(report::count(999), "999");
  EXPECT_EQ(report::count(1000), "1,000");
  EXPECT_EQ(report::count(49140), "49,140");
  EXPECT_EQ(report::count(UINT64_MAX), "18,446,744,073,709,551,615");
  EXPECT_EQ(report::change(5, 5), "0");
  EXPECT_EQ(report::change(1000, 2500), "+1,500");
  EXPECT_EQ(report::change(2500, 0), "-2,500");
}

}  // namespace

namespace {

// Milliseconds up to 2^64 - 1 are valid records. The timing histogram this page once drew
// labelled its last bucket by shifting a 64-bit 1 left by 64 (undefined behaviour, caught by
// the sanitizer suite); every format must take the widest value.
TEST(ReportRender, WidestMillisecondsInEveryFormat) {
  std::string line = readFile(dataPath("pairings.jsonl"));
  line = line.substr(0, line.find('\n'));
  line.replace(line.find("\"ms\":1"), 6, "\"ms\":18446744073709551615");
  report::Report r = report::makeReport(5);
  report::addLine(r, line, "-", 1);
  ASSERT_EQ(r.records, 1u);
  for (report::Format format : {report::Format::Text, report::Format::Markdown,
                                report::Format::Json, report::Format::Html}) {
    EXPECT_NE(report::render(r, format, metaFor("-")).find("18"), std::string::npos);
  }
  EXPECT_NE(
      report::render(r, report::Format::Text, metaFor("-")).find("18,446,744,073,709,551,615"),
      std::string::npos);
}

// A reader count that changed shows with its count even when no examples are kept.
TEST(CompareRender, ChangedCountsShowWithoutExamples) {
  std::string line = readFile(dataPath("recipients.jsonl"));
  line = line.substr(0, line.find('\n'));
  std::string changed = line;
  changed.replace(changed.find("\"gotTo\":1"), 9, "\"gotTo\":2");
  report::Comparison c = report::makeComparison(0);
  report::addBaseLine(c, line, "base", 1);
  report::addNewLine(c, changed, "new", 1);
  report::finishComparison(c);
  ASSERT_EQ(c.got["gotTo"].messages, 1u);
  for (report::Format format :
       {report::Format::Text, report::Format::Markdown, report::Format::Html}) {
    EXPECT_NE(report::renderComparison(c, format, metaFor("base")).find("gotTo"), std::string::npos)
        << static_cast<int>(format);
  }
}

}  // namespace
