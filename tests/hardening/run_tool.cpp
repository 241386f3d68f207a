#include "hardening/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace hardening {

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ventry-hardening-XXXXXX");
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
  std::string full = path_ + "/" + name;
  std::ofstream(full, std::ios::binary) << bytes;
  return full;
}

ToolRun runTool(const std::vector<std::string>& args, Stdout stdoutKind,
                std::chrono::milliseconds limit, uint64_t addressSpace) {
  ToolRun run;
  TempDir scratch;
  std::string outPath = scratch.path() + "/stdout";
  std::string errPath = scratch.path() + "/stderr";

  int pipeFds[2] = {-1, -1};
  if (stdoutKind == Stdout::ClosedPipe) {
    if (pipe(pipeFds) != 0) return run;
    // The read end is gone before the child exists, so no write can succeed.
    close(pipeFds[0]);
  }

  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) return run;
  if (child == 0) {
    // The child starts with default signal handling, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    if (addressSpace != 0) {
      const rlimit space{addressSpace, addressSpace};
      if (setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
    }
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    switch (stdoutKind) {
      case Stdout::File:
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        break;
      case Stdout::DevFull:
        dup2(open("/dev/full", O_WRONLY), 1);
        break;
      case Stdout::ClosedPipe:
        dup2(pipeFds[1], 1);
        close(pipeFds[1]);
        break;
      case Stdout::Closed:
        close(1);
        break;
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (stdoutKind == Stdout::ClosedPipe) close(pipeFds[1]);

  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (true) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      run.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!run.timedOut) {
    if (WIFSIGNALED(status)) {
      run.signaled = true;
      run.signal = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
      run.status = WEXITSTATUS(status);
    }
  }
  if (stdoutKind == Stdout::File) run.out = readAll(outPath);
  run.err = readAll(errPath);
  return run;
}

}  // namespace hardening
