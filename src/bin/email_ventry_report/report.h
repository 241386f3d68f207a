// Aggregation of email_ventry message records (one JSON object per line) into a fidelity
// report: per feature ID, how the reader's loss notices pair with the probe's conditions,
// the risks no notice covers, the entries that were never read, and the timing of the run.
//
// Memory stays constant in the number of records: every list of names is cut to a fixed
// number of examples, grouped counters keep at most a fixed number of keys (the rest is
// counted under "(other)"), and the millisecond figures come from a histogram of the
// integer `ms` values (exact, since the values are whole milliseconds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "email_ventry_report/record.h"

namespace report {

// Names of a kind of outcome, the first `limit` met (in input order).
struct Examples {
  std::vector<std::string> names;
};

// A message name with the text that goes with it (a failure or a read error).
struct NamedText {
  std::string name;
  std::string text;
};

// A reader notice set beside the probe condition that should trigger it.
struct Pairing {
  std::string feature;      // feature ID without "email.read.", e.g. "calendar.detect"
  std::string condition;    // the probe condition as written, e.g. "calUnnamed > 0"
  uint64_t agree = 0;       // notice and condition
  uint64_t bothAbsent = 0;  // neither
  uint64_t silent = 0;      // condition without notice: a silent loss
  uint64_t falseAlarm = 0;  // notice without condition
  Examples silentExamples;
  Examples falseAlarmExamples;
};

// Recipients of one header kind (To or Cc) against the probe's header scan.
struct RecipientCheck {
  std::string header;       // "To" or "Cc"
  uint64_t consistent = 0;  // neither a silent loss nor a disagreement
  uint64_t silentLoss = 0;  // header present and not empty, reader carried none
  uint64_t silentLossWithNotice = 0;
  uint64_t disagreement = 0;  // reader carried entries, probe saw no such header or only empty
  uint64_t disagreementWithNotice = 0;
  Examples silentExamples;
  Examples disagreementExamples;
};

// A probe condition that no notice covers.
struct Risk {
  std::string label;  // probe member, e.g. "signed"
  uint64_t messages = 0;
  Examples examples;
};

// Counts by a text key, at most `kMaxKeys` distinct keys; later new keys go to `other`.
struct GroupCounter {
  static constexpr size_t kMaxKeys = 200;
  std::map<std::string, uint64_t, std::less<>> counts;
  uint64_t other = 0;
};

struct MalformedLine {
  std::string source;  // file name as given, "-" for standard input
  uint64_t line = 0;   // 1-based
  std::string reason;
};

struct SlowMessage {
  uint64_t ms = 0;
  std::string name;
  uint64_t sequence = 0;  // position among the records, for a stable order
};

struct Percentiles {
  uint64_t p50 = 0, p90 = 0, p99 = 0, max = 0;
};

// Whether a line was the last of its input and had no line end: a run stopped while writing
// leaves such a line, and one that is not a record is named as cut, not as malformed.
enum class LineEnd { Ended, Missing };

struct Report {
  static constexpr size_t kMalformedKept = 50;
  static constexpr size_t kSlowestKept = 10;

  size_t exampleLimit = 5;

  uint64_t lines = 0;
  uint64_t records = 0;     // well-formed records
  uint64_t ok = 0;          // read, and the reader returned a summary
  uint64_t threw = 0;       // read, and the reader rejected the message
  uint64_t failed = 0;      // read, but could not be processed (a resource limit)
  uint64_t unreadable = 0;  // the entry could not be read as a regular file
  uint64_t malformed = 0;
  uint64_t cut = 0;                           // a last line without line end that is not a record
  std::vector<MalformedLine> malformedLines;  // the first kMalformedKept, cut lines included

  // Size and timing over all records (saturating sum).
  uint64_t totalBytes = 0;
  std::map<uint64_t, uint64_t> msHistogram;  // ms value -> records
  std::vector<SlowMessage> slowest;          // a min-heap of at most kSlowestKept

  // Reader against probe, over records with outcome "ok" that were read.
  std::vector<Pairing> pairings;
  std::vector<RecipientCheck> recipients;
  uint64_t recipientsNotice = 0;  // ok records carrying a headers.recipients notice

  // Attachments declared by the probe against attachments the reader produced (ok records).
  uint64_t attachEqual = 0;
  uint64_t attachFewer = 0;  // reader produced fewer than declared
  uint64_t attachMore = 0;   // reader produced more than declared
  Examples attachFewerExamples;
  Examples attachMoreExamples;

  // Conditions no notice covers, over the records that were read and carry a probe.
  uint64_t probed = 0;
  std::vector<Risk> risks;

  // Rejection: the probe's parseErr against the reader's outcome (ok and threw records).
  uint64_t parseErrThrew = 0;    // both reject
  uint64_t parseErrOk = 0;       // probe rejects, reader read it
  uint64_t threwNoParseErr = 0;  // reader rejects, probe parsed it
  Examples parseErrOkExamples;
  Examples threwNoParseErrExamples;

  GroupCounter errors;      // "threw" failure texts, digit runs replaced by "#"
  GroupCounter failures;    // "failed" texts, digit runs replaced by "#"
  GroupCounter readErrors;  // why entries were unreadable
  std::vector<NamedText> threwExamples;
  std::vector<NamedText> failedExamples;
  std::vector<NamedText> unreadableExamples;
  GroupCounter topCt;    // root media types ("" shown as "(none)")
  GroupCounter notices;  // messages per notice feature ID (every ID met, known or not)
};

// A fresh report keeping at most `exampleLimit` names of each kind.
Report makeReport(size_t exampleLimit);

// Adds one input line (without its line end). A line that is not a well-formed message
// record is counted as malformed (or, when it is the last line and has no line end, as cut)
// and named with `source` and `lineNumber`; it never stops the aggregation.
void addLine(Report& report, std::string_view line, std::string_view source, uint64_t lineNumber,
             LineEnd end = LineEnd::Ended);

// `addLine` reading through `parser`, whose buffers serve line after line: the way to read a
// whole run. Hands the added record back (valid until the parser reads the next line; null
// for a line that is not one). With `digests`, the record carries the probe digests (see
// `RecordParser::parse`).
const Record* addLine(Report& report, RecordParser& parser, std::string_view line,
                      std::string_view source, uint64_t lineNumber, LineEnd end = LineEnd::Ended,
                      bool digests = false);

// Adds one parsed record.
void addRecord(Report& report, const Record& record);

// Counts a line that is not a record (or that the caller could not take whole).
void addMalformed(Report& report, std::string_view source, uint64_t lineNumber,
                  std::string_view reason, LineEnd end = LineEnd::Ended);

// Counts a line too long to be taken whole (over 16 MiB) as malformed, or as cut when it is
// the last line and has no line end.
void addOverlong(Report& report, std::string_view source, uint64_t lineNumber,
                 LineEnd end = LineEnd::Ended);

// The reason given for a last line without line end that is not a record.
inline constexpr std::string_view kCutReason = "last line cut (run interrupted?)";

// The pairings' counts summed over all features.
struct PairingTotals {
  uint64_t silent = 0, falseAlarm = 0, agree = 0;
};
PairingTotals pairingTotals(const Report& report);

// Nearest-rank percentiles of the records' `ms` values (all zero without records).
Percentiles msPercentiles(const Report& report);

// Records whose `ms` is 1 or more.
uint64_t msAtLeastOne(const Report& report);

// The slowest records, slowest first (ties: earlier record first).
std::vector<SlowMessage> slowestMessages(const Report& report);

// Keys of a counter by count, largest first (ties by key), "(other)" last when used.
std::vector<std::pair<std::string, uint64_t>> sortedGroups(const GroupCounter& counter);

// Cuts UTF-8 text to at most `limit` bytes without splitting a code point ("…" appended).
std::string cutUtf8(std::string_view text, size_t limit);

// The most bytes kept of a text taken from a record (a failure text, a read error, a group
// key) before `cutUtf8` cuts it.
inline constexpr size_t kMaxTextBytes = 160;

}  // namespace report
