// A reader under test (--reader) is someone else's code: whatever it does costs at most the
// record of the message it did it on. Scripted readers misbehave on one message; the run
// records it as failed, starts the reader afresh, and goes on within the timeout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hardening/run_tool.h"

namespace hardening {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBinary = EMAIL_VENTRY_BINARY;
const std::string kMessage = "To: a@b.c\r\nSubject: hi\r\n\r\nbody\r\n";

// The scripted reader: a well-behaved one for every message but "bad.eml", on which it does
// what its first argument says.
constexpr const char* kReaderScript = R"PY(
import json, os, signal, subprocess, sys, time

mode = sys.argv[1]
state = sys.argv[2]
source, sink = sys.stdin.buffer, sys.stdout.buffer

def send(data):
    sink.write(data)
    sink.flush()

def reply(**members):
    send(json.dumps(members).encode() + b"\n")

if mode == "fails-on-restart":
    fd = os.open(os.path.join(state, "starts"), os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    os.write(fd, b"x")
    if os.fstat(fd).st_size > int(sys.argv[3]):
        sys.exit(1)
if mode == "hangs-with-child":
    child = subprocess.Popen(["sleep", "1000"])
    with open(os.path.join(state, "pids"), "a") as pids:
        pids.write("%d\n%d\n" % (os.getpid(), child.pid))

send(b'{"reader":"scripted","version":"1.0","debug":[1,2]}\n')
good = {"outcome": "ok", "loss": [{"id": "email.read.headers.date", "action": "degraded"}],
        "gotHtml": True, "gotText": False, "gotAttachments": 2, "gotTo": 7, "gotCc": 1}
while True:
    line = source.readline()
    if not line:
        break
    request = json.loads(line)
    name = request["name"]
    if name == "bad.eml" and mode == "stops-reading":
        time.sleep(100)
    source.read(request["bytes"])
    if name != "bad.eml":
        reply(name=name, **good)
    elif mode in ("hangs", "hangs-with-child"):
        open(os.path.join(state, "hanging"), "w").close()
        time.sleep(100)
    elif mode in ("exits", "fails-on-restart"):
        os._exit(3)
    elif mode == "crashes":
        os.kill(os.getpid(), signal.SIGKILL)
    elif mode == "garbage":
        send(b"hello\n")
    elif mode == "two-objects":
        send(b'{"name":"bad.eml"} {}\n')
    elif mode == "wrong-type":
        reply(**dict(good, name=name, gotTo="7"))
    elif mode == "negative-count":
        reply(**dict(good, name=name, gotCc=-1))
    elif mode == "missing-member":
        reply(**{k: v for k, v in dict(good, name=name).items() if k != "gotHtml"})
    elif mode == "other-name":
        reply(**dict(good, name="other.eml"))
    elif mode == "unknown-id":
        reply(**dict(good, name=name, loss=[{"id": "email.read.nope", "action": "dropped"}]))
    elif mode == "unknown-action":
        reply(**dict(good, name=name, loss=[{"id": "email.read.headers.date", "action": "lost"}]))
    elif mode == "endless-line":
        while True:
            sink.write(b"x" * 65536)
    elif mode == "child-holds-output":
        subprocess.Popen(["sleep", "100"])
        os._exit(0)
    elif mode == "closes-output":
        os.close(1)
        time.sleep(100)
    elif mode == "writes-to-stderr":
        sys.stderr.buffer.write(b"e" * (8 << 20))
        sys.stderr.flush()
        reply(name=name, debugMs=3, **good)
    elif mode == "long-threw":
        reply(name=name, outcome="threw", error="\u00e9" * 300)
)PY";

// The reader part of a good message's record (the scripted reader's values) and of a failed
// record.
const std::string kGoodTail =
    R"("outcome":"ok","loss":[{"id":"email.read.headers.date","action":"degraded"}],)"
    R"("gotHtml":true,"gotText":false,"gotAttachments":2,"gotTo":7,"gotCc":1,"probe":{)";

std::string failedTail(const std::string& error) {
  return R"("outcome":"failed","error":")" + error +
         R"(","loss":[],"gotHtml":false,"gotText":false,"gotAttachments":0,"gotTo":0,)"
         R"("gotCc":0,"probe":{)";
}

std::string repeated(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string describe(const ToolRun& run) {
  return "timedOut=" + std::to_string(run.timedOut) + " signal=" + std::to_string(run.signal) +
         " status=" + std::to_string(run.status) + "\nstdout=" + run.out.substr(0, 2000) +
         "\nstderr=" + run.err.substr(0, 600);
}

// A folder with good.eml, bad.eml (large when the reader is to stop reading it), a list of
// good, bad, good, and the scripted reader.
struct ReaderSetup {
  explicit ReaderSetup(bool largeBad = false) {
    dir.write("good.eml", kMessage);
    dir.write("bad.eml", largeBad ? kMessage + std::string(16 << 20, 'x') : kMessage);
    list = dir.write("list.txt", "good.eml\nbad.eml\ngood.eml\n");
    script = dir.write("reader.py", kReaderScript);
  }
  // "exec", so that the reader is the scripted one and not a shell waiting for it.
  std::string command(const std::string& mode, const std::string& more = "") const {
    return "exec " + python() + " " + script + " " + mode + " " + dir.path() + more;
  }
  static std::string python() {
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  }
  std::vector<std::string> args(const std::string& reader) const {
    return {kBinary, "--list",           list, "--root", dir.path(), "--reader",
            reader,  "--reader-timeout", "2"};
  }

  TempDir dir;
  std::string list;
  std::string script;
};

struct MisbehaviourCase {
  const char* mode;
  std::string badTail;  // the bad message's record from its outcome on
  bool failed;          // counted as a message that could not be processed
  bool everyWay;        // also with --jobs 2 and --expand
};

void PrintTo(const MisbehaviourCase& row, std::ostream* out) {
  *out << row.mode;
}

class Misbehaviour : public testing::TestWithParam<MisbehaviourCase> {};

TEST_P(Misbehaviour, CostsOneRecordAndTheRunGoesOn) {
  const MisbehaviourCase& row = GetParam();
  ReaderSetup setup(std::string(row.mode) == "stops-reading");
  std::vector<std::vector<std::string>> ways = {{}};
  if (row.everyWay) ways.insert(ways.end(), {{"--jobs", "2"}, {"--expand"}});
  for (const auto& way : ways) {
    std::vector<std::string> args = setup.args(setup.command(row.mode));
    args.insert(args.end(), way.begin(), way.end());
    const auto start = Clock::now();
    const ToolRun run = runTool(args, Stdout::File, 60s);
    const auto took = Clock::now() - start;
    const std::string label = way.empty() ? "one thread" : way[0];
    ASSERT_EQ(run.status, 0) << label << ": " << describe(run);
    // The timeout (2 s) and a new reader's start, with room for a busy machine.
    EXPECT_LT(took, 8s) << label;
    const std::vector<std::string> records = lines(run.out);
    ASSERT_EQ(records.size(), 3u) << label << ": " << describe(run);
    EXPECT_NE(records[0].find(kGoodTail), std::string::npos) << label << ": " << records[0];
    EXPECT_EQ(records[1].rfind(R"({"name":"bad.eml",)", 0), 0u) << label << ": " << records[1];
    EXPECT_NE(records[1].find(row.badTail), std::string::npos) << label << ": " << records[1];
    EXPECT_NE(records[2].find(kGoodTail), std::string::npos) << label << ": " << records[2];
    EXPECT_NE(run.err.find("reader: scripted 1.0 (exec "), std::string::npos) << run.err;
    if (row.failed) {
      EXPECT_NE(run.err.find("could not process \"bad.eml\": Reader: "), std::string::npos)
          << label << ": " << run.err.substr(0, 600);
      EXPECT_NE(run.err.find("1 message could not be processed"), std::string::npos) << label;
    } else {
      EXPECT_EQ(run.err.find("could not be processed"), std::string::npos) << label;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, Misbehaviour,
    testing::Values(
        MisbehaviourCase{"hangs", failedTail("Reader: no reply within 2 s"), true, true},
        MisbehaviourCase{"exits", failedTail("Reader: exited with status 3"), true, true},
        MisbehaviourCase{"crashes", failedTail("Reader: killed by signal 9"), true, false},
        MisbehaviourCase{"garbage", failedTail("Reader: reply is not one JSON object"), true, true},
        MisbehaviourCase{"two-objects", failedTail("Reader: reply is not one JSON object"), true,
                         false},
        MisbehaviourCase{
            "wrong-type",
            failedTail(R"(Reader: reply member \"gotTo\" is not a non-negative integer)"), true,
            false},
        MisbehaviourCase{
            "negative-count",
            failedTail(R"(Reader: reply member \"gotCc\" is not a non-negative integer)"), true,
            false},
        MisbehaviourCase{"missing-member", failedTail(R"(Reader: reply lacks \"gotHtml\")"), true,
                         false},
        MisbehaviourCase{"other-name",
                         failedTail(R"(Reader: reply names \"other.eml\", not \"bad.eml\")"), true,
                         false},
        MisbehaviourCase{"unknown-id",
                         failedTail(R"(Reader: unknown feature ID \"email.read.nope\")"), true,
                         false},
        MisbehaviourCase{"unknown-action", failedTail(R"(Reader: unknown action \"lost\")"), true,
                         false},
        MisbehaviourCase{"endless-line", failedTail("Reader: reply line longer than 1 MiB"), true,
                         false},
        MisbehaviourCase{"stops-reading",
                         failedTail("Reader: did not read the whole message within 2 s"), true,
                         false},
        MisbehaviourCase{"child-holds-output", failedTail("Reader: exited with status 0"), true,
                         false},
        MisbehaviourCase{"closes-output", failedTail("Reader: closed its output"), true, false},
        MisbehaviourCase{"writes-to-stderr", kGoodTail, false, false},
        // Not a misbehaviour: the failure text is cut to 160 characters, as the built-in
        // reader's is.
        MisbehaviourCase{"long-threw",
                         R"("outcome":"threw","error":")" + repeated("\u00e9", 160) + "\"", false,
                         false}),
    [](const auto& info) {
      std::string name;
      for (const char* c = info.param.mode; *c != 0; ++c) {
        if (*c != '-') name += *c;
      }
      return name;
    });

// A reader that cannot be started stops the run before any record, with status 101 and a
// diagnostic naming the command.
struct StartCase {
  const char* label;
  std::string command;
  std::string diagnostic;
};

void PrintTo(const StartCase& row, std::ostream* out) {
  *out << row.label;
}

class StartFailure : public testing::TestWithParam<StartCase> {};

TEST_P(StartFailure, StopsWith101BeforeAnyRecord) {
  ReaderSetup setup;
  for (const char* jobs : {"", "2"}) {
    std::vector<std::string> args = setup.args(GetParam().command);
    if (*jobs != 0) args.insert(args.end(), {"--jobs", jobs});
    const auto start = Clock::now();
    const ToolRun run = runTool(args, Stdout::File, 60s);
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_EQ(run.status, 101) << describe(run);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(GetParam().diagnostic), std::string::npos) << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, StartFailure,
    testing::Values(StartCase{"Nonexistent", "/nonexistent",
                              R"(cannot start reader "/nonexistent": exited with status 127)"},
                    StartCase{"NoHello", "sleep 30",
                              R"(cannot start reader "sleep 30": no hello within 2 s)"},
                    StartCase{"BadHello", "echo '{\"reader\":1}'; sleep 30",
                              R"(: hello member "reader" is not a string)"}),
    [](const auto& info) { return std::string(info.param.label); });

// A reader that fails on a message and then cannot be started again stops the run with 101;
// the records before that message are written whole, the failed one among them.
TEST(ReaderRestart, AFailedRestartStopsTheRunAfterWholeRecords) {
  for (const char* jobs : {"1", "2"}) {
    ReaderSetup setup;
    setup.list = setup.dir.write("list.txt", "good.eml\nbad.eml\ngood.eml\ngood.eml\ngood.eml\n");
    std::vector<std::string> args =
        setup.args(setup.command("fails-on-restart", std::string(" ") + jobs));
    if (std::string(jobs) == "2") args.insert(args.end(), {"--jobs", "2"});
    const ToolRun run = runTool(args, Stdout::File, 60s);
    EXPECT_EQ(run.status, 101) << jobs << ": " << describe(run);
    EXPECT_NE(run.err.find("\" again: exited with status 1"), std::string::npos) << run.err;
    const std::vector<std::string> records = lines(run.out);
    ASSERT_GE(records.size(), 2u) << jobs << ": " << describe(run);
    EXPECT_LT(records.size(), 5u) << jobs;
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_NE(records[0].find(kGoodTail), std::string::npos) << records[0];
    EXPECT_NE(records[1].find(failedTail("Reader: exited with status 3")), std::string::npos)
        << records[1];
    for (size_t i = 2; i < records.size(); ++i) {
      EXPECT_NE(records[i].find(kGoodTail), std::string::npos) << records[i];
    }
  }
}

bool processGone(pid_t pid) {
  // Gone, or a zombie waiting for whoever inherited it.
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string fields;
  std::getline(stat, fields);
  const size_t end = fields.rfind(')');
  return end == std::string::npos || fields.compare(end, 3, ") Z") == 0;
}

// SIGTERM while the reader works on a message: the tool stops with 143 at once, and neither
// the reader nor what it started outlives it.
TEST(ReaderStop, SigtermLeavesNoReaderProcessBehind) {
  for (const char* jobs : {"", "2"}) {
    ReaderSetup setup;
    std::vector<std::string> args = setup.args(setup.command("hangs-with-child"));
    args[args.size() - 1] = "30";  // the timeout must not end the wait first
    if (*jobs != 0) args.insert(args.end(), {"--jobs", jobs});
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t tool = fork();
    if (tool == 0) {
      const int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, STDOUT_FILENO);
      ::dup2(quiet, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    ASSERT_GT(tool, 0);
    const std::string hanging = setup.dir.path() + "/hanging";
    const auto start = Clock::now();
    while (::access(hanging.c_str(), F_OK) != 0 && Clock::now() - start < 20s) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(::access(hanging.c_str(), F_OK), 0) << "the reader never got the bad message";
    const auto signalled = Clock::now();
    ::kill(tool, SIGTERM);
    int status = 0;
    ::waitpid(tool, &status, 0);
    EXPECT_LT(Clock::now() - signalled, 5s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143);
    std::ifstream pidFile(setup.dir.path() + "/pids");
    std::vector<pid_t> pids;
    for (pid_t pid; pidFile >> pid;) pids.push_back(pid);
    EXPECT_EQ(pids.size(), *jobs != 0 ? 4u : 2u);
    for (const pid_t pid : pids) {
      const auto since = Clock::now();
      while (!processGone(pid) && Clock::now() - since < 5s) std::this_thread::sleep_for(20ms);
      EXPECT_TRUE(processGone(pid)) << "process " << pid << " outlived the tool";
      ::kill(pid, SIGKILL);
    }
  }
}

}  // namespace
}  // namespace hardening
