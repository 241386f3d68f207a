// Linear-cost measurement over hostile inputs: every generator of adversarial_inputs.h is run
// at several scales (1x, 4x, 16x of its base size by default), each run in a child process
// that builds the input, then times the probe and the reader over it exactly as the tool
// does. The parent takes the child's peak resident memory from wait4 and prints one Markdown
// table row per run, and one verdict per case: the time per input byte must stay within a
// factor of two across the scales. Times are CPU seconds of the child (steadier than wall
// time on a shared machine). Besides the probe and the reader, each run decodes every
// top-level header value and the Content-Disposition, since neither the probe nor the
// reader decodes, say, a Subject.
//
// Usage: adversarial [--scales 1,4,16 | --bytes size] [--budget seconds] [--divisor n]
//                    [case ...]
//   --bytes    runs every case once, at the units that make its input about `size` bytes
//              long (a number with an optional K, M or G suffix, such as 16M); the verdict
//              then gives the peak memory per input byte
//   --budget   wall-clock limit of one run (default 300); a run over it is a TIMEOUT and
//              the case's larger scales are skipped
//   --divisor  divides every base size (quick looks at the shape; default 1)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "adversarial_inputs.h"
#include "email/mime/mime.h"
#include "email/reader.h"
#include "probe/probe.h"

namespace {

struct Options {
  std::vector<size_t> scales = {1, 4, 16};
  size_t bytes = 0;  // when set, one run per case at this input size
  unsigned budgetSeconds = 300;
  size_t divisor = 1;
  std::vector<std::string> names;
};

struct ChildReport {
  uint64_t bytes = 0;
  double probeSeconds = 0;
  double readSeconds = 0;
  double decodeSeconds = 0;
};

struct Run {
  bool finished = false;
  std::string failure;  // "TIMEOUT", "signal 11", "status 1"
  ChildReport report;
  double peakMiB = 0;
};

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Child side: build, probe, read, report through `fd`.
[[noreturn]] void measureInChild(const adversarial::Case& which, size_t units, int fd,
                                 unsigned budget) {
  alarm(budget);
  std::string input = which.build(units);
  ChildReport report;
  report.bytes = input.size();
  double start = cpuSeconds();
  auto probe = ventry::probeMessage(input);
  report.probeSeconds = cpuSeconds() - start;
  start = cpuSeconds();
  auto outcome = email::readMessage(input);
  report.readSeconds = cpuSeconds() - start;
  start = cpuSeconds();
  size_t decoded = 0;
  auto parsed = email::mime::parseMessage(input);
  if (parsed.ok()) {
    for (uint32_t i = 0; i < email::mime::headerCount(parsed, 0); ++i) {
      decoded += email::mime::headerValue(email::mime::headerAt(parsed, 0, i)).size();
    }
    decoded += email::mime::contentDisposition(parsed, 0).params.size();
  }
  report.decodeSeconds = cpuSeconds() - start;
  // Keep the results alive until all are measured.
  if (probe.parts == UINT32_MAX && !outcome.ok && decoded == 1) std::fputs("", stderr);
  bool ok = write(fd, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
  _exit(ok ? 0 : 3);
}

Run measure(const adversarial::Case& which, size_t units, unsigned budget) {
  Run run;
  int fds[2];
  if (pipe(fds) != 0) {
    run.failure = "pipe failed";
    return run;
  }
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    run.failure = "fork failed";
    return run;
  }
  if (child == 0) {
    close(fds[0]);
    measureInChild(which, units, fds[1], budget);
  }
  close(fds[1]);
  ChildReport report;
  ssize_t got = read(fds[0], &report, sizeof report);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
  }
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  if (WIFSIGNALED(status)) {
    run.failure =
        WTERMSIG(status) == SIGALRM ? "TIMEOUT" : "signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0 || got != static_cast<ssize_t>(sizeof report)) {
    run.failure = "status " + std::to_string(WEXITSTATUS(status));
  } else {
    run.finished = true;
    run.report = report;
  }
  return run;
}

// The units for an input of about `bytes`, worked out in a child so that the trial builds
// leave nothing behind in this process (whose pages every measuring child starts with).
size_t unitsInChild(const adversarial::Case& which, size_t bytes) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return 0;
  if (child == 0) {
    close(fds[0]);
    const size_t units = adversarial::unitsForBytes(which, bytes);
    const bool ok = write(fds[1], &units, sizeof units) == static_cast<ssize_t>(sizeof units);
    _exit(ok ? 0 : 3);
  }
  close(fds[1]);
  size_t units = 0;
  if (read(fds[0], &units, sizeof units) != static_cast<ssize_t>(sizeof units)) units = 0;
  close(fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return units;
}

// "16M", "512K", "1G" or a plain byte count; 0 when malformed.
size_t parseSize(const std::string& text) {
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  const std::string_view suffix = end;
  if (suffix.empty()) return number;
  if (suffix == "K" || suffix == "k") return number << 10;
  if (suffix == "M" || suffix == "m") return number << 20;
  if (suffix == "G" || suffix == "g") return number << 30;
  return 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if ((arg == "--scales" || arg == "--budget" || arg == "--divisor" || arg == "--bytes") &&
        i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--bytes") {
        options.bytes = parseSize(value);
        if (options.bytes == 0) return false;
      } else if (arg == "--scales") {
        options.scales.clear();
        for (size_t pos = 0; pos < value.size();) {
          size_t comma = value.find(',', pos);
          if (comma == std::string::npos) comma = value.size();
          options.scales.push_back(std::strtoull(value.c_str() + pos, nullptr, 10));
          pos = comma + 1;
        }
      } else if (arg == "--budget") {
        options.budgetSeconds = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
      } else {
        options.divisor = std::max<size_t>(1, std::strtoull(value.c_str(), nullptr, 10));
      }
    } else if (!arg.empty() && arg[0] != '-') {
      options.names.emplace_back(arg);
    } else {
      return false;
    }
  }
  return !options.scales.empty() && std::none_of(options.scales.begin(), options.scales.end(),
                                                 [](size_t s) { return s == 0; });
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: adversarial [--scales 1,4,16 | --bytes size] [--budget seconds] "
                 "[--divisor n] [case ...]\ncases:");
    for (const auto& c : adversarial::cases()) {
      std::fprintf(stderr, " %.*s", static_cast<int>(c.name.size()), c.name.data());
    }
    std::fprintf(stderr, "\n");
    return 2;
  }

  std::printf(
      "| case | scale | units | input MiB | probe s | read s | decode s | ns/byte | "
      "peak RSS MiB | RSS/input |\n|---|---|---|---|---|---|---|---|---|---|\n");
  std::vector<std::string> verdicts;
  bool allLinear = true;
  for (const auto& which : adversarial::cases()) {
    if (!options.names.empty() &&
        std::find(options.names.begin(), options.names.end(), which.name) == options.names.end()) {
      continue;
    }
    std::vector<double> perByte;
    double largestRatio = 0;
    std::string trouble;
    // With --bytes, one run at the units that give that size (the scale column shows "-").
    const std::vector<size_t> scales = options.bytes != 0 ? std::vector<size_t>{0} : options.scales;
    for (size_t scale : scales) {
      const size_t units = scale == 0
                               ? unitsInChild(which, options.bytes)
                               : std::max<size_t>(1, which.baseUnits / options.divisor) * scale;
      const std::string scaleText = scale == 0 ? "-" : std::to_string(scale) + "x";
      if (units == 0) {
        trouble = "sizing failed";
        break;
      }
      Run run = measure(which, units, options.budgetSeconds);
      if (!run.finished) {
        std::printf("| %.*s | %s | %zu | | | | | %s | %.0f | |\n",
                    static_cast<int>(which.name.size()), which.name.data(), scaleText.c_str(),
                    units, run.failure.c_str(), run.peakMiB);
        std::fflush(stdout);
        trouble = run.failure + " at " + scaleText;
        break;
      }
      double inputMiB = static_cast<double>(run.report.bytes) / (1 << 20);
      double total = run.report.probeSeconds + run.report.readSeconds + run.report.decodeSeconds;
      double nsPerByte = total * 1e9 / static_cast<double>(std::max<uint64_t>(1, run.report.bytes));
      perByte.push_back(nsPerByte);
      largestRatio = std::max(largestRatio, run.peakMiB / std::max(inputMiB, 1e-9));
      std::printf("| %.*s | %s | %zu | %.1f | %.3f | %.3f | %.3f | %.1f | %.0f | %.1f |\n",
                  static_cast<int>(which.name.size()), which.name.data(), scaleText.c_str(), units,
                  inputMiB, run.report.probeSeconds, run.report.readSeconds,
                  run.report.decodeSeconds, nsPerByte, run.peakMiB,
                  run.peakMiB / std::max(inputMiB, 1e-9));
      std::fflush(stdout);
    }
    std::string verdict = std::string(which.name) + ": ";
    if (!trouble.empty()) {
      verdict += trouble;
      allLinear = false;
    } else if (options.bytes != 0) {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "peak RSS %.1fx the input", largestRatio);
      verdict += buffer;
    } else {
      auto [low, high] = std::minmax_element(perByte.begin(), perByte.end());
      double spread = *high / std::max(*low, 1e-12);
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "time/size spread %.2fx ", spread);
      verdict += buffer;
      verdict += spread <= 2.0 ? "(linear)" : "(SUPER-LINEAR)";
      if (spread > 2.0) allLinear = false;
    }
    verdicts.push_back(verdict);
  }
  std::printf("\n");
  for (const auto& verdict : verdicts) std::printf("%s\n", verdict.c_str());
  return allLinear ? 0 : 1;
}
