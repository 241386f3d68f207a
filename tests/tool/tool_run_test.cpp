// End-to-end runs of the built binary: options, list handling and output failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "email_ventry/usage.h"
#include "ventry_version.h"

namespace {

using namespace std::string_literals;

enum class Stdout { Capture, DevFull, ClosedPipe };

struct ToolResult {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out;
  std::string err;
};

std::string slurp(int fd) {
  std::string text;
  char chunk[8192];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

ToolResult runBinary(const std::vector<std::string>& args, const std::string& cwd,
                     Stdout mode = Stdout::Capture) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
  // For a closed pipe the read end is gone before the child exists, so no write can succeed.
  if (mode == Stdout::ClosedPipe) close(outPipe[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (mode == Stdout::DevFull) {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, STDOUT_FILENO);
    } else if (mode == Stdout::ClosedPipe) {
      dup2(outPipe[1], STDOUT_FILENO);  // nobody reads: every write fails with EPIPE
    } else {
      dup2(outPipe[1], STDOUT_FILENO);
    }
    dup2(errPipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    std::string binary = EMAIL_VENTRY_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ToolResult run;
  if (mode != Stdout::ClosedPipe) run.out = slurp(outPipe[0]);
  run.err = slurp(errPipe[0]);
  if (mode != Stdout::ClosedPipe) close(outPipe[0]);
  close(errPipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return run;
}

class ToolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ventry-tool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    write("a.eml", "To: a@example.com\r\nSubject: hi\r\n\r\nhello\r\n");
    write("b.eml", "To: b@example.com\r\n\r\nbody\r\n");
    write("list.txt", "a.eml\n");
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  void write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
  }
  std::vector<std::string> lines(const std::string& out) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
      result.push_back(out.substr(start, nl - start));
    }
    EXPECT_EQ(start, out.size()) << "output does not end with a line end";
    return result;
  }
  std::string dir_;
};

TEST_F(ToolRun, MissingListIsAnAbnormalStop) {
  const std::vector<std::vector<std::string>> argLists = {
      {},
      {"--root", "."},
      {"--list"},
      {"--root", ".", "--list"},
      {"--list=list.txt"},
      {"--LIST", "list.txt"},
  };
  for (const auto& args : argLists) {
    const ToolResult run = runBinary(args, dir_);
    EXPECT_EQ(run.status, 101) << testing::PrintToString(args);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("--list <file of message paths> required"), std::string::npos)
        << run.err;
  }
}

TEST_F(ToolRun, SelftestWinsOverEverything) {
  const std::vector<std::vector<std::string>> argLists = {
      {"--selftest"},
      {"--list", "missing.txt", "--selftest"},
      {"--list", "--selftest"},
      {"--root", "--selftest"},
  };
  for (const auto& args : argLists) {
    const ToolResult run = runBinary(args, dir_);
    // Whether the self-test passes is not this test's business; that it ran is.
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << " " << run.err;
    EXPECT_EQ(run.err.find("--list"), std::string::npos) << run.err;
    if (run.status == 0) {
      EXPECT_EQ(run.out.rfind("selftest OK", 0), 0u) << run.out;
    } else {
      EXPECT_FALSE(run.err.empty());
    }
  }
}

TEST_F(ToolRun, FirstOccurrenceWinsAndStrayArgumentsAreIgnored) {
  write("other.txt", "b.eml\n");
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  write("sub/a.eml", "");
  const ToolResult run = runBinary({"stray", "--list", "list.txt", "--root", ".", "--list",
                                    "other.txt", "--root", "sub", "--verbose"},
                                   dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto got = lines(run.out);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rfind("{\"name\":\"a.eml\",\"bytes\":41,", 0), 0u) << got[0];
}

TEST_F(ToolRun, RootAsLastArgumentMeansCurrentDirectory) {
  const ToolResult run = runBinary({"--list", "list.txt", "--root"}, dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("{\"name\":\"a.eml\",\"bytes\":41,", 0), 0u) << run.out;
}

// An entry that cannot be read as a regular file keeps its record (that of an empty message)
// with the reason in "readError", gets a line on standard error, and the run goes on.
TEST_F(ToolRun, UnreadableEntriesAreNamedAndTheRunGoesOn) {
  ASSERT_EQ(mkdir((dir_ + "/adir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("loop", (dir_ + "/loop").c_str()), 0);
  // "a.eml" exists: the NUL must not let the entry read it.
  write("list.txt",
        "# corpus\n  missing.eml  \r\nadir\nfifo\nloop\na.eml\0x\n\n"s + dir_ + "/b.eml\na.eml");
  for (const char* jobs : {"", "2"}) {
    std::vector<std::string> args = {"--list", dir_ + "/list.txt", "--root", dir_};
    if (*jobs != 0) args.insert(args.end(), {"--jobs", jobs});
    const ToolResult run = runBinary(args, "/");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto got = lines(run.out);
    const std::vector<std::string> prefixes = {
        R"({"name":"missing.eml","bytes":0,"readError":"No such file or directory","ms":)",
        R"({"name":"adir","bytes":0,"readError":"Is a directory","ms":)",
        R"({"name":"fifo","bytes":0,"readError":"Not a regular file","ms":)",
        R"({"name":"loop","bytes":0,"readError":"Too many levels of symbolic links","ms":)",
        R"({"name":"a.eml\u0000x","bytes":0,"readError":"Path holds a NUL byte","ms":)",
        "{\"name\":\"" + dir_ + "/b.eml\",\"bytes\":27,\"ms\":",
        R"({"name":"a.eml","bytes":41,"ms":)",
    };
    ASSERT_EQ(got.size(), prefixes.size()) << run.out;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].rfind(prefixes[i], 0), 0u) << got[i];
      EXPECT_NE(got[i].find(R"(,"outcome":"ok","loss":[],)"), std::string::npos) << got[i];
      EXPECT_NE(got[i].find(",\"probe\":{\"hdrTo\":"), std::string::npos) << got[i];
    }
    const std::string expectedErr =
        "cannot read \"" + dir_ + "/missing.eml\": No such file or directory\n" + "cannot read \"" +
        dir_ + "/adir\": Is a directory\n" + "cannot read \"" + dir_ +
        "/fifo\": Not a regular file\n" + "cannot read \"" + dir_ +
        "/loop\": Too many levels of symbolic links\n" + "cannot read \"" + dir_ +
        "/a.eml\\u0000x\": Path holds a NUL byte\n" + "5 of 7 entries could not be read\n";
    EXPECT_EQ(run.err, expectedErr);
  }
}

TEST_F(ToolRun, ParserRejectionIsAThrewRecord) {
  write("bad.eml", " starts with a space\r\nTo: x@example.com\r\n\r\nbody\r\n");
  write("list.txt", "bad.eml\n");
  const ToolResult run = runBinary({"--list", "list.txt"}, dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"outcome\":\"threw\",\"error\":\"Parse: "), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"loss\":[],\"gotHtml\":false,\"gotText\":false,"
                         "\"gotAttachments\":0,\"gotTo\":0,\"gotCc\":0,"),
            std::string::npos)
      << run.out;
}

TEST_F(ToolRun, ListFileFailuresStopBeforeAnyRecord) {
  struct Case {
    const char* label;
    std::string content;  // empty: no file at all
  };
  const std::vector<Case> cases = {
      {"missing", ""},
      {"invalid UTF-8 late in the file", "a.eml\na.eml\n\xC3(\n"},
      {"lone continuation byte",
       "\x80"
       "a.eml\n"},
      {"surrogate", "a.eml\n\xED\xA0\x80\n"},
  };
  for (const Case& c : cases) {
    const std::string name = c.content.empty() ? "absent.txt" : "bad.txt";
    if (!c.content.empty()) write(name, c.content);
    const ToolResult run = runBinary({"--list", name}, dir_);
    EXPECT_EQ(run.status, 101) << c.label;
    EXPECT_EQ(run.out, "") << c.label;
    EXPECT_EQ(run.err.rfind("read --list file: ", 0), 0u) << c.label << ": " << run.err;
  }
  const ToolResult dirRun = runBinary({"--list", "."}, dir_);
  EXPECT_EQ(dirRun.status, 101);
  EXPECT_EQ(dirRun.err.rfind("read --list file: ", 0), 0u) << dirRun.err;
}

TEST_F(ToolRun, EmptyListWritesNothing) {
  write("list.txt", "\n# nothing\n  \n");
  const ToolResult run = runBinary({"--list", "list.txt"}, dir_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

// The run options change how the work is done, never the records; bad values stop the run
// before any record. A list and one --input exclude each other; --extract of an unknown name
// stops with 101 and writes nothing.
TEST_F(ToolRun, RunOptionsLeaveRecordsAloneAndBadValuesStop) {
  write("list.txt", "a.eml\nb.eml\na.eml\n");
  const ToolResult plain = runBinary({"--list", "list.txt"}, dir_);
  ASSERT_EQ(plain.status, 0);
  auto stable = [](std::string text) {
    for (size_t at = 0; (at = text.find("\"ms\":", at)) != std::string::npos;) {
      at += 5;
      text.erase(at, text.find_first_not_of("0123456789", at) - at);
    }
    return text;
  };
  const ToolResult progress = runBinary({"--list", "list.txt", "--progress", "--jobs", "2"}, dir_);
  ASSERT_EQ(progress.status, 0) << progress.err;
  EXPECT_EQ(stable(progress.out), stable(plain.out));
  EXPECT_EQ(progress.err.rfind("done: 3 of 3 entries, 3 records", 0), 0u) << progress.err;
  EXPECT_EQ(progress.err.back(), '\n');

  const std::vector<std::vector<std::string>> bad = {
      {"--jobs", "x"},  {"--jobs", "-1"},          {"--jobs", "100000"},       {"--shard", "2/2"},
      {"--shard", "1"}, {"--memory-limit", "0"},   {"--memory-limit", "1.5"},  {"--jobs"},
      {"--reader"},     {"--reader-timeout", "0"}, {"--reader-timeout", "2s"},
  };
  for (const auto& options : bad) {
    std::vector<std::string> args = {"--list", "list.txt"};
    args.insert(args.end(), options.begin(), options.end());
    const ToolResult run = runBinary(args, dir_);
    EXPECT_EQ(run.status, 101) << options[0];
    EXPECT_EQ(run.out, "") << options[0];
    EXPECT_EQ(run.err.rfind(options[0] + " needs ", 0), 0u) << run.err;
  }
  const ToolResult both = runBinary({"--list", "list.txt", "--input", "a.eml"}, dir_);
  EXPECT_EQ(both.status, 101);
  EXPECT_EQ(both.out, "");
  const ToolResult input = runBinary({"--input", "a.eml"}, dir_);
  EXPECT_EQ(input.status, 0);
  EXPECT_EQ(stable(input.out), stable(lines(plain.out)[0] + "\n"));
  const ToolResult extracted = runBinary({"--extract", "a.eml"}, dir_);
  EXPECT_EQ(extracted.status, 0);
  EXPECT_EQ(extracted.out, "To: a@example.com\r\nSubject: hi\r\n\r\nhello\r\n");
  const ToolResult unknown = runBinary({"--extract", "a.eml!x"}, dir_);
  EXPECT_EQ(unknown.status, 101);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err.rfind("extract: ", 0), 0u) << unknown.err;
}

// Over containers --progress counts the bytes of the listed files read (a listed
// directory's files as they are met), on one thread and with --jobs, and its final line
// gives their total.
TEST_F(ToolRun, ProgressOverContainersCountsTheirBytes) {
  std::string mbox;
  size_t messages = 0;
  for (; mbox.size() < 300000; ++messages) {
    mbox +=
        "From x\nSubject: " + std::to_string(messages) + "\n\n" + std::string(3000, 'a') + "\n\n";
  }
  ASSERT_EQ(mkdir((dir_ + "/box").c_str(), 0700), 0);
  write("box/in.mbox", mbox);
  write("box.mbox", mbox);
  write("boxes.txt", "box.mbox\nbox\n");
  const auto megabytes = [](size_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return std::string(text);
  };
  const struct {
    std::vector<std::string> args;
    std::string entries;
    size_t records;
    size_t bytes;
  } cases[] = {
      {{"--input", "box.mbox"}, "1 of 1", messages, mbox.size()},
      {{"--input", "box.mbox", "--jobs", "2"}, "1 of 1", messages, mbox.size()},
      {{"--input", "box"}, "1 of 1", messages, mbox.size()},
      {{"--expand", "--list", "boxes.txt", "--jobs", "2"}, "2 of 2", 2 * messages, 2 * mbox.size()},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--progress");
    const ToolResult run = runBinary(args, dir_);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string done =
        "done: " + c.entries + " entries, " + std::to_string(c.records) + " records, ";
    EXPECT_EQ(run.err.rfind(done, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(", " + megabytes(c.bytes) + " read in "), std::string::npos) << run.err;
  }
}

TEST_F(ToolRun, OutputFailuresExit101) {
  const ToolResult full = runBinary({"--list", "list.txt"}, dir_, Stdout::DevFull);
  EXPECT_EQ(full.status, 101);
  EXPECT_NE(full.err.find("record: "), std::string::npos) << full.err;

  write("list.txt", "a.eml\nb.eml\n");
  const ToolResult closed = runBinary({"--list", "list.txt"}, dir_, Stdout::ClosedPipe);
  EXPECT_EQ(closed.status, 101) << "a closed pipe must not kill the process";
  EXPECT_NE(closed.err.find("Broken pipe"), std::string::npos) << closed.err;
}

}  // namespace

namespace {

// --help and --version print their text and exit 0, wherever they stand, except as the value
// the first --list or --root takes; --help wins over --version, both over --selftest. Every
// other argument keeps its meaning.
TEST_F(ToolRun, HelpAndVersionUnlessTakenAsAValue) {
  const std::string version = "email_ventry " + std::string(ventry::kVersion) + "\n";
  struct Row {
    std::vector<std::string> args;
    int status;
    const char* out;  // "usage", "version" or the start of the output
  };
  const Row rows[] = {
      {{"--help"}, 0, "usage"},
      {{"--version"}, 0, "version"},
      {{"--version", "--help"}, 0, "usage"},
      {{"--selftest", "--version"}, 0, "version"},
      {{"--list", "list.txt", "--help"}, 0, "usage"},
      {{"--list", "list.txt", "--list", "--help"}, 0, "usage"},  // a later --list takes nothing
      {{"--list", "--help"}, 101, ""},                           // the list file "--help"
      {{"--root", "--version", "--list", "list.txt"}, 0, "{\"name\":\"a.eml\",\"bytes\":0,"},
      {{"-h"}, 101, ""},
      {{"--help=1"}, 101, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    const ToolResult run = runBinary(row.args, dir_);
    EXPECT_EQ(run.status, row.status) << run.err;
    if (std::string(row.out) == "usage") {
      EXPECT_EQ(run.out, ventry::usageText());
      EXPECT_EQ(run.out.rfind("Usage: email_ventry --list FILE", 0), 0u);
    } else if (std::string(row.out) == "version") {
      EXPECT_EQ(run.out, version);
    } else {
      EXPECT_EQ(run.out.rfind(row.out, 0), 0u) << run.out;
    }
  }
}

}  // namespace
