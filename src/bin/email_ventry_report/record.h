// One email_ventry message record as the report reads it: the members it looks at, parsed
// from one JSON line, and the reader-notice / probe-condition pairs it judges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace report {

// What became of a list entry. An unreadable entry (a record with "readError") never reached
// the reader, whatever its outcome says; "failed" is a message that could not be processed
// (a resource limit), apart from "threw", the reader's rejection.
enum class Status { Ok, Threw, Failed, Unreadable };

// "ok", "threw", "failed" or "unreadable".
std::string_view statusName(Status status);

// A probe member and a digest of its value (for telling which members changed).
struct ProbeMember {
  std::string key;
  uint64_t digest = 0;
  friend bool operator==(const ProbeMember&, const ProbeMember&) = default;
};

struct Record {
  std::string name;
  uint64_t bytes = 0;
  uint64_t ms = 0;
  Status status = Status::Ok;
  std::string error;      // outcome "threw" or "failed": the failure text
  std::string readError;  // Status::Unreadable: the system's description
  std::vector<std::string> lossIds;
  bool gotHtml = false, gotText = false;
  uint64_t gotAttachments = 0, gotTo = 0, gotCc = 0;
  bool hasProbe = false;  // only a "failed" record may lack its probe
  // Probe members.
  bool hdrTo = false, hdrCc = false, hdrToEmpty = false, hdrCcEmpty = false, hdrDate = false;
  bool encWordSubject = false, encWordAny = false, parseErr = false;
  std::string topCt;
  uint64_t plainNonempty = 0, htmlNonempty = 0, calUnnamed = 0, otherTextualUnnamed = 0;
  uint64_t rfc822Unnamed = 0, cidParts = 0, attachDecl = 0, oversize = 0;
  bool remoteRefsInHtml = false, scriptInHtml = false, undeclNonAscii = false;
  bool formatFlowed = false, signedMsg = false, encrypted = false, reportMsg = false;
  // Filled only when asked for: a digest of the whole probe (independent of member order)
  // and one per member, sorted by key (the parsed object keeps its members sorted).
  uint64_t probeDigest = 0;
  std::vector<ProbeMember> probeMembers;

  friend bool operator==(const Record&, const Record&) = default;
};

// What one line turned out to be: a record, or why it is not one. Both views stay valid until
// the parser that returned them reads the next line.
struct ParsedLine {
  const Record* record = nullptr;
  std::string_view problem;  // set when `record` is null
};

// Reads record lines one after another, reusing its buffers from line to line. A line is read
// in place (a streaming JSON reader, no document tree) whenever it is a well-formed record
// whose members have their plain forms; any other line (invalid JSON, a member missing, of the
// wrong type or repeated, escapes in keys, numbers other than unsigned 64-bit integers,
// control bytes, nesting deeper than a record) is handed to `parseRecordTree`, which decides
// and words the outcome. Either way the result is the same.
class RecordParser {
 public:
  RecordParser();
  ~RecordParser();
  RecordParser(RecordParser&&) noexcept;
  RecordParser& operator=(RecordParser&&) noexcept;

  // Parses one line (without its line end). With `digests`, the probe digests are filled too.
  ParsedLine parse(std::string_view line, bool digests = false);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Parses one line (without its line end) into a record, or returns why it is not one. With
// `digests`, the probe digests are filled as well. (A RecordParser for a single line.)
std::variant<Record, std::string> parseRecord(std::string_view line, bool digests = false);

// The same, through a JSON document tree: the reading RecordParser falls back to for every
// line that is not a record in its plain form; the fuzz target holds the two against each
// other.
std::variant<Record, std::string> parseRecordTree(std::string_view line, bool digests = false);

// A loss notice and the probe condition that should trigger it.
struct PairedFeature {
  std::string_view feature;    // feature ID without "email.read.", e.g. "calendar.detect"
  std::string_view condition;  // the probe condition as written, e.g. "calUnnamed > 0"
  bool (*seen)(const Record&);
};

// The pairs in report order (at most 16).
std::span<const PairedFeature> pairedFeatures();

// Whether the record carries the notice "email.read.<feature>".
bool hasNotice(const Record& record, std::string_view feature);

// How a record's notice and condition pair up for one feature. Only a record whose message
// was read (Status::Ok) is judged.
enum class Verdict { NotJudged, Agree, BothAbsent, Silent, FalseAlarm };

Verdict verdictOf(const Record& record, const PairedFeature& feature);

// The verdict of a read message from whether it carries the notice and meets the condition.
Verdict verdictOf(bool notice, bool condition);

}  // namespace report
