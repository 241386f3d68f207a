#include "email_ventry_report/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Reads `input` through a line reader with a small limit; overlong lines show as "<long>".
std::vector<std::string> linesOf(const std::string& input, size_t maxLine) {
  std::string copy = input;
  std::FILE* file = fmemopen(copy.data(), copy.size(), "rb");
  if (copy.empty()) file = std::fopen("/dev/null", "rb");
  std::vector<std::string> out;
  report::LineReader reader(file, maxLine);
  std::string line;
  for (;;) {
    report::LineStatus status = reader.next(line);
    if (status == report::LineStatus::End || status == report::LineStatus::Error) break;
    out.push_back(status == report::LineStatus::Overlong ? "<long>" : line);
  }
  std::fclose(file);
  return out;
}

TEST(ReportLineReader, SplitsAndBoundsLines) {
  struct Row {
    const char* label;
    std::string input;
    size_t maxLine;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"nothing", "", 8, {}},
      {"one line", "abc\n", 8, {"abc"}},
      {"last line without its end", "abc\ndef", 8, {"abc", "def"}},
      {"empty lines are lines", "\n\nx\n", 8, {"", "", "x"}},
      {"a line of exactly the limit", "12345678\n", 8, {"12345678"}},
      {"one byte over the limit", "123456789\nok\n", 8, {"<long>", "ok"}},
      {"an overlong last line", "ok\n123456789", 8, {"ok", "<long>"}},
      {"a long line across buffer refills",
       std::string(200000, 'x') + "\nnext\n",
       150000,
       {"<long>", "next"}},
      {"a long line within the limit",
       std::string(200000, 'y') + "\n",
       300000,
       {std::string(200000, 'y')}},
      {"carriage returns stay for the record parser", "a\r\n", 8, {"a\r"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(linesOf(row.input, row.maxLine), row.expected);
  }
}

// The offsets name where each line starts, across buffer refills and skipped long lines.
TEST(ReportLineReader, TellsWhereEachLineStarts) {
  const std::string input = "ab\n\n" + std::string(100000, 'x') + "\nlast";
  std::FILE* file = fmemopen(const_cast<char*>(input.data()), input.size(), "rb");
  ASSERT_NE(file, nullptr);
  report::LineReader reader(file, 50000);
  std::string line;
  std::vector<uint64_t> starts;
  while (reader.next(line) != report::LineStatus::End) starts.push_back(reader.lineStart());
  std::fclose(file);
  EXPECT_EQ(starts, (std::vector<uint64_t>{0, 3, 4, 100005}));
}

}  // namespace
