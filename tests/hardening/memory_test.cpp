// Peak memory over the hostile inputs: a child process parses one input of a few MiB once,
// then runs the probe and the reader over that parse as the tool does, and its peak resident
// memory (from wait4) may exceed what it held at the start by at most 16 times the input
// (the input itself included). AddressSanitizer keeps freed memory aside and pads every
// allocation, so sanitizer builds skip the check.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "../../bench/adversarial_inputs.h"
#include "email/mime/mime.h"
#include "email/reader.h"
#include "probe/probe.h"

#if defined(__SANITIZE_ADDRESS__)
#define VENTRY_MEMORY_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VENTRY_MEMORY_TEST_SANITIZED 1
#endif
#endif

namespace {

constexpr size_t kInputBytes = 4 << 20;
constexpr uint64_t kRatio = 16;
constexpr uint64_t kSlackKiB = 4 << 10;  // allocator rounding and the like

// What the child sends back.
struct ChildReport {
  uint64_t inputBytes = 0;
  uint64_t startKiB = 0;
};

uint64_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

[[noreturn]] void runInChild(const adversarial::Case& which, int fd) {
  const size_t units = adversarial::unitsForBytes(which, kInputBytes);
  ChildReport report;
  report.startKiB = residentKiB();
  const std::string input = which.build(units);
  report.inputBytes = input.size();
  const email::mime::ParsedMessage parsed = email::mime::parseMessage(input);
  const ventry::Probe probe = ventry::probeParsed(input, parsed);
  const email::ReadOutcome outcome = email::readParsed(parsed);
  const bool sane = probe.parseErr == !outcome.ok;
  const bool sent = write(fd, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
  _exit(sane && sent ? 0 : 3);
}

struct Peak {
  bool finished = false;
  ChildReport report;
  uint64_t peakKiB = 0;
};

Peak measure(const adversarial::Case& which) {
  Peak peak;
  int fds[2];
  if (pipe(fds) != 0) return peak;
  const pid_t child = fork();
  if (child < 0) return peak;
  if (child == 0) {
    close(fds[0]);
    runInChild(which, fds[1]);
  }
  close(fds[1]);
  const bool got =
      read(fds[0], &peak.report, sizeof peak.report) == static_cast<ssize_t>(sizeof peak.report);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
  }
  peak.finished = got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  peak.peakKiB = static_cast<uint64_t>(usage.ru_maxrss);  // KiB on Linux
  return peak;
}

const adversarial::Case& caseNamed(std::string_view name) {
  for (const auto& which : adversarial::cases()) {
    if (which.name == name) return which;
  }
  ADD_FAILURE() << "no input named " << name;
  return adversarial::cases().front();
}

class PeakMemory : public testing::TestWithParam<std::string_view> {};

TEST_P(PeakMemory, StaysWithin16TimesTheMessage) {
#if defined(VENTRY_MEMORY_TEST_SANITIZED)
  GTEST_SKIP() << "AddressSanitizer changes what memory costs";
#endif
  const Peak peak = measure(caseNamed(GetParam()));
  ASSERT_TRUE(peak.finished);
  const uint64_t inputKiB = peak.report.inputBytes / 1024;
  EXPECT_LE(peak.peakKiB, peak.report.startKiB + kRatio * inputKiB + kSlackKiB)
      << "input " << inputKiB << " KiB, start " << peak.report.startKiB << " KiB";
}

// The shapes that cost 50 to 200 times the message when every part and header was a tree
// node with its own lists, strings and reservations.
INSTANTIATE_TEST_SUITE_P(Inputs, PeakMemory,
                         testing::Values("digest-bare-delimiters", "mixed-bare-delimiters",
                                         "crlf-bare-delimiters", "delimiter-header-pairs",
                                         "short-boundary-siblings", "other-textual-parts",
                                         "empty-groups", "semicolon-mailboxes", "bare-name-lines",
                                         "bare-colon-lines", "empty-value-lines",
                                         "folded-recipients"),
                         [](const auto& info) {
                           std::string name(info.param);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
