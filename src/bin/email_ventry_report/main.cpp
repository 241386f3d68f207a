// email_ventry_report: reads the JSON lines of email_ventry runs (files, or "-" for standard
// input) and prints one fidelity report, the comparison of two runs, or the names behind one
// cell of the report.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/list_file.h"
#include "email_ventry_report/compare.h"
#include "email_ventry_report/line_reader.h"
#include "email_ventry_report/render.h"
#include "email_ventry_report/report.h"
#include "email_ventry_report/run_input.h"
#include "ventry_version.h"

namespace {

constexpr size_t kMaxLine = 16 * 1024 * 1024;

// After how many base records the comparison's name set is sized for the whole base run.
constexpr uint64_t kNamesEstimatedAfter = 4096;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitInput = 1;     // an input could not be opened or read (the report is printed)
constexpr int kExitUsage = 2;     // a bad command line
constexpr int kExitFindings = 3;  // --fail-on met what it names

constexpr const char* kUsage =
    "Usage: email_ventry_report [--format F] [--examples N] [FILE|-]...\n"
    "  or:  email_ventry_report --compare BASE NEW [--format F] [--examples N] [--fail-on KINDS]\n"
    "  or:  email_ventry_report --names FEATURE:VERDICT [FILE|-]...\n"
    "  or:  email_ventry_report --help | --version\n"
    "Reads email_ventry's message records (one JSON object per line) from the files, or from\n"
    "standard input when none is named, and prints the fidelity report on standard output.\n"
    "\n"
    "Options:\n"
    "  --format F            text (default), markdown, json or html (one self-contained page)\n"
    "  --examples N          message names kept for each kind of finding (default 5)\n"
    "  --compare BASE NEW    compare two runs over the same corpus, records matched by name:\n"
    "                        silent losses and false alarms per feature before and after, the\n"
    "                        messages that moved, outcome, reader count and probe changes\n"
    "  --fail-on KINDS       with --compare: exit with status 3 when the new run has any of\n"
    "                        the comma-separated KINDS, each one listed on standard error:\n"
    "                        silent-loss, false-alarm, failure, unreadable, probe, missing, or\n"
    "                        any\n"
    "  --names FEATURE:VERDICT\n"
    "                        instead of the report, write the name of every message with that\n"
    "                        verdict for the feature (e.g. mime.nested:silent-loss; verdicts\n"
    "                        silent-loss, false-alarm, agree), one per line, usable as a list\n"
    "                        file for email_ventry\n"
    "  --help                print this text and exit\n"
    "  --version             print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0 when the report was printed, 1 when an input could not be opened or read (the report\n"
    "  is still printed), 2 for a bad command line, 3 when --fail-on found what it names.\n";

struct Options {
  report::Format format = report::Format::Text;
  size_t examples = 5;
  std::vector<std::string> inputs;
  bool compare = false;
  std::vector<report::FindingKind> failOn;
  bool names = false;
  size_t namesFeature = 0;
  report::Verdict namesVerdict = report::Verdict::Silent;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "email_ventry_report: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

std::optional<std::vector<report::FindingKind>> parseKinds(std::string_view list) {
  using report::FindingKind;
  std::vector<FindingKind> out;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view kind = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (kind == "silent-loss") {
      out.push_back(FindingKind::NewSilentLoss);
    } else if (kind == "false-alarm") {
      out.push_back(FindingKind::NewFalseAlarm);
    } else if (kind == "failure") {
      out.push_back(FindingKind::NewFailure);
    } else if (kind == "unreadable") {
      out.push_back(FindingKind::NewUnreadable);
    } else if (kind == "probe") {
      out.push_back(FindingKind::ProbeChanged);
    } else if (kind == "missing") {
      out.push_back(FindingKind::Missing);
    } else if (kind == "any") {
      out.insert(out.end(),
                 {FindingKind::NewSilentLoss, FindingKind::NewFalseAlarm, FindingKind::NewFailure,
                  FindingKind::NewUnreadable, FindingKind::ProbeChanged, FindingKind::Missing});
    } else {
      return std::nullopt;
    }
  }
  if (out.empty()) return std::nullopt;
  return out;
}

// "mime.nested:silent-loss" (the feature with or without "email.read.").
bool parseNames(std::string_view arg, Options& options) {
  const size_t colon = arg.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view feature = arg.substr(0, colon);
  const std::string_view verdict = arg.substr(colon + 1);
  if (feature.substr(0, 11) == "email.read.") feature.remove_prefix(11);
  if (verdict == "silent-loss") {
    options.namesVerdict = report::Verdict::Silent;
  } else if (verdict == "false-alarm") {
    options.namesVerdict = report::Verdict::FalseAlarm;
  } else if (verdict == "agree") {
    options.namesVerdict = report::Verdict::Agree;
  } else {
    return false;
  }
  const auto features = report::pairedFeatures();
  for (size_t i = 0; i < features.size(); ++i) {
    if (features[i].feature == feature) {
      options.namesFeature = i;
      return true;
    }
  }
  return false;
}

std::string featureList() {
  std::string out;
  for (const report::PairedFeature& f : report::pairedFeatures()) {
    out += (out.empty() ? "" : ", ") + std::string(f.feature);
  }
  return out;
}

// Parses the command line; returns an exit status when the program is to stop. --help and
// --version win over any mistake on the line.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
  bool help = false, version = false;
  std::string mistake;
  auto usageError = [&mistake](std::string message) {
    if (mistake.empty()) mistake = std::move(message);
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--format" || arg == "--examples" || arg == "--fail-on" || arg == "--names") {
      if (i + 1 >= argc) {
        usageError(std::string(arg) + " needs a value");
        break;
      }
      const std::string_view value = argv[++i];
      if (arg == "--format") {
        auto parsed = report::parseFormat(value);
        if (parsed) options.format = *parsed;
        if (!parsed) usageError("unknown format \"" + std::string(value) + "\"");
      } else if (arg == "--examples") {
        auto [end, ec] =
            std::from_chars(value.data(), value.data() + value.size(), options.examples);
        if (ec != std::errc() || end != value.data() + value.size() || options.examples > 100000) {
          usageError("--examples wants a number up to 100000");
        }
      } else if (arg == "--fail-on") {
        auto kinds = parseKinds(value);
        if (!kinds) usageError("--fail-on wants kinds such as silent-loss,failure");
        if (kinds) options.failOn.insert(options.failOn.end(), kinds->begin(), kinds->end());
      } else {
        if (!parseNames(value, options)) {
          usageError("--names wants FEATURE:VERDICT with a feature among " + featureList() +
                     " and a verdict silent-loss, false-alarm or agree");
        }
        options.names = true;
      }
    } else if (arg == "--compare") {
      if (i + 2 >= argc) {
        usageError("--compare needs two runs, BASE and NEW");
        break;
      }
      options.compare = true;
      options.inputs.emplace_back(argv[++i]);
      options.inputs.emplace_back(argv[++i]);
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      usageError("unknown option \"" + std::string(arg) + "\"");
    } else {
      options.inputs.emplace_back(arg);
    }
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (version) {
    std::printf("email_ventry_report %s\n", std::string(ventry::kVersion).c_str());
    return kExitOk;
  }
  if (options.compare && options.inputs.size() != 2) {
    usageError("--compare takes exactly two runs and no further inputs");
  }
  if (options.compare && options.names) usageError("--names does not go with --compare");
  if (!options.compare && !options.failOn.empty()) usageError("--fail-on needs --compare");
  if (!mistake.empty()) return fail(mistake);
  if (options.inputs.empty()) options.inputs.emplace_back("-");
  return std::nullopt;
}

// What to do with each line of an input.
using LineSink = std::function<void(std::string_view line, uint64_t lineNumber, report::LineEnd end,
                                    bool overlong)>;

// Reads one input to its end; false (with a message on standard error) when it could not be
// opened or read.
bool readInput(const std::string& input, const LineSink& sink) {
  report::RunInput in(input, kMaxLine);
  if (!in.open()) return false;
  report::InputLine line;
  while (in.next(line)) sink(line.text, line.number, line.end, line.overlong);
  return !in.failed();
}

// When the report is made: SOURCE_DATE_EPOCH when set (for reproducible pages), else now.
std::string madeAt() {
  std::time_t when = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    std::string_view v = epoch;
    long long seconds = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
    if (ec == std::errc() && end == v.data() + v.size()) when = static_cast<std::time_t>(seconds);
  }
  std::tm utc{};
  gmtime_r(&when, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

bool writeOut(const std::string& out) {
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "email_ventry_report: write report: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

int runReport(const Options& options, const report::Meta& meta) {
  report::Report report = report::makeReport(options.examples);
  report::RecordParser parser;
  bool allRead = true;
  for (const std::string& input : options.inputs) {
    allRead &= readInput(
        input, [&](std::string_view line, uint64_t n, report::LineEnd end, bool overlong) {
          if (overlong) {
            report::addOverlong(report, input, n, end);
          } else {
            report::addLine(report, parser, line, input, n, end);
          }
        });
  }
  if (!writeOut(report::render(report, options.format, meta))) return kExitInput;
  return allRead ? kExitOk : kExitInput;
}

// Writes the names behind one cell of the report, one per line, as a list file holds them.
int runNames(const Options& options) {
  const report::PairedFeature& feature = report::pairedFeatures()[options.namesFeature];
  bool allRead = true;
  bool written = true;
  uint64_t unlistable = 0;
  report::RecordParser parser;
  for (const std::string& input : options.inputs) {
    allRead &= readInput(input, [&](std::string_view line, uint64_t, report::LineEnd, bool) {
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      const report::Record* record = parser.parse(line).record;
      if (!record || report::verdictOf(*record, feature) != options.namesVerdict) return;
      // A list entry is one trimmed line that does not start with "#": a name that would not
      // read back as itself is left out and counted.
      const auto entries = corpus::splitListEntries(record->name);
      if (entries.size() != 1 || entries[0] != record->name) {
        ++unlistable;
        return;
      }
      written &=
          std::fwrite(record->name.data(), 1, record->name.size(), stdout) == record->name.size() &&
          std::fputc('\n', stdout) != EOF;
    });
  }
  if (!written || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "email_ventry_report: write names: %s\n", std::strerror(errno));
    return kExitInput;
  }
  if (unlistable > 0) {
    std::fprintf(stderr,
                 "email_ventry_report: %llu names left out: a list file cannot hold them (line "
                 "breaks, a leading \"#\" or white space at either end)\n",
                 static_cast<unsigned long long>(unlistable));
  }
  return allRead ? kExitOk : kExitInput;
}

int runCompare(const Options& options, const report::Meta& meta) {
  report::Comparison comparison = report::makeComparison(options.examples);
  report::RecordParser nameParser;
  uint64_t findings = 0;
  if (!options.failOn.empty()) {
    comparison.onFinding = [&](const report::Finding& f) {
      for (report::FindingKind kind : options.failOn) {
        if (kind != f.kind) continue;
        ++findings;
        std::string line(report::findingName(f.kind));
        line.append("\t").append(report::printable(f.name));
        if (!f.detail.empty()) line.append("\t").append(report::printable(f.detail));
        std::fprintf(stderr, "%s\n", line.c_str());
        return;
      }
    };
  }
  // The two runs are read side by side (see report::wantsBase), so that records in step are
  // compared as they come; both from standard input, the base run is all of it.
  report::RunInput base(options.inputs[0], kMaxLine, /*indexLines=*/true);
  report::RunInput next(options.inputs[1], kMaxLine, /*indexLines=*/true);
  bool allRead = true;
  report::InputLine line;
  auto step = [&](report::RunInput& in, bool isBase) {
    if (!in.next(line)) {
      allRead &= !in.failed();
      isBase ? report::finishBase(comparison) : report::finishNew(comparison);
    } else if (line.overlong) {
      report::addOverlong(isBase ? comparison.base : comparison.next, in.name(), line.number,
                          line.end);
    } else if (isBase) {
      report::addBaseLine(comparison, line.text, in.name(), line.number, line.end);
      if (comparison.baseRecords == kNamesEstimatedAfter && base.size() > 0) {
        // The name set sized for the whole base run at once, from the bytes its first
        // records took, at most one name per 256 bytes (a guess too low only means the set
        // grows as it would have).
        const double perRecord = static_cast<double>(base.bytesRead()) / kNamesEstimatedAfter;
        const uint64_t records =
            static_cast<uint64_t>(static_cast<double>(base.size()) / perRecord);
        comparison.names.reserve(std::min(records, base.size() / 256));
      }
    } else {
      report::addNewLine(comparison, line.text, in.name(), line.number, line.end);
    }
  };
  // Names no longer held are read back from the runs' files when they must be told apart.
  auto nameReader = [&](int run, uint64_t lineNumber) -> std::optional<std::string> {
    std::optional<std::string> text = (run == 0 ? base : next).lineAt(lineNumber);
    if (!text) return std::nullopt;
    std::string_view view = *text;
    if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
    const report::ParsedLine parsed = nameParser.parse(view);
    if (!parsed.record) return std::nullopt;
    return parsed.record->name;
  };
  if (!base.open()) {
    allRead = false;
    report::finishBase(comparison);
  }
  comparison.names.setReader(nameReader, base.rereadable(), false);
  // A base run that cannot be read says so before the new run is opened, as it always has.
  const bool oneStream = options.inputs[0] == "-" && options.inputs[1] == "-";
  while (!comparison.baseEnded && (oneStream || comparison.baseRecords == 0)) step(base, true);
  if (!next.open()) {
    allRead = false;
    report::finishNew(comparison);
  }
  comparison.names.setReader(nameReader, base.rereadable(), next.rereadable());
  while (!comparison.baseEnded || !comparison.newEnded) {
    const bool readBase =
        !comparison.baseEnded && (comparison.newEnded || report::wantsBase(comparison));
    step(readBase ? base : next, readBase);
  }
  report::finishComparison(comparison);
  if (!writeOut(report::renderComparison(comparison, options.format, meta))) return kExitInput;
  if (!allRead) return kExitInput;
  if (findings > 0) {
    std::fprintf(stderr, "email_ventry_report: --fail-on: %llu findings (listed above)\n",
                 static_cast<unsigned long long>(findings));
    return kExitFindings;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto status = parseArguments(argc, argv, options)) return *status;
  if (options.names) return runNames(options);
  report::Meta meta{options.inputs, "email_ventry_report " + std::string(ventry::kVersion),
                    madeAt()};
  return options.compare ? runCompare(options, meta) : runReport(options, meta);
}
