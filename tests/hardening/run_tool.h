// Runs the built tool as a child process with a chosen standard output and a time limit,
// for the end-to-end failure tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hardening {

// Where the child's standard output goes.
enum class Stdout {
  File,        // a temporary file whose content is returned
  DevFull,     // /dev/full: every write fails with ENOSPC
  ClosedPipe,  // a pipe whose read end is closed before the child starts
  Closed,      // descriptor 1 closed
};

struct ToolRun {
  bool timedOut = false;  // killed after the time limit
  bool signaled = false;  // ended by a signal (the number is in `signal`)
  int signal = 0;
  int status = -1;  // exit status when it exited
  std::string out;  // standard output (Stdout::File only)
  std::string err;  // standard error
};

// `addressSpace`, when not 0, is the child's RLIMIT_AS in bytes.
ToolRun runTool(const std::vector<std::string>& args, Stdout stdoutKind,
                std::chrono::milliseconds limit, uint64_t addressSpace = 0);

// A fresh empty directory under the system's temporary folder, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `bytes` to path()/name and returns the full path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

}  // namespace hardening
