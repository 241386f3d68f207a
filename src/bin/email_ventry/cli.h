// The process entry's logic: argument scan, the self-test switch and the corpus run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "email_ventry/usage.h"
#include "run/pipeline.h"

namespace ventry {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitSelftestFailed = 1;
inline constexpr int kExitAbnormal = 101;

// Most work threads --jobs gives.
inline constexpr unsigned kMaxJobs = 1024;

// Longest time --reader-timeout gives a reader under test for one message, in seconds.
inline constexpr uint64_t kMaxReaderTimeout = 1000000;

struct Options {
  bool selftest = false;     // "--selftest" anywhere wins over everything else
  bool serveReader = false;  // "--serve-reader": the built-in reader over the reader protocol
  bool hasList = false;      // "--list" with a following argument
  std::string list;
  // The run's options: "--root DIR" and the opt-in ones. Each takes its first occurrence; a
  // value that cannot be read is named in `invalid` (the run then stops before any record):
  // "--jobs N" (threaded; 0: one per online core), "--shard K/N", "--progress",
  // "--memory-limit MIB", "--plain-reads" (preferUring off), "--expand" (containers give one
  // record per message inside), "--mbox-format F" (in expandOptions), "--resume" (only with
  // --output), "--reader COMMAND" (a reader under test), "--reader-timeout SECONDS".
  run::RunOptions run;
  bool hasOutput = false;  // "--output FILE": the records go to FILE, not standard output
  std::string output;
  bool hasInput = false;  // "--input PATH": one entry, expanded, instead of a list
  std::string input;
  bool hasExtract = false;  // "--extract NAME": the bytes measured for a record's name
  std::string extract;
  std::string invalid;  // diagnostic for an option value that cannot be read
  // "--help" or "--version" anywhere except as the value of the first "--list" or "--root"
  // (those keep their meaning); "--help" wins.
  InfoRequest info = InfoRequest::None;
};

// Options are whole arguments compared exactly; the first occurrence of each option counts
// and takes the next argument whatever it is; everything else is ignored. `args` includes
// the program name.
Options scanArguments(const std::vector<std::string_view>& args);

// Runs the whole tool and returns the exit status. Diagnostics go to standard error; records
// (or the self-test's line) to standard output.
int runTool(const std::vector<std::string_view>& args);

}  // namespace ventry
