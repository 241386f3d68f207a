#include "email_ventry/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "corpus/expand.h"
#include "corpus/list_file.h"
#include "email_ventry/selftest.h"
#include "email_ventry/usage.h"
#include "readers/serve_reader.h"
#include "run/pipeline.h"
#include "run/resume.h"
#include "run/stop_signal.h"
#include "text/text.h"
#include "ventry_version.h"

namespace ventry {
namespace {

// Writes a diagnostic line to standard error; there is nothing to do if that fails.
void complain(std::string_view message) {
  std::string line(message);
  line += '\n';
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int runCorpus(const Options& options) {
  corpus::ListFile list;
  std::vector<std::string_view> entries;
  if (options.hasInput) {
    entries.push_back(options.input);
  } else {
    list = corpus::readListFile(options.list);
    if (!list.ok) {
      complain("read --list file: " + list.error);
      return kExitAbnormal;
    }
    entries = corpus::splitListEntries(list.text);
  }
  run::RunOptions runOptions = options.run;
  runOptions.expand = runOptions.expand || options.hasInput;
  // Opened once the list has been read, so that a list that fails leaves the file alone.
  if (options.hasOutput) {
    const run::OutputFile output = run::openOutput(options.output, options.run.resume);
    if (output.fd < 0) {
      complain(output.error);
      return kExitAbnormal;
    }
    runOptions.out = output.fd;
    runOptions.outputPath = options.output;
  }
  run::catchStopSignals();
  int status = run::runEntries(entries, runOptions);
  if (options.hasOutput && ::close(runOptions.out) != 0 && status == kExitOk) {
    // A file system may report a failed write only now.
    complain("write --output file \"" + options.output + "\": " + std::strerror(errno));
    status = kExitAbnormal;
  }
  return status;
}

// Writes the bytes measured for one record's name to standard output.
int runExtract(const Options& options) {
  corpus::ExpandOptions expand = options.run.expandOptions;
  if (options.run.memoryLimit != 0) expand.maxMessageBytes = options.run.memoryLimit;
  const corpus::Extracted found = corpus::extractMessage(options.extract, options.run.root, expand);
  if (!found.ok) {
    complain("extract: " + found.error);
    return kExitAbnormal;
  }
  size_t done = 0;
  while (done < found.bytes.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, found.bytes.data() + done, found.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      complain(std::string("extract: write: ") + std::strerror(n < 0 ? errno : EIO));
      return kExitAbnormal;
    }
    done += static_cast<size_t>(n);
  }
  return kExitOk;
}

}  // namespace

Options scanArguments(const std::vector<std::string_view>& args) {
  Options options;
  bool rootSeen = false;
  bool jobsSeen = false;
  bool shardSeen = false;
  bool limitSeen = false;
  bool formatSeen = false;
  bool readerSeen = false;
  bool timeoutSeen = false;
  size_t listValueAt = 0;  // 0: none (the program name is never a value)
  size_t rootValueAt = 0;
  bool help = false;
  bool version = false;
  auto invalid = [&options](std::string message) {
    if (options.invalid.empty()) options.invalid = std::move(message);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool hasValue = i + 1 < args.size();
    const std::string_view value = hasValue ? args[i + 1] : std::string_view();
    if (i != 0 && i != listValueAt && i != rootValueAt) {
      help = help || arg == "--help";
      version = version || arg == "--version";
    }
    if (arg == "--selftest") {
      options.selftest = true;
    } else if (arg == "--list" && !options.hasList) {
      // The first "--list" decides, even when it is the last argument (then it is missing).
      listValueAt = i + 1;
      if (hasValue) options.list = value;
      options.hasList = hasValue;
      if (!options.hasList) break;
    } else if (arg == "--root" && !rootSeen) {
      rootSeen = true;
      rootValueAt = i + 1;
      if (hasValue) options.run.root = value;
    } else if (arg == "--jobs" && !jobsSeen) {
      jobsSeen = true;
      const auto jobs = text::parseDecimal(value);
      if (!jobs || *jobs > kMaxJobs) {
        invalid("--jobs needs a number of threads from 0 (one per core) to " +
                std::to_string(kMaxJobs));
      } else {
        options.run.threaded = true;
        options.run.jobs = static_cast<unsigned>(*jobs);
      }
    } else if (arg == "--shard" && !shardSeen) {
      shardSeen = true;
      const auto shard = run::parseShard(value);
      if (!shard) {
        invalid("--shard needs K/N with 0 <= K < N");
      } else {
        options.run.shard = *shard;
      }
    } else if (arg == "--memory-limit" && !limitSeen) {
      limitSeen = true;
      const auto mebibytes = text::parseDecimal(value);
      if (!mebibytes || *mebibytes == 0 || *mebibytes > (uint64_t{1} << 40)) {
        invalid("--memory-limit needs a number of MiB");
      } else {
        options.run.memoryLimit = *mebibytes * 1024 * 1024;
      }
    } else if (arg == "--input" && !options.hasInput) {
      options.hasInput = hasValue;
      if (hasValue) {
        options.input = value;
      } else {
        invalid("--input needs a path");
      }
    } else if (arg == "--extract" && !options.hasExtract) {
      options.hasExtract = hasValue;
      if (hasValue) {
        options.extract = value;
      } else {
        invalid("--extract needs a record's name");
      }
    } else if (arg == "--mbox-format" && !formatSeen) {
      formatSeen = true;
      const auto format = corpus::parseMboxFormat(value);
      if (!format) {
        invalid("--mbox-format needs mboxrd, mboxo or mboxcl2");
      } else {
        options.run.expandOptions.mboxFormat = *format;
      }
    } else if (arg == "--output" && !options.hasOutput) {
      options.hasOutput = hasValue;
      if (hasValue) {
        options.output = value;
      } else {
        invalid("--output needs a file");
      }
    } else if (arg == "--resume") {
      options.run.resume = true;
    } else if (arg == "--reader" && !readerSeen) {
      readerSeen = true;
      options.run.coprocessReader = hasValue;
      if (hasValue) {
        options.run.readerCommand = value;
      } else {
        invalid("--reader needs a command");
      }
    } else if (arg == "--reader-timeout" && !timeoutSeen) {
      timeoutSeen = true;
      const auto seconds = text::parseDecimal(value);
      if (!seconds || *seconds == 0 || *seconds > kMaxReaderTimeout) {
        invalid("--reader-timeout needs a number of seconds from 1 to " +
                std::to_string(kMaxReaderTimeout));
      } else {
        options.run.readerTimeoutSeconds = *seconds;
      }
    } else if (arg == "--serve-reader") {
      options.serveReader = true;
    } else if (arg == "--expand") {
      options.run.expand = true;
    } else if (arg == "--progress") {
      options.run.progress = true;
    } else if (arg == "--plain-reads") {
      options.run.preferUring = false;
    }
  }
  if (options.run.resume && !options.hasOutput) invalid("--resume needs --output FILE");
  options.info = help ? InfoRequest::Help : version ? InfoRequest::Version : InfoRequest::None;
  if (options.run.threaded && options.run.jobs == 0) {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    options.run.jobs = cores > 0 ? static_cast<unsigned>(std::min<long>(cores, kMaxJobs)) : 1;
  }
  return options;
}

int runTool(const std::vector<std::string_view>& args) {
  const Options options = scanArguments(args);
  if (options.info != InfoRequest::None) return printInfo(options.info);
  if (options.selftest) {
    const SelftestResult result = runSelftest();
    if (result.ok) return kExitOk;
    complain(result.failure);
    return kExitSelftestFailed;
  }
  if (options.serveReader) {
    return readers::serveReader(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, "email_ventry",
                                kVersion);
  }
  if (!options.invalid.empty() && (options.hasList || options.hasInput || options.hasExtract)) {
    complain(options.invalid);
    return kExitAbnormal;
  }
  if (options.hasExtract) return runExtract(options);
  if (!options.hasList && !options.hasInput) {
    complain("--list <file of message paths> required");
    return kExitAbnormal;
  }
  if (options.hasList && options.hasInput) {
    complain("--list and --input cannot be used together");
    return kExitAbnormal;
  }
  return runCorpus(options);
}

}  // namespace ventry
