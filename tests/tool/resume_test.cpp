// --output and --resume end to end: a run stopped anywhere (its output cut at any byte, or
// the process killed) and resumed writes the records of a run that never stopped ("ms"
// aside), over a list, with threads, a shard, and containers; an output file of another run
// is refused and left as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "corpus/archive_maker.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Starts the tool in `dir`; standard output goes nowhere (the records go to --output) and
// standard error to `err`.
pid_t start(const fs::path& dir, const Args& args, const fs::path& err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(dir.c_str()) != 0) _exit(126);
  dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
  std::string binary = EMAIL_VENTRY_BINARY;
  std::vector<std::string> copies(args);
  std::vector<char*> argv = {binary.data()};
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

struct Outcome {
  int status = -1;  // the exit status, -1 after a signal
  std::string err;
};

Outcome run(const fs::path& dir, const Args& args) {
  const fs::path err = dir / "stderr.txt";
  int status = 0;
  waitpid(start(dir, args, err), &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(err)};
}

std::string withoutMs(const std::string& records) {
  std::string out;
  out.reserve(records.size());
  size_t copied = 0;
  for (size_t at = records.find("\"ms\":"); at != std::string::npos;
       at = records.find("\"ms\":", at + 1)) {
    const size_t digits = at + 5;
    out.append(records, copied, digits - copied);
    out += '0';
    copied = records.find_first_not_of("0123456789", digits);
    if (copied == std::string::npos) copied = records.size();
  }
  out.append(records, copied);
  return out;
}

Args with(Args args, const Args& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Offsets just past each line end of `text`.
std::vector<size_t> lineEnds(const std::string& text) {
  std::vector<size_t> ends;
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    ends.push_back(at + 1);
  }
  return ends;
}

// mboxrd: a separator line before each message, ">" before every ">*From " line.
std::string mboxOf(const std::vector<std::string>& messages) {
  std::string mbox;
  for (const std::string& message : messages) {
    mbox += "From sender@example.com Mon Jan  1 00:00:00 2001\n";
    for (size_t line = 0; line < message.size();) {
      const size_t quotes = message.find_first_not_of('>', line);
      if (quotes != std::string::npos && message.compare(quotes, 5, "From ") == 0) mbox += '>';
      const size_t end = std::min(message.find('\n', line), message.size() - 1) + 1;
      mbox.append(message, line, end - line);
      line = end;
    }
    if (!message.ends_with('\n')) mbox += '\n';
    mbox += '\n';
  }
  return mbox;
}

// The offset in the name "<mbox>#<number>@<offset>" of a record in `records`.
uint64_t mboxOffset(const std::string& records, const std::string& message) {
  const size_t at = records.find("\"" + message + "@");
  EXPECT_NE(at, std::string::npos) << message;
  return at == std::string::npos ? 0 : std::stoull(records.substr(at + message.size() + 2, 20));
}

// A corpus in a temporary directory: `count` message files m000.eml... (the sample
// messages in turn), a list of them with an unreadable entry among them, an mbox of them
// (plain and gzip), a tar.gz with an mbox among its members, a maildir, and a list of those
// containers.
class Corpus {
 public:
  explicit Corpus(size_t count) {
    std::string pattern = (fs::temp_directory_path() / "ventry-resume-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir = pattern;
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(VENTRY_SOURCE_DIR "/examples/corpus")) {
      if (entry.path().extension() == ".eml") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> samples;
    for (const fs::path& path : paths) samples.push_back(readFile(path));
    std::string list;
    std::vector<testarchives::Member> members;
    for (size_t i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "m%03zu.eml", i);
      messages.push_back(samples[i % samples.size()]);
      writeFile(dir / name, messages.back());
      list += std::string(name) + "\n";
      if (i == count / 2) list += "missing.eml\nmaildir\n";
      if (i < 10) members.emplace_back(std::string("mail/") + name, messages.back());
      writeFile(dir / "maildir" / (i % 2 == 0 ? "cur" : "new") / name, messages.back());
    }
    fs::create_directories(dir / "maildir" / "tmp");
    writeFile(dir / "list.txt", list);
    const std::string mbox = mboxOf(messages);
    writeFile(dir / "box.mbox", mbox);
    writeFile(dir / "box.mbox.gz", testarchives::compress(ARCHIVE_FILTER_GZIP, mbox));
    // Lines of white space before the first separator: the first message is not at 0.
    writeFile(dir / "spaced.mbox", " \n\t\n" + mbox);
    members.emplace_back("mail/inner.mbox", mbox);
    members.emplace_back("mail/last.eml", messages.front());
    writeFile(dir / "mail.tar.gz",
              testarchives::makeArchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP, members));
    writeFile(dir / "containers.txt", "box.mbox\nmail.tar.gz\nmaildir\nm000.eml\nbox.mbox.gz\n");
  }
  ~Corpus() {
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
  }
  Corpus(const Corpus&) = delete;
  Corpus& operator=(const Corpus&) = delete;

  // The records of an uninterrupted run.
  std::string whole(const Args& args) {
    const Outcome done = run(dir, with(args, {"--output", "whole.jsonl"}));
    EXPECT_EQ(done.status, 0) << done.err;
    return readFile(dir / "whole.jsonl");
  }

  fs::path dir;
  std::vector<std::string> messages;
};

struct RunCase {
  const char* label;
  Args args;
};

void PrintTo(const RunCase& which, std::ostream* out) {
  *out << which.label;
}

const std::vector<RunCase> kRuns = {
    {"List", {"--list", "list.txt"}},
    {"ListTwoThreads", {"--list", "list.txt", "--jobs", "2"}},
    {"ListShard", {"--list", "list.txt", "--shard", "1/3"}},
    {"Mbox", {"--input", "box.mbox"}},
    {"MboxTwoThreads", {"--input", "box.mbox", "--jobs", "2"}},
    {"MboxGz", {"--input", "box.mbox.gz"}},
    {"MboxAfterWhiteSpaceLines", {"--input", "spaced.mbox"}},
    {"TarGzWithAnMboxInside", {"--input", "mail.tar.gz"}},
    {"Maildir", {"--input", "maildir"}},
    {"ContainersShard", {"--list", "containers.txt", "--expand", "--shard", "0/2"}},
    {"ContainersShardTwoThreads",
     {"--list", "containers.txt", "--expand", "--shard", "1/2", "--jobs", "2"}},
};

class ResumeRun : public testing::TestWithParam<RunCase> {};

// The output of an uninterrupted run cut at chosen bytes (empty, whole, within lines, at line
// ends, just before a line end) stands for a run stopped there; resumed, it becomes the whole
// run's output again.
TEST_P(ResumeRun, OutputCutAnywhereResumesToTheWholeRun) {
  Corpus corpus(60);
  const Args args = GetParam().args;
  const std::string whole = corpus.whole(args);
  ASSERT_GT(whole.size(), 10000u);
  const std::vector<size_t> ends = lineEnds(whole);
  std::mt19937 random(20240611);
  std::vector<size_t> cuts = {0, whole.size()};
  for (int i = 0; i < 4; ++i) cuts.push_back(1 + random() % (whole.size() - 1));
  for (int i = 0; i < 2; ++i) cuts.push_back(ends[random() % ends.size()]);
  cuts.push_back(ends[random() % ends.size()] - 1);
  for (const size_t cut : cuts) {
    SCOPED_TRACE("cut at byte " + std::to_string(cut));
    writeFile(corpus.dir / "out.jsonl", whole.substr(0, cut));
    const Outcome resumed = run(corpus.dir, with(args, {"--output", "out.jsonl", "--resume"}));
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(withoutMs(readFile(corpus.dir / "out.jsonl")), withoutMs(whole));
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, ResumeRun, testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.label); });

// A run killed with SIGKILL once its output holds at least N bytes (N from a fixed seed;
// wherever the kill lands, the result must be the same) and resumed writes the whole run's
// records.
TEST(ResumeKilledRun, KilledAnywhereResumesToTheWholeRun) {
  Corpus corpus(60);
  std::string list;
  for (int i = 0; i < 8000; ++i) list += "m0" + std::to_string(10 + i % 50) + ".eml\n";
  writeFile(corpus.dir / "long.txt", list);
  std::vector<std::string> many;
  for (int i = 0; i < 8; ++i)
    many.insert(many.end(), corpus.messages.begin(), corpus.messages.end());
  const std::string mbox = mboxOf(many);
  writeFile(corpus.dir / "long.mbox", mbox);
  writeFile(corpus.dir / "long.tar.gz",
            testarchives::makeArchive(
                ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP,
                {{"a.eml", many.front()}, {"long.mbox", mbox}, {"z.eml", many.back()}}));
  const std::vector<RunCase> runs = {
      {"list", {"--list", "long.txt"}},
      {"list, two threads", {"--list", "long.txt", "--jobs", "2"}},
      {"list, shard", {"--list", "long.txt", "--shard", "1/2"}},
      {"mbox, two threads", {"--input", "long.mbox", "--jobs", "2"}},
      {"tar.gz", {"--input", "long.tar.gz"}},
  };
  std::mt19937 random(7);
  for (const RunCase& which : runs) {
    SCOPED_TRACE(which.label);
    const std::string whole = corpus.whole(which.args);
    for (int point = 0; point < 3; ++point) {
      const uint64_t atLeast = 1 + random() % whole.size();
      SCOPED_TRACE("killed at " + std::to_string(atLeast) + " bytes or more");
      const fs::path out = corpus.dir / "out.jsonl";
      fs::remove(out);
      const pid_t pid =
          start(corpus.dir, with(which.args, {"--output", "out.jsonl"}), corpus.dir / "stderr.txt");
      struct stat info {};
      int status = 0;
      while (waitpid(pid, &status, WNOHANG) == 0) {
        if (stat(out.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) >= atLeast) {
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
        usleep(200);
      }
      const Outcome resumed =
          run(corpus.dir, with(which.args, {"--output", "out.jsonl", "--resume"}));
      EXPECT_EQ(resumed.status, 0) << resumed.err;
      EXPECT_EQ(withoutMs(readFile(out)), withoutMs(whole));
    }
  }
}

// An output file that does not hold the first records of this very run is refused with
// status 101, naming its first record that does not match, and is left as it was.
TEST(ResumeRefusal, AFileOfAnotherRunIsLeftAsItWas) {
  Corpus corpus(60);
  writeFile(corpus.dir / "other.txt", "m005.eml\nm006.eml\n");
  const Args list = {"--list", "list.txt"};
  const std::string records = corpus.whole(list);
  const std::vector<size_t> ends = lineEnds(records);
  const std::string five = records.substr(0, ends[4]);
  const std::string mboxRecords = corpus.whole({"--input", "box.mbox"});
  const std::string mboxFour = mboxRecords.substr(0, lineEnds(mboxRecords)[3]);
  const auto lineOf = [](const std::string& text, size_t number) {
    const std::vector<size_t> at = lineEnds(text);
    const size_t begin = number == 1 ? 0 : at[number - 2];
    return text.substr(begin, at[number - 1] - begin);
  };
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  // The offset of the fourth mbox message, one byte on.
  const std::string fourth = std::to_string(mboxOffset(mboxFour, "box.mbox#4"));
  const std::string moved = std::to_string(std::stoull(fourth) + 1);

  struct Row {
    const char* label;
    std::string file;
    Args args;
    std::string named;  // what the diagnostic must hold
  };
  const std::vector<Row> rows = {
      {"records of another list", corpus.whole({"--list", "other.txt"}), list,
       "line 1 (\"m005.eml\"): this run's message 1 is \"m000.eml\""},
      {"an edited name", replaced(five, "m002.eml", "m002.eml.bak"), list,
       "line 3 (\"m002.eml.bak\")"},
      {"edited bytes", replaced(five, "\"m001.eml\",\"bytes\":", "\"m001.eml\",\"bytes\":1"), list,
       "line 2 (\"m001.eml\"): has \"bytes\":1"},
      {"a line not of the record's shape", replaced(five, ",\"outcome\":", ",\"result\":"), list,
       "line 1 (\"m000.eml\"): not a record line"},
      {"reordered lines", lineOf(five, 1) + lineOf(five, 3) + lineOf(five, 2), list,
       "line 2 (\"m002.eml\")"},
      {"another shard",
       corpus.whole({"--list", "list.txt", "--shard", "0/3"}),
       {"--list", "list.txt", "--shard", "1/3"},
       "line 1 (\"m000.eml\")"},
      {"a file of something else, without a line end", "not records", list,
       "line 1 (no name): not a record line"},
      {"more records than the run has", records + lineOf(records, 1), list,
       "line " + std::to_string(ends.size() + 1) + " (\"m000.eml\"): beyond the " +
           std::to_string(ends.size()) + " messages of this run"},
      {"an mbox offset where no message starts",
       replaced(mboxFour, "#4@" + fourth, "#4@" + moved),
       {"--input", "box.mbox"},
       "line 4 (\"box.mbox#4@" + moved + "\"): no message of the mbox starts at byte " + moved},
      {"an mbox message left out",
       replaced(mboxFour, "#3@", "#4@"),
       {"--input", "box.mbox"},
       "line 3 (\"box.mbox#4@"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    writeFile(corpus.dir / "out.jsonl", row.file);
    const Outcome refused = run(corpus.dir, with(row.args, {"--output", "out.jsonl", "--resume"}));
    EXPECT_EQ(refused.status, 101);
    EXPECT_NE(refused.err.find("cannot resume \"out.jsonl\": " + row.named), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("; the file is left as it was"), std::string::npos) << refused.err;
    EXPECT_EQ(readFile(corpus.dir / "out.jsonl"), row.file);
  }
}

// Resuming into a plain mbox seeks to the last message written instead of framing the file
// from its start: with the messages before it overwritten (same length, full of separator
// lines that would renumber every later message), the resumed run still writes the records
// of the mbox as it was.
TEST(ResumeMbox, TheMessagesWrittenBeforeAreNotReadAgain) {
  Corpus corpus(60);
  const Args input = {"--input", "box.mbox"};
  const std::string whole = corpus.whole(input);
  const std::vector<size_t> ends = lineEnds(whole);
  const std::string cut = whole.substr(0, ends[29] + 100);
  const size_t offset = mboxOffset(whole, "box.mbox#30");
  std::string mbox = readFile(corpus.dir / "box.mbox");
  ASSERT_EQ(mbox.substr(offset - 2, 7), "\n\nFrom ");
  std::string junk;
  while (junk.size() < offset - 2) junk += "From junk\n\n";
  mbox.replace(0, offset - 2, junk.substr(0, offset - 2));
  writeFile(corpus.dir / "box.mbox", mbox);
  ASSERT_NE(withoutMs(corpus.whole(input)),
            withoutMs(whole));  // the overwrite shows from the start

  writeFile(corpus.dir / "out.jsonl", cut);
  const Outcome resumed = run(corpus.dir, with(input, {"--output", "out.jsonl", "--resume"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(withoutMs(readFile(corpus.dir / "out.jsonl")), withoutMs(whole));
}

// --output writes the records to a file (created or emptied; left alone when the list fails
// or another run is writing it) and --resume needs it; a missing file is resumed from the
// start; --progress says how many records were there.
TEST(ResumeOptions, OutputFileAndResumeOptions) {
  Corpus corpus(4);
  const std::string whole = corpus.whole({"--list", "list.txt"});
  const Args list = {"--list", "list.txt"};
  struct Row {
    const char* label;
    Args args;
    std::optional<std::string> before;  // the output file's content before, if any
    int status;
    std::string err;  // standard error holds this
    enum { Whole, AsBefore, None } after;
  };
  const std::vector<Row> rows = {
      {"created", with(list, {"--output", "out.jsonl"}), std::nullopt, 0, "", Row::Whole},
      {"emptied first", with(list, {"--output", "out.jsonl"}), "old\nlines\n", 0, "", Row::Whole},
      {"resumed when missing", with(list, {"--output", "out.jsonl", "--resume"}), std::nullopt, 0,
       "", Row::Whole},
      {"progress says where it resumed",
       with(list, {"--output", "out.jsonl", "--resume", "--progress"}),
       whole.substr(0, lineEnds(whole)[1]), 0, "resumed after 2 records\n", Row::Whole},
      {"resume needs an output file", with(list, {"--resume"}), std::nullopt, 101,
       "--resume needs --output FILE", Row::None},
      {"output needs a file", with(list, {"--output"}), std::nullopt, 101, "--output needs a file",
       Row::None},
      {"a list that fails leaves the file",
       {"--list", "none.txt", "--output", "out.jsonl"},
       "old\n",
       101,
       "read --list file: ",
       Row::AsBefore},
      {"no such directory", with(list, {"--output", "no/out.jsonl"}), std::nullopt, 101,
       "open --output file \"no/out.jsonl\": No such file or directory", Row::None},
      {"a full disk", with(list, {"--output", "/dev/full"}), std::nullopt, 101,
       "record: No space left on device", Row::None},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const fs::path out = corpus.dir / "out.jsonl";
    fs::remove(out);
    if (row.before) writeFile(out, *row.before);
    const Outcome outcome = run(corpus.dir, row.args);
    EXPECT_EQ(outcome.status, row.status) << outcome.err;
    EXPECT_NE(outcome.err.find(row.err), std::string::npos) << outcome.err;
    if (row.after == Row::None) {
      EXPECT_FALSE(fs::exists(out));
    } else if (row.after == Row::Whole) {
      EXPECT_EQ(withoutMs(readFile(out)), withoutMs(whole));
    } else {
      EXPECT_EQ(readFile(out), *row.before);
    }
  }
  // No run writes a file another run is writing, resumed or not, nor empties it.
  const fs::path out = corpus.dir / "out.jsonl";
  writeFile(out, "old\n");
  const int held = open(out.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  for (const Args& args :
       {with(list, {"--output", "out.jsonl"}), with(list, {"--output", "out.jsonl", "--resume"})}) {
    const Outcome second = run(corpus.dir, args);
    EXPECT_EQ(second.status, 101);
    EXPECT_NE(second.err.find("\"out.jsonl\": another run is writing it"), std::string::npos)
        << second.err;
    EXPECT_EQ(readFile(out), "old\n");
  }
  close(held);
}

}  // namespace
