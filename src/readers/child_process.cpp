#include "readers/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace readers {
namespace {

// Bytes of a request the socket takes before the reader reads any: most messages fit, so
// the reader starts on them while the tool parses and probes.
constexpr int kSendBuffer = 1024 * 1024;

std::string describe(std::string_view what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// `fd` moved to a number above the standard three (a tool started with one of them closed
// would otherwise hand it out), close-on-exec.
int aboveStdio(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execShell(const char* const argv[], int in, int out, int err, pid_t parent) {
  ::setpgid(0, 0);
  // Killed with the thread that started it, so no reader outlives a killed tool.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  // Default actions for every signal (an ignored SIGPIPE, say, would survive exec).
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  // The standard three, moved above 2 first so that no dup2 overwrites another's source.
  int from[3] = {in, out, err};
  for (int i = 0; i < 3; ++i) from[i] = ::fcntl(from[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (from[0] < 0 || from[1] < 0) ::_exit(127);
  if (from[2] < 0) from[2] = ::open("/dev/null", O_WRONLY);
  for (int i = 0; i < 3; ++i) {
    if (::dup2(from[i], i) < 0) ::_exit(127);
  }
  // Everything else is close-on-exec already; this also catches descriptors other parts of
  // the process opened without it.
  ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve("/bin/sh", const_cast<char* const*>(argv), environ);
  ::_exit(127);
}

std::optional<ChildEnd> endFromInfo(const siginfo_t& info) {
  if (info.si_pid == 0) return std::nullopt;
  ChildEnd end;
  end.signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  end.number = info.si_status;
  return end;
}

}  // namespace

Spawn spawnShell(const std::string& command, int err) {
  Spawn result;
  int channel[2] = {-1, -1};  // [0] ours, [1] the child's standard input
  int output[2] = {-1, -1};   // [0] ours, [1] the child's standard output
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
    result.error = describe("socketpair", errno);
    return result;
  }
  if (::pipe2(output, O_CLOEXEC) != 0) {
    result.error = describe("pipe", errno);
    ::close(channel[0]);
    ::close(channel[1]);
    return result;
  }
  for (int* fd : {&channel[0], &channel[1], &output[0], &output[1]}) *fd = aboveStdio(*fd);
  if (std::min({channel[0], channel[1], output[0], output[1]}) < 0) {
    result.error = describe("fcntl", errno);
    for (int* fd : {&channel[0], &channel[1], &output[0], &output[1]}) closeIfOpen(*fd);
    return result;
  }

  const char* const argv[] = {"sh", "-c", command.c_str(), nullptr};
  const pid_t parent = ::getpid();
  // No signal handler of the tool may run in the child before exec.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  const pid_t pid = ::fork();
  if (pid == 0) execShell(argv, channel[1], output[1], err, parent);
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::close(channel[1]);
  ::close(output[1]);
  if (pid < 0) {
    result.error = describe("fork", forkError);
    ::close(channel[0]);
    ::close(output[0]);
    return result;
  }
  // Both sides set the group, so it exists whichever runs first.
  ::setpgid(pid, pid);
  Child& child = result.child;
  child.pid = pid;
  child.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (child.pidfd >= 0) child.pidfd = aboveStdio(child.pidfd);
  child.in = channel[0];
  child.out = output[0];
  ::fcntl(child.in, F_SETFL, O_NONBLOCK);
  ::fcntl(child.out, F_SETFL, O_NONBLOCK);
  ::setsockopt(child.in, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  return result;
}

std::optional<ChildEnd> endOf(const Child& child) {
  if (child.pid <= 0) return std::nullopt;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return std::nullopt;
  }
  return endFromInfo(info);
}

std::optional<ChildEnd> waitForEnd(const Child& child, Clock::time_point deadline,
                                   bool (*stopRequested)()) {
  for (;;) {
    if (auto end = endOf(child)) return end;
    const auto now = Clock::now();
    if (now >= deadline || (stopRequested != nullptr && stopRequested())) return std::nullopt;
    // A slice at a time, so that a stop request is seen; without a pidfd, a short one.
    const auto slice = std::chrono::milliseconds(child.pidfd >= 0 ? 100 : 10);
    const auto wait = std::min<Clock::duration>(deadline - now, slice);
    const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
    if (child.pidfd >= 0) {
      pollfd ended{child.pidfd, POLLIN, 0};
      ::poll(&ended, 1, ms);
    } else {
      ::poll(nullptr, 0, ms);
    }
  }
}

std::string describeEnd(ChildEnd end) {
  return (end.signaled ? "killed by signal " : "exited with status ") + std::to_string(end.number);
}

void killChild(Child& child) {
  if (child.pid > 0) {
    // The child is not reaped yet, so its id (and its group's) is still its own.
    ::kill(-child.pid, SIGKILL);
    ::kill(child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  child.pid = -1;
  closeIfOpen(child.pidfd);
  closeIfOpen(child.in);
  closeIfOpen(child.out);
}

}  // namespace readers
