// End-to-end input and output failures of the built tool: every run either ends with the
// documented message and status 101, or processes every list entry; none hangs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "hardening/run_tool.h"

namespace hardening {
namespace {

using namespace std::chrono_literals;

const std::string kBinary = EMAIL_VENTRY_BINARY;
const std::string kMessage = "To: a@b.c\r\nSubject: hi\r\n\r\nbody\r\n";

size_t countLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

bool hasAbnormalStop(const ToolRun& run, const std::vector<std::string>& messages) {
  if (run.timedOut || run.signaled || run.status != 101) return false;
  for (const auto& message : messages) {
    if (run.err.find(message) != std::string::npos) return true;
  }
  return false;
}

std::string describe(const ToolRun& run) {
  return "timedOut=" + std::to_string(run.timedOut) + " signal=" + std::to_string(run.signal) +
         " status=" + std::to_string(run.status) + " stderr=" + run.err.substr(0, 300);
}

// Output failures: the record cannot be written, so the run stops with 101 and one of the
// three record messages, whatever kind of failure the descriptor gives.
struct OutputCase {
  const char* label;
  Stdout target;
};

void PrintTo(const OutputCase& which, std::ostream* out) {
  *out << which.label;
}

class OutputFailure : public testing::TestWithParam<OutputCase> {};

TEST_P(OutputFailure, StopsWithStatus101AndARecordMessage) {
  TempDir dir;
  dir.write("m.eml", kMessage);
  std::string list;
  for (int i = 0; i < 50; ++i) list += "m.eml\n";
  std::string listPath = dir.write("list.txt", list);
  auto run = runTool({kBinary, "--list", listPath, "--root", dir.path()}, GetParam().target, 60s);
  EXPECT_TRUE(hasAbnormalStop(run, {"serialize record", "write record", "flush record"}))
      << describe(run);
}

INSTANTIATE_TEST_SUITE_P(Targets, OutputFailure,
                         testing::Values(OutputCase{"DevFull", Stdout::DevFull},
                                         OutputCase{"ClosedPipe", Stdout::ClosedPipe},
                                         OutputCase{"ClosedDescriptor", Stdout::Closed}),
                         [](const auto& info) { return std::string(info.param.label); });

// List file failures: the run stops before any record.
TEST(ListFailure, DirectoryOrMissingListStopsWith101) {
  TempDir dir;
  const std::string cases[] = {dir.path(), dir.path() + "/missing.txt"};
  for (const auto& listPath : cases) {
    auto run = runTool({kBinary, "--list", listPath}, Stdout::File, 30s);
    EXPECT_TRUE(hasAbnormalStop(run, {"read --list file"})) << listPath << ": " << describe(run);
    EXPECT_EQ(run.out, "") << listPath;
  }
}

// Entries that cannot be read as regular files are processed as empty messages, and the
// run goes on to the next entry.
TEST(UnreadableEntries, EveryEntryGetsItsRecordAndNothingHangs) {
  TempDir dir;
  dir.write("good.eml", kMessage);
  std::string locked = dir.write("locked.eml", kMessage);
  chmod(locked.c_str(), 0);
  ASSERT_EQ(mkdir((dir.path() + "/folder.eml").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((dir.path() + "/fifo.eml").c_str(), 0600), 0);
  bool root = geteuid() == 0;  // root reads a file without permissions all the same

  struct Entry {
    const char* name;
    size_t bytes;
  };
  const Entry entries[] = {
      {"good.eml", kMessage.size()},
      {"folder.eml", 0},
      {"fifo.eml", 0},
      {"locked.eml", root ? kMessage.size() : 0},
      {"missing.eml", 0},
      {"good.eml", kMessage.size()},
  };
  std::string list;
  for (const auto& entry : entries) list += std::string(entry.name) + "\n";
  std::string listPath = dir.write("list.txt", list);
  auto run = runTool({kBinary, "--list", listPath, "--root", dir.path()}, Stdout::File, 30s);
  ASSERT_FALSE(run.timedOut) << "the run hung (a FIFO entry blocks the read?)";
  ASSERT_EQ(run.status, 0) << describe(run);
  ASSERT_EQ(countLines(run.out), std::size(entries));
  size_t pos = 0;
  for (const auto& entry : entries) {
    size_t end = run.out.find('\n', pos);
    std::string line = run.out.substr(pos, end - pos);
    pos = end + 1;
    std::string prefix = "{\"name\":\"" + std::string(entry.name) +
                         "\",\"bytes\":" + std::to_string(entry.bytes) + ",";
    EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line.substr(0, 120);
  }
}

// A long list of missing files: one record each, in order, in bounded time.
TEST(MissingEntries, HundredThousandMissingFilesAllGetRecords) {
  TempDir dir;
  constexpr size_t kEntries = 100000;
  std::string list;
  list.reserve(kEntries * 16);
  for (size_t i = 0; i < kEntries; ++i) list += "gone/" + std::to_string(i) + ".eml\n";
  std::string listPath = dir.write("list.txt", list);
  auto run = runTool({kBinary, "--list", listPath, "--root", dir.path()}, Stdout::File, 300s);
  ASSERT_FALSE(run.timedOut);
  ASSERT_EQ(run.status, 0) << describe(run);
  EXPECT_EQ(countLines(run.out), kEntries);
  size_t last = run.out.rfind("{\"name\":\"gone/99999.eml\",\"bytes\":0,");
  EXPECT_NE(last, std::string::npos);
}

// A run killed midway leaves only whole lines: each record goes out in one piece.
TEST(InterruptedRun, KilledRunLeavesOnlyCompleteLines) {
  TempDir dir;
  dir.write("m.eml", kMessage + std::string(4000, 'x') + "\r\n");
  std::string list;
  for (int i = 0; i < 1000000; ++i) list += "m.eml\n";
  std::string listPath = dir.write("list.txt", list);
  auto run = runTool({kBinary, "--list", listPath, "--root", dir.path()}, Stdout::File, 3000ms);
  ASSERT_TRUE(run.timedOut) << "the run ended before it was killed; make the list longer";
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.back(), '\n');
  size_t pos = 0;
  while (pos < run.out.size()) {
    size_t end = run.out.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(run.out.substr(pos, 9), "{\"name\":\"");
    EXPECT_EQ(run.out[end - 1], '}');
    pos = end + 1;
  }
}

// A sparse message file above 2 GiB: sizes and offsets must not wrap at 31 or 32 bits.
// It needs several GiB of memory, so it runs only when asked for.
TEST(LargeFile, MessageAboveTwoGibibytes) {
  if (std::getenv("VENTRY_HARDENING_LARGE") == nullptr) {
    GTEST_SKIP() << "set VENTRY_HARDENING_LARGE=1 to read a 2 GiB sparse message";
  }
  TempDir dir;
  std::string path = dir.write("big.eml", "To: a@b.c\r\nContent-Type: text/plain\r\n\r\n");
  constexpr off_t kSize = (off_t{1} << 31) + 7;
  ASSERT_EQ(truncate(path.c_str(), kSize), 0);
  std::string listPath = dir.write("list.txt", "big.eml\n");
  auto run = runTool({kBinary, "--list", listPath, "--root", dir.path()}, Stdout::File, 900s);
  ASSERT_FALSE(run.timedOut);
  ASSERT_EQ(run.status, 0) << describe(run);
  std::string prefix = "{\"name\":\"big.eml\",\"bytes\":" + std::to_string(kSize) + ",";
  EXPECT_EQ(run.out.substr(0, prefix.size()), prefix);
  EXPECT_EQ(countLines(run.out), 1u);
}

}  // namespace
}  // namespace hardening
