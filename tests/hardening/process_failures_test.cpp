// End-to-end input and output failures of the built tool: every run either ends with the
// documented message and status 101, or processes every list entry; none hangs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
  for (const char* jobs : {"", "2"}) {
    std::vector<std::string> args = {kBinary, "--list", listPath, "--root", dir.path()};
    if (*jobs != 0) args.insert(args.end(), {"--jobs", jobs});
    auto run = runTool(args, GetParam().target, 60s);
    EXPECT_TRUE(hasAbnormalStop(run, {"serialize record", "write record", "flush record"}))
        << "jobs '" << jobs << "': " << describe(run);
  }
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

// Entries that cannot be read as regular files get the record of an empty message with the
// reason in "readError", and the run goes on to the next entry.
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

// A run whose standard output is a pipe the test reads: the test reads the first records,
// then stops reading, so the tool is certainly in the middle of the run (it cannot finish
// before the test drains the pipe) when the test signals it; then the test reads the rest.
class PipedRun {
 public:
  explicit PipedRun(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      ::signal(SIGPIPE, SIG_DFL);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(out[0]);
      close(err[0]);
      std::vector<char*> argv;
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~PipedRun() {
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Reads until `lines` whole lines have arrived.
  void readLines(size_t lines) {
    while (countLines(text_) < lines && readSome()) {
    }
  }
  void send(int number) const { kill(pid_, number); }
  // Reads standard output and standard error to their ends and waits for the process.
  void finish() {
    while (readSome()) {
    }
    char chunk[4096];
    for (ssize_t n; (n = ::read(err_, chunk, sizeof chunk)) > 0;) err.append(chunk, n);
    waitpid(pid_, &status, 0);
    waited_ = true;
  }

  const std::string& out() const { return text_; }
  std::string err;
  int status = 0;

 private:
  bool readSome() {
    char chunk[65536];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n > 0) text_.append(chunk, static_cast<size_t>(n));
    return n > 0;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool waited_ = false;
  std::string text_;
};

// Whether every line of `text` is a whole record; the last one may be cut when `allowCut`.
bool wholeRecords(const std::string& text, bool allowCut) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) return allowCut;
    if (text.compare(pos, 9, "{\"name\":\"") != 0 || text[end - 1] != '}') return false;
    pos = end + 1;
  }
  return true;
}

std::string longList(const TempDir& dir) {
  dir.write("m.eml", kMessage + std::string(4000, 'x') + "\r\n");
  std::string list;
  for (int i = 0; i < 200000; ++i) list += "m.eml\n";
  return dir.write("list.txt", list);
}

struct StopCase {
  const char* label;
  int signal;
  std::vector<std::string> options;
};

void PrintTo(const StopCase& which, std::ostream* out) {
  *out << which.label;
}

class StoppedRun : public testing::TestWithParam<StopCase> {};

// SIGINT and SIGTERM: the run finishes the record it is writing and stops on a whole line,
// says on standard error how many records it wrote, and exits with 128 + the signal.
TEST_P(StoppedRun, EndsOnAWholeLineWithTheSignalsStatus) {
  TempDir dir;
  std::vector<std::string> args = {kBinary, "--list", longList(dir), "--root", dir.path()};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  PipedRun run(args);
  run.readLines(3);
  run.send(GetParam().signal);
  run.finish();
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 128 + GetParam().signal) << run.err;
  ASSERT_FALSE(run.out().empty());
  EXPECT_EQ(run.out().back(), '\n');
  EXPECT_TRUE(wholeRecords(run.out(), false));
  const size_t written = countLines(run.out());
  EXPECT_LT(written, 200000u);
  const std::string name = GetParam().signal == SIGINT ? "SIGINT" : "SIGTERM";
  EXPECT_NE(run.err.find("interrupted by " + name + ": " + std::to_string(written) +
                         " records written\n"),
            std::string::npos)
      << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StoppedRun,
    testing::Values(StopCase{"SigintOneThread", SIGINT, {}},
                    StopCase{"SigtermOneThread", SIGTERM, {}},
                    StopCase{"SigintJobs2", SIGINT, {"--jobs", "2"}},
                    StopCase{"SigtermJobs8", SIGTERM, {"--jobs", "8"}},
                    StopCase{"SigtermExpand", SIGTERM, {"--expand"}},
                    StopCase{"SigintExpandJobs2", SIGINT, {"--expand", "--jobs", "2"}}),
    [](const auto& info) { return std::string(info.param.label); });

// A second signal ends the process at once, by that signal (its default action).
TEST(StoppedRun, SecondSignalEndsAtOnce) {
  for (const char* jobs : {"1", "2"}) {
    TempDir dir;
    PipedRun run({kBinary, "--list", longList(dir), "--root", dir.path(), "--jobs", jobs});
    run.readLines(3);
    // Two different signals, so that the second cannot merge with a still pending first.
    run.send(SIGINT);
    run.send(SIGTERM);
    run.finish();
    // Whichever of the two the process took second ends it.
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit status " << WEXITSTATUS(run.status);
    EXPECT_TRUE(WTERMSIG(run.status) == SIGTERM || WTERMSIG(run.status) == SIGINT);
  }
}

// SIGKILL cannot be handled: every line but the last is whole; the last may be cut.
TEST(StoppedRun, KilledRunLeavesWholeLinesButPerhapsTheLast) {
  TempDir dir;
  PipedRun run({kBinary, "--list", longList(dir), "--root", dir.path()});
  run.readLines(3);
  run.send(SIGKILL);
  run.finish();
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_GE(countLines(run.out()), 3u);
  EXPECT_TRUE(wholeRecords(run.out(), true));
}

// A message whose parse needs far more memory than it is large: bare "--" lines under an
// empty boundary, each a part.
std::string memoryBomb(size_t bytes) {
  std::string bomb = "Content-Type: multipart/digest; boundary=\"\"\n\n";
  bomb.reserve(bomb.size() + bytes);
  while (bomb.size() + 3 <= bytes) bomb += "--\n";
  return bomb;
}

// No message can end the run: one that needs more than the memory limit gets a record with
// outcome "failed" (no reader results, no probe if the probe did not finish), a line on
// standard error, and the next entry is taken.
TEST(MemoryLimit, AMessageOverTheLimitFailsAloneAndTheRunGoesOn) {
  TempDir dir;
  dir.write("good.eml", kMessage);
  const std::string bomb = memoryBomb(16 << 20);
  dir.write("bomb.eml", bomb);
  const std::string list = dir.write("list.txt", "good.eml\nbomb.eml\ngood.eml\n");
  for (const char* jobs : {"", "2"}) {
    std::vector<std::string> args = {kBinary,    "--list",         list, "--root",
                                     dir.path(), "--memory-limit", "32"};
    if (*jobs != 0) args.insert(args.end(), {"--jobs", jobs});
    auto run = runTool(args, Stdout::File, 120s);
    ASSERT_EQ(run.status, 0) << describe(run);
    ASSERT_EQ(countLines(run.out), 3u) << run.out.substr(0, 300);
    const size_t second = run.out.find('\n') + 1;
    const size_t third = run.out.find('\n', second) + 1;
    const std::string bombLine = run.out.substr(second, third - second);
    const std::string start =
        "{\"name\":\"bomb.eml\",\"bytes\":" + std::to_string(bomb.size()) + ",\"ms\":";
    EXPECT_EQ(bombLine.rfind(start, 0), 0u) << bombLine.substr(0, 100);
    EXPECT_NE(
        bombLine.find(R"("outcome":"failed","error":"Resource: memory limit of 32 MiB exceeded)"
                      R"( while parsing","loss":[],"gotHtml":false,"gotText":false,)"
                      R"("gotAttachments":0,"gotTo":0,"gotCc":0})"),
        std::string::npos)
        << bombLine.substr(0, 400);
    EXPECT_EQ(run.out.rfind("{\"name\":\"good.eml\""), third);
    EXPECT_NE(run.err.find("could not process \"bomb.eml\": Resource: memory limit of 32 MiB"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("1 message could not be processed\n"), std::string::npos) << run.err;
  }
}

// Without --memory-limit the limit follows what the process may use: under a small address
// space limit the run still completes instead of aborting when an allocation fails.
TEST(MemoryLimit, TheDefaultFollowsTheAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  TempDir dir;
  dir.write("good.eml", kMessage);
  dir.write("bomb.eml", memoryBomb(48 << 20));
  const std::string list = dir.write("list.txt", "good.eml\nbomb.eml\ngood.eml\n");
  auto run = runTool({kBinary, "--list", list, "--root", dir.path()}, Stdout::File, 120s,
                     uint64_t{768} << 20);
  ASSERT_EQ(run.status, 0) << describe(run);
  ASSERT_EQ(countLines(run.out), 3u) << run.err;
  EXPECT_NE(run.out.find(R"("outcome":"failed","error":"Resource: )"), std::string::npos);
  EXPECT_EQ(run.out.rfind("{\"name\":\"good.eml\""), run.out.find("\n", run.out.find("bomb")) + 1);
#endif
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
