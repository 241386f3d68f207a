// The process entry's logic: argument scan, the self-test switch and the corpus run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/mbox.h"
#include "email/reader.h"
#include "email_ventry/record.h"
#include "run/shard.h"

namespace ventry {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitSelftestFailed = 1;
inline constexpr int kExitAbnormal = 101;

// Longest reader failure text a record carries, in Unicode scalar values.
inline constexpr size_t kMaxErrorCodePoints = 160;

// Most work threads --jobs gives.
inline constexpr unsigned kMaxJobs = 1024;

struct Options {
  bool selftest = false;  // "--selftest" anywhere wins over everything else
  bool hasList = false;   // "--list" with a following argument
  std::string list;
  std::string root = ".";
  // Opt-in run options. Each takes its first occurrence; a value that cannot be read is
  // named in `invalid` (the run then stops before any record).
  bool threaded = false;     // "--jobs N"
  unsigned jobs = 1;         // 0 in the argument: one per online core
  run::Shard shard;          // "--shard K/N"
  bool progress = false;     // "--progress"
  uint64_t memoryLimit = 0;  // "--memory-limit MIB", in bytes; 0: the default
  bool plainReads = false;   // "--plain-reads": no io_uring
  bool expand = false;       // "--expand": containers give one record per message inside
  bool hasInput = false;     // "--input PATH": one entry, expanded, instead of a list
  std::string input;
  corpus::MboxFormat mboxFormat = corpus::MboxFormat::Mboxrd;  // "--mbox-format F"
  bool hasExtract = false;  // "--extract NAME": the bytes measured for a record's name
  std::string extract;
  std::string invalid;  // diagnostic for an option value that cannot be read
};

// Options are whole arguments compared exactly; the first occurrence of each option counts
// and takes the next argument whatever it is; everything else is ignored. `args` includes
// the program name.
Options scanArguments(const std::vector<std::string_view>& args);

// Fills the reader's part of `record` from its outcome: counts, loss pairs and channels for
// a read summary, or outcome "threw" with the failure text cut to 160 characters.
void fillFromOutcome(MessageRecord& record, email::ReadOutcome&& outcome);

// Runs the whole tool and returns the exit status. Diagnostics go to standard error; records
// (or the self-test's line) to standard output.
int runTool(const std::vector<std::string_view>& args);

}  // namespace ventry
