// The run loop as a pipeline: a read stage (batched file reads), a work stage (the probe and
// the reader, on one thread or on --jobs threads) and an ordered write stage (records leave
// in list order, each line whole).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "corpus/expand.h"
#include "run/shard.h"

namespace run {

struct RunOptions {
  std::string root = ".";
  bool threaded = false;     // --jobs given: work threads and batched writes
  unsigned jobs = 1;         // work threads when threaded
  Shard shard;               // the slice of the entries this run takes
  bool progress = false;     // progress on standard error
  uint64_t memoryLimit = 0;  // bytes one message may use; 0: defaultMemoryLimit
  bool preferUring = true;   // false: plain reads even where io_uring works
  bool expand = false;       // entries may be containers: one record per message inside
  corpus::ExpandOptions expandOptions;
  // --resume: `out` is the output file (openOutput with resume), named `outputPath`, whose
  // records of this run's first messages are checked and kept; the run writes the rest.
  bool resume = false;
  std::string outputPath;
  // A reader under test instead of the built-in reader: this shell command, one co-process
  // per work thread (coprocess_reader.h), each message bounded by the timeout.
  bool coprocessReader = false;
  std::string readerCommand;
  uint64_t readerTimeoutSeconds = 60;
  int out = STDOUT_FILENO;
  int err = STDERR_FILENO;
};

// Most messages in flight at once with --jobs (read, being worked on, or waiting for their
// turn to be written): 128 per thread, at least 256 and at most 1024, whatever the corpus.
// Over containers always the most: the thread that expands them also works on messages, and
// while it is away (on a message of its own, or not running on a busy machine) the others
// live on the messages it handed over.
// Reading ahead also pauses while the messages in flight hold more than kMaxBytesInFlight
// bytes, so large messages do not multiply by the window (one batch may go beyond it).
inline constexpr size_t kWindowPerJob = 128;
inline constexpr size_t kMinWindow = 256;
inline constexpr size_t kMaxWindow = 1024;
inline constexpr uint64_t kMaxBytesInFlight = 256 * 1024 * 1024;
// Finished records gathered for one write with --jobs (fewer when the window needs room or
// nothing else is left to do).
inline constexpr size_t kWriteBatch = 32;

// Runs over the list's entries (the ones of the options' shard) and writes one record line
// per entry on `options.out`, diagnostics on `options.err`. Returns the exit status: 0
// after a complete run, 101 when the output fails, a resume is refused or a reader under test
// cannot be started (before the first record) or started again (before the record it was
// needed for), 128 + the signal when SIGINT or SIGTERM stopped it.
int runEntries(std::span<const std::string_view> entries, const RunOptions& options);

}  // namespace run
