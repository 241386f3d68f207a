// A reader under test as a child process: started through the shell in a process group of
// its own, its standard input and output connected to the tool, its standard error shared.
// Safe to start from any thread of a threaded program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace readers {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;  // also the process group's id
  int pidfd = -1;  // readable once the child has ended; -1 where the kernel has no pidfds
  int in = -1;     // the child's standard input: a non-blocking stream socket (send with
                   // MSG_NOSIGNAL, so a child that is gone gives EPIPE, never SIGPIPE)
  int out = -1;    // the child's standard output: a non-blocking pipe
};

struct Spawn {
  Child child;        // pid -1 when it could not be started
  std::string error;  // what failed ("fork: Resource temporarily unavailable")
};

// Runs `/bin/sh -c command` with default signal handling and no signal blocked, no
// descriptor of the tool but the three standard ones, and standard error on `err`. The
// child is killed when the thread that started it ends.
Spawn spawnShell(const std::string& command, int err);

// How a child ended.
struct ChildEnd {
  bool signaled = false;  // killed by signal `number`; otherwise exited with status `number`
  int number = 0;
};

// The child's end, if it has ended. The child is not reaped, so its process group can still
// be killed without the risk of its id being taken by another process.
std::optional<ChildEnd> endOf(const Child& child);

// Waits until `deadline` (or until `stopRequested`, when given, says so) for the child to
// end.
std::optional<ChildEnd> waitForEnd(const Child& child, Clock::time_point deadline,
                                   bool (*stopRequested)());

// "exited with status N" or "killed by signal N".
std::string describeEnd(ChildEnd end);

// Kills the child's process group, reaps the child and closes the descriptors; the child is
// then as never started.
void killChild(Child& child);

}  // namespace readers
