// email_ventry_report: reads the JSON lines of email_ventry runs (files, or "-" for standard
// input) and prints one fidelity report.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "email_ventry_report/line_reader.h"
#include "email_ventry_report/render.h"
#include "email_ventry_report/report.h"

namespace {

constexpr size_t kMaxLine = 16 * 1024 * 1024;

constexpr const char* kUsage =
    "usage: email_ventry_report [--format text|markdown|json|html] [--examples N] [FILE|-]...\n"
    "Reads message records (one JSON object per line) from the files, or from standard input\n"
    "when none is named, and prints the fidelity report on standard output.\n";

// Returns false when the stream could not be read to its end.
bool readStream(report::Report& report, std::FILE* file, std::string_view source) {
  report::LineReader reader(file, kMaxLine);
  std::string line;
  uint64_t lineNumber = 0;
  for (;;) {
    report::LineStatus status = reader.next(line);
    if (status == report::LineStatus::End) return true;
    if (status == report::LineStatus::Error) return false;
    ++lineNumber;
    if (status == report::LineStatus::Overlong) {
      ++report.lines;
      report::addMalformed(report, source, lineNumber, "line longer than 16 MiB");
    } else {
      report::addLine(report, line, source, lineNumber);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  report::Format format = report::Format::Text;
  size_t examples = 5;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((arg == "--format" || arg == "--examples") && i + 1 >= argc) {
      std::fprintf(stderr, "email_ventry_report: %s needs a value\n%s", argv[i], kUsage);
      return 2;
    }
    if (arg == "--format") {
      auto parsed = report::parseFormat(argv[++i]);
      if (!parsed) {
        std::fprintf(stderr, "email_ventry_report: unknown format \"%s\"\n%s", argv[i], kUsage);
        return 2;
      }
      format = *parsed;
    } else if (arg == "--examples") {
      std::string_view v = argv[++i];
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), examples);
      if (ec != std::errc() || end != v.data() + v.size() || examples > 100000) {
        std::fprintf(stderr, "email_ventry_report: --examples wants a number up to 100000\n");
        return 2;
      }
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "email_ventry_report: unknown option \"%s\"\n%s", argv[i], kUsage);
      return 2;
    } else {
      inputs.emplace_back(arg);
    }
  }
  if (inputs.empty()) inputs.emplace_back("-");

  report::Report report = report::makeReport(examples);
  bool allRead = true;
  for (const std::string& input : inputs) {
    if (input == "-") {
      if (!readStream(report, stdin, "-")) {
        std::fprintf(stderr, "email_ventry_report: read standard input: %s\n",
                     std::strerror(errno));
        allRead = false;
      }
      continue;
    }
    std::FILE* file = std::fopen(input.c_str(), "rb");
    if (!file) {
      std::fprintf(stderr, "email_ventry_report: open %s: %s\n", input.c_str(),
                   std::strerror(errno));
      allRead = false;
      continue;
    }
    if (!readStream(report, file, input)) {
      std::fprintf(stderr, "email_ventry_report: read %s: %s\n", input.c_str(),
                   std::strerror(errno));
      allRead = false;
    }
    std::fclose(file);
  }

  std::string out = report::render(report, format);
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "email_ventry_report: write report: %s\n", std::strerror(errno));
    return 1;
  }
  return allRead ? 0 : 1;
}
