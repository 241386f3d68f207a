// Record lines read back to resume a run: every line the writer makes is read as a record
// with its name and bytes, in pieces of any size; a whole line the writer cannot have made is
// malformed and says what is wrong where; what follows the last whole line is a cut record,
// or malformed.
#include "record/record_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "email_ventry/selftest_fixtures.h"
#include "readers/reader.h"
#include "record/record.h"
#include "run/message_work.h"

namespace {

using ventry::LineStatus;
using ventry::WrittenRecord;

struct Read {
  LineStatus status;
  WrittenRecord record;
  std::string problem;
};

// Every line of `content` as read in pieces of `chunk` bytes, up to and with the end.
std::vector<Read> readLines(const std::string& content, size_t chunk) {
  std::FILE* file = std::tmpfile();
  std::fwrite(content.data(), 1, content.size(), file);
  std::fflush(file);
  ventry::RecordLineReader reader(fileno(file), chunk);
  std::vector<Read> out;
  for (;;) {
    Read read{};
    read.status = reader.next(read.record, read.problem);
    out.push_back(read);
    if (read.status == LineStatus::End || read.status == LineStatus::Failed) break;
  }
  EXPECT_EQ(reader.wholeEnd() + reader.cutBytes(), content.size());
  std::fclose(file);
  return out;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names that take every escape the writer has, and bytes that are not UTF-8.
const std::vector<std::string> kNames = {
    "plain.eml",
    "dir/with \"quotes\" and \\.eml",
    "controls\x01\x1f\t\r\n\b\f\x7f",
    std::string("nul\0inside", 10),
    "caf\xC3\xA9 \xF0\x9F\x93\xA7 \xE2\x80\xA8",
    "\xFF\xFE not UTF-8 \xC3",
    "box.mbox.gz#4711@98304112",
    "corpus.tar.gz!a%21b~2",
    std::string(5000, 'n'),
};

struct Made {
  std::string name;
  uint64_t bytes;
  bool readError;
};

TEST(RecordReader, EveryLineTheWriterMakesIsReadBack) {
  std::vector<std::string> messages;
  for (const auto& entry :
       std::filesystem::directory_iterator(VENTRY_SOURCE_DIR "/examples/corpus")) {
    if (entry.path().extension() == ".eml") messages.push_back(readFile(entry.path()));
  }
  for (const auto& fixture : ventry::fixtures::constantFixtures()) {
    messages.emplace_back(fixture.bytes);
  }
  ASSERT_GT(messages.size(), 40u);
  std::string file;
  std::vector<Made> made;
  std::string buffer;
  const std::unique_ptr<readers::Reader> reader = readers::builtinReader();
  for (size_t i = 0; i < messages.size(); ++i) {
    const std::string& name = kNames[i % kNames.size()];
    // Every fifth message as unreadable, every seventh under a limit it cannot keep (a
    // failed record, with or without the probe).
    const std::string readError = i % 5 == 4 ? "No such file or directory" : "";
    const std::string_view bytes = readError.empty() ? std::string_view(messages[i]) : "";
    const uint64_t limit = i % 7 == 6 ? 4096 : uint64_t{1} << 30;
    file += run::makeRecordLine(buffer, name, bytes, readError, limit, *reader, false).line;
    made.push_back({ventry::writtenName(name), bytes.size(), !readError.empty()});
  }
  // A record with everything the writer may leave out or add at once.
  ventry::MessageRecord full;
  full.name = kNames[1];
  full.readError = "Message larger than the memory limit";
  full.failed = true;
  full.error = "Resource: \"quoted\"";
  full.probeDone = false;
  full.loss = {{"email.read.calendar.detect", "dropped"}, {"x", "degraded"}};
  file += ventry::formatRecordLine(buffer, full);
  made.push_back({ventry::writtenName(full.name), 0, true});

  for (size_t chunk : {size_t{1}, size_t{7}, size_t{65536}}) {
    SCOPED_TRACE(chunk);
    const std::vector<Read> reads = readLines(file, chunk);
    ASSERT_EQ(reads.size(), made.size() + 1);
    for (size_t i = 0; i < made.size(); ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(reads[i].status, LineStatus::Record) << reads[i].problem;
      EXPECT_EQ(reads[i].record.line, i + 1);
      EXPECT_EQ(reads[i].record.name, made[i].name);
      EXPECT_TRUE(reads[i].record.nameWhole);
      EXPECT_EQ(reads[i].record.bytes, made[i].bytes);
      EXPECT_EQ(reads[i].record.readError, made[i].readError);
      EXPECT_EQ(file[reads[i].record.end - 1], '\n');
    }
    EXPECT_EQ(reads.back().status, LineStatus::End);
    EXPECT_EQ(reads.back().record.line, 0u);
  }
}

std::string goodLine() {
  ventry::MessageRecord record;
  record.name = "a.eml";
  record.bytes = 41;
  record.probe.cte = {"base64"};
  std::string buffer;
  return std::string(ventry::formatRecordLine(buffer, record));
}

std::string replaced(std::string line, const std::string& from, const std::string& to) {
  const size_t at = line.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return line.replace(at, from.size(), to);
}

// A malformed line between two good ones is refused as a whole line, with what is wrong and
// where; the good line after it is read again.
TEST(RecordReader, LinesTheWriterCannotMakeAreMalformed) {
  const std::string good = goodLine();
  struct Row {
    const char* label;
    std::string line;
    const char* problem;
  };
  const std::vector<Row> rows = {
      {"empty line", "\n", "\"{\"name\":\"\" expected at byte 1"},
      {"another object", "{\"id\":1}\n", "\"{\"name\":\"\" expected at byte 3"},
      {"white space", replaced(good, "\"bytes\":41", "\"bytes\": 41"),
       "a number expected at byte 25"},
      {"leading zero", replaced(good, "\"bytes\":41", "\"bytes\":041"), "a leading zero"},
      {"beyond 64 bits", replaced(good, "\"bytes\":41", "\"bytes\":18446744073709551616"),
       "beyond 64 bits"},
      {"key renamed", replaced(good, "\"ms\":", "\"mss\":"), "\",\"ms\":\" expected"},
      {"members swapped", replaced(good, "\"gotTo\":0,\"gotCc\":0", "\"gotCc\":0,\"gotTo\":0"),
       "\",\"gotTo\":\" expected"},
      {"unknown outcome", replaced(good, "\"ok\"", "\"fine\""), "expected"},
      {"raw control byte", replaced(good, "a.eml", "a\x01.eml"), "a control byte in a string"},
      {"not UTF-8", replaced(good, "a.eml", "a\xC3(.eml"), "not UTF-8"},
      {"surrogate", replaced(good, "a.eml", "a\xED\xA0\x80.eml"), "not UTF-8"},
      {"escape not written", replaced(good, "a.eml", "a\\u0041.eml"), "an escape"},
      {"solidus escape", replaced(good, "a.eml", "a\\/.eml"), "an escape"},
      {"probe cut short", replaced(good, ",\"report\":false}}", "}}"), "expected"},
      {"string array unclosed", replaced(good, "[\"base64\"]", "[\"base64\","), "expected"},
      {"bytes after the end", replaced(good, "}}\n", "}} \n"), "bytes after the record's end"},
      {"CRLF", replaced(good, "}}\n", "}}\r\n"), "bytes after the record's end"},
      {"two records on a line", replaced(good, "}}\n", "}}" + good),
       "bytes after the record's end"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    for (size_t chunk : {size_t{1}, size_t{65536}}) {
      const std::vector<Read> reads = readLines(good + row.line + good, chunk);
      ASSERT_EQ(reads.size(), 4u);
      EXPECT_EQ(reads[0].status, LineStatus::Record);
      ASSERT_EQ(reads[1].status, LineStatus::Malformed);
      EXPECT_EQ(reads[1].record.line, 2u);
      EXPECT_EQ(reads[1].record.end, good.size() + row.line.size());
      EXPECT_NE(reads[1].problem.find(row.problem), std::string::npos) << reads[1].problem;
      EXPECT_EQ(reads[2].status, LineStatus::Record);
      EXPECT_EQ(reads[2].record.line, 3u);
      EXPECT_EQ(reads[3].status, LineStatus::End);
    }
  }
}

// What follows the last line end is a cut line when it is the start of a record (perhaps
// followed by the NUL bytes a crash can leave); anything else there is a malformed line.
TEST(RecordReader, ALastLineWithoutItsEndIsACutRecordOrMalformed) {
  const std::string good = goodLine();
  struct Row {
    std::string tail;
    bool cut;
  };
  const std::vector<Row> rows = {
      {"", true},
      {"{", true},
      {good.substr(0, 100), true},
      {good.substr(0, good.size() - 1), true},  // all but the line end
      {std::string(4096, '\0'), true},          // a file system's zeros after a crash
      {good.substr(0, 100) + std::string(300, '\0'), true},
      {"\xFF garbage without a line end", false},
      {good.substr(0, 100) + std::string(300, '\0') + "x", false},
      {"{\"name\":\"a.eml\",\"bytes\":4x", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.tail.substr(0, 40)));
    const std::string content = good + good + row.tail;
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{65536}}) {
      const std::vector<Read> reads = readLines(content, chunk);
      ASSERT_EQ(reads.size(), row.cut ? 3u : 4u);
      EXPECT_EQ(reads[1].status, LineStatus::Record);
      if (!row.cut) {
        EXPECT_EQ(reads[2].status, LineStatus::Malformed);
        EXPECT_EQ(reads[2].record.line, 3u);
        EXPECT_NE(reads[2].problem.find("in a last line without its line end"), std::string::npos)
            << reads[2].problem;
      }
      EXPECT_EQ(reads.back().status, LineStatus::End);
    }
    std::FILE* file = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), file);
    std::fflush(file);
    ventry::RecordLineReader reader(fileno(file));
    WrittenRecord record;
    std::string problem;
    while (reader.next(record, problem) != LineStatus::End) {
    }
    EXPECT_EQ(reader.wholeEnd(), 2 * good.size());
    EXPECT_EQ(reader.cutBytes(), row.tail.size());
    std::fclose(file);
  }
}

// A name beyond the bound makes its line malformed without holding it whole.
TEST(RecordReader, ANameBeyondTheBoundIsMalformed) {
  ventry::MessageRecord record;
  record.name = std::string(ventry::kMaxWrittenName + 1, 'n');
  std::string buffer;
  const std::string line(ventry::formatRecordLine(buffer, record));
  const std::vector<Read> reads = readLines(line + goodLine(), 65536);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].status, LineStatus::Malformed);
  EXPECT_NE(reads[0].problem.find("a name longer than"), std::string::npos);
  EXPECT_LE(reads[0].record.name.size(), ventry::kMaxWrittenName);
  EXPECT_EQ(reads[1].status, LineStatus::Record);
}

}  // namespace
