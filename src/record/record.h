// The message record: one per list entry, written as one compact JSON line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "email/reader.h"
#include "probe/probe.h"

namespace ventry {

// Longest reader failure text a record carries, in Unicode scalar values.
inline constexpr size_t kMaxErrorCodePoints = 160;

struct MessageRecord {
  std::string name;       // the list entry as written (trimmed)
  uint64_t bytes = 0;     // message bytes read; 0 for an unreadable file
  std::string readError;  // why the entry could not be read; written only when not empty
  uint64_t ms = 0;        // whole milliseconds spent in probe and reader
  bool threw = false;     // outcome "threw" (reader failure text) instead of "ok"
  bool failed = false;    // outcome "failed": the message could not be processed
  std::string error;      // the cut failure text; written only when `threw` or `failed`
  std::vector<email::LossPair> loss;
  bool gotHtml = false;
  bool gotText = false;
  uint64_t gotAttachments = 0;
  uint64_t gotTo = 0;
  uint64_t gotCc = 0;
  bool probeDone = true;  // the probe finished; otherwise the record has no "probe"
  Probe probe;
};

// Fills the reader's part of `record` from its outcome: counts, loss pairs and channels for
// a read summary, or outcome "threw" with the failure text cut to 160 characters.
void fillFromOutcome(MessageRecord& record, email::ReadOutcome&& outcome);

// Outcome "threw" with `failure` as the error, the way fillFromOutcome writes a failure text:
// its lossy decoding when it is not valid UTF-8, cut to kMaxErrorCodePoints.
void setThrew(MessageRecord& record, std::string_view failure);

// Appends `text` as a JSON string: quotes, the escapes \" \\ \b \t \n \f \r and \u00XX for
// the other controls below U+0020; everything else (including "/", U+007F and non-ASCII)
// is copied raw. Text that is not valid UTF-8 is written as its lossy decoding so that the
// line stays valid JSON.
void appendJsonString(std::string& out, std::string_view text);

// Appends the record's JSON object (no line end) to `out`.
void appendRecordJson(std::string& out, const MessageRecord& record);

// Writes the record's line (the object and "\n") at the start of `buffer` and returns it as a
// view into the buffer. The buffer only ever grows: one reused from record to record is not
// cleared or filled again for each line.
std::string_view formatRecordLine(std::string& buffer, const MessageRecord& record);

// Writes one record line (object, "\n") to `fd` with as few write calls as the descriptor
// allows. `line` is the object followed by "\n". On failure returns the diagnostic:
// "serialize record: ..." when the object could not be written, "write record: ..." when
// only its line end could not.
std::optional<std::string> writeRecordLine(int fd, std::string_view line);

// Writes several record lines, in order, with as few write calls as the descriptor allows.
// On failure returns the diagnostic of the line that could not be written whole, as
// writeRecordLine does; the lines before it are written.
std::optional<std::string> writeRecordLines(int fd, std::span<const std::string_view> lines);

// Builds the line for `record` in `buffer` (reused between records) and writes it.
std::optional<std::string> writeRecord(int fd, const MessageRecord& record, std::string& buffer);

}  // namespace ventry
