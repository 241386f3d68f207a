// Batched reads give, file by file, exactly what a plain read gives: the same bytes or the
// same reason, with io_uring, with plain reads, and where the kernel refuses io_uring.
#include "corpus/batch_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using corpus::BatchReader;
using corpus::FileBuffer;

class Files {
 public:
  Files() {
    char pattern[] = "/tmp/ventry-batch-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~Files() { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }

 private:
  std::string dir_;
};

struct Outcome {
  int error = 0;
  std::string bytes;
  bool operator==(const Outcome&) const = default;
};

std::vector<Outcome> readBatch(BatchReader& reader, const std::vector<std::string>& paths,
                               uint64_t maxBytes) {
  std::vector<FileBuffer> buffers(paths.size());
  std::vector<FileBuffer*> into;
  for (FileBuffer& b : buffers) into.push_back(&b);
  std::vector<int> errors(paths.size());
  reader.read(paths, into, errors, maxBytes);
  std::vector<Outcome> out;
  for (size_t i = 0; i < paths.size(); ++i)
    out.push_back({errors[i], std::string(buffers[i].view())});
  return out;
}

TEST(BatchReader, EveryKindOfEntryReadsAsAPlainReadDoes) {
  Files files;
  const std::string slot(BatchReader::kSlotBytes, 'x');
  std::vector<std::string> paths = {
      files.write("small.eml", "Subject: a\r\n\r\nbody\r\n"),
      files.write("empty.eml", ""),
      files.write("exact.eml", slot),
      files.write("big.eml", slot + slot + slot + "tail"),
      files.path("missing.eml"),
      files.path("adir"),
      files.path("fifo"),
      files.path("fifo-with-data"),
      files.path("loop"),
      files.path("small.eml") + std::string(1, '\0') + "x",
      "/dev/null",
      "/dev/zero",
      files.path("small.eml/child"),
  };
  ASSERT_EQ(mkdir(files.path("adir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(files.path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(files.path("fifo-with-data").c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", files.path("loop").c_str()), 0);
  // A writer keeps data waiting in the FIFO: nothing may consume it.
  const int writer = open(files.path("fifo-with-data").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "waiting", 7), 7);

  std::vector<Outcome> plain;
  for (const std::string& path : paths) {
    Outcome o;
    o.error = corpus::readMessageFile(path, o.bytes);
    plain.push_back(o);
  }
  EXPECT_EQ(plain[0].bytes, "Subject: a\r\n\r\nbody\r\n");
  EXPECT_EQ(plain[3].bytes.size(), 3 * slot.size() + 4);
  EXPECT_EQ(plain[4].error, ENOENT);
  EXPECT_EQ(plain[5].error, EISDIR);
  EXPECT_EQ(plain[6].error, corpus::kNotRegularFile);
  EXPECT_EQ(plain[7].error, corpus::kNotRegularFile);
  EXPECT_EQ(plain[8].error, ELOOP);
  EXPECT_EQ(plain[9].error, corpus::kNulInPath);
  EXPECT_EQ(plain[10].error, corpus::kNotRegularFile);
  EXPECT_EQ(plain[11].error, corpus::kNotRegularFile);
  EXPECT_EQ(plain[12].error, ENOTDIR);

  for (const bool uring : {true, false}) {
    BatchReader reader(uring);
    if (uring && reader.method() != corpus::ReadMethod::Uring) {
      ADD_FAILURE() << "io_uring is not available here; only plain reads were checked";
      continue;
    }
    // Twice: the second batch reuses the buffers' memory and the ring's descriptors.
    for (int round = 0; round < 2; ++round) {
      const std::vector<Outcome> got = readBatch(reader, paths, UINT64_MAX);
      for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(got[i].error, plain[i].error) << paths[i] << " uring=" << uring;
        EXPECT_EQ(got[i].bytes, plain[i].bytes) << paths[i] << " uring=" << uring;
      }
    }
  }
  char left[16] = {};
  EXPECT_EQ(::read(writer, left, sizeof left), 7) << "a FIFO's data was consumed";
  close(writer);
}

TEST(BatchReader, FilesAboveTheLimitAreNotRead) {
  Files files;
  const std::vector<std::string> paths = {files.write("a.eml", std::string(100, 'a')),
                                          files.write("b.eml", std::string(200000, 'b'))};
  for (const bool uring : {true, false}) {
    BatchReader reader(uring);
    for (const uint64_t limit : {uint64_t{150}, uint64_t{150000}}) {
      const std::vector<Outcome> got = readBatch(reader, paths, limit);
      EXPECT_EQ(got[0], (Outcome{0, std::string(100, 'a')})) << limit;
      EXPECT_EQ(got[1], (Outcome{corpus::kTooLarge, ""})) << limit;
    }
  }
}

// A file that gives more bytes than its size said (it grew while read, or it is one of /proc,
// which says 0) keeps every byte already read when the buffer grows.
TEST(BatchReader, AFileLargerThanItsStatedSizeKeepsItsBytes) {
  const std::string path = "/proc/self/smaps";  // states 0 bytes, holds several pages
  std::string whole;
  if (corpus::readMessageFile(path, whole) != 0 || whole.size() <= 8192) {
    GTEST_SKIP() << path << " is not readable here or too small to show this";
  }
  const std::string firstLine = whole.substr(0, whole.find('\n') + 1);
  for (const bool uring : {true, false}) {
    BatchReader reader(uring);
    const std::vector<Outcome> got = readBatch(reader, {path}, UINT64_MAX);
    EXPECT_EQ(got[0].error, 0);
    EXPECT_EQ(got[0].bytes.substr(0, firstLine.size()), firstLine) << "uring=" << uring;
  }
}

// Installs a seccomp filter that makes io_uring_setup fail with ENOSYS, as a kernel without
// io_uring, a container's profile or io_uring_disabled do.
bool refuseIoUring() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

TEST(BatchReader, FallsBackToPlainReadsWhereTheKernelRefusesIoUring) {
  Files files;
  const std::string path = files.write("m.eml", "To: a@b\r\n\r\nhi\r\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!refuseIoUring()) _exit(2);
    BatchReader reader(true);
    if (reader.method() != corpus::ReadMethod::Plain) _exit(3);
    const std::vector<Outcome> got = readBatch(reader, {path, files.path("none")}, UINT64_MAX);
    _exit(got[0] == Outcome{0, "To: a@b\r\n\r\nhi\r\n"} && got[1].error == ENOENT ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no filter, 3: io_uring still chosen, 4: wrong result";
}

// The tool itself, with io_uring refused, writes the records it writes with it.
TEST(BatchReader, TheToolWritesTheSameRecordsWithoutIoUring) {
  const std::string source = VENTRY_SOURCE_DIR;
  auto run = [&](bool refuse) {
    int out[2];
    if (pipe(out) != 0) return std::string("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDERR_FILENO);
      if (refuse && !refuseIoUring()) _exit(2);
      const std::string list = source + "/examples/corpus/list.txt";
      const std::string root = source + "/examples/corpus";
      execl(EMAIL_VENTRY_BINARY, EMAIL_VENTRY_BINARY, "--list", list.c_str(), "--root",
            root.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[65536];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    // "ms" is a time, not a result.
    std::string stable;
    for (size_t at = 0; at < text.size();) {
      const size_t ms = text.find("\"ms\":", at);
      if (ms == std::string::npos) {
        stable += text.substr(at);
        break;
      }
      stable += text.substr(at, ms - at) + "\"ms\":";
      at = text.find_first_not_of("0123456789", ms + 5);
    }
    return stable;
  };
  const std::string withRing = run(false);
  EXPECT_NE(withRing.find("\"name\":\"01-plain.eml\""), std::string::npos);
  EXPECT_EQ(run(true), withRing);
}

}  // namespace
