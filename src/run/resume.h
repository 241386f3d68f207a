// The output file of a run (--output) and resuming a run that stopped (--resume): the file
// holds the records of the first K messages of this very run, perhaps followed by a cut line.
// The records are checked, in order, against the messages the run would write; the run then
// writes the rest after them. Nothing in the file changes before the check has passed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corpus/expand.h"
#include "record/record_reader.h"
#include "run/console.h"

namespace run {

struct OutputFile {
  int fd = -1;        // when opened
  std::string error;  // the diagnostic when not
};

// Opens `path` for the records: created or truncated, or with `resume` created if missing and
// kept as it is, opened for reading and appending (a regular file only). Either way the file
// is locked against a second run writing it at once, where the file system offers locks.
OutputFile openOutput(const std::string& path, bool resume);

// What is checked of the written records (and a refusal names the first record that fails):
// each whole line has the record's shape (record_reader.h); its name is the name of the run's
// message at that place; over a list without containers, a record read without readError has
// as many "bytes" as the file has now; an mbox message's offset is where the framing of the
// file finds a message (for the last record of that mbox taken, where the framing resumes;
// before it, the numbers run from 1 and the offsets rise); there are no more records than the
// run has messages.
class Resume final : public corpus::WrittenRecords {
 public:
  // `fd`: the output file, opened by openOutput with `resume`; `path`: its name for
  // diagnostics.
  Resume(int fd, std::string path);

  // Says "resumed after K records" on `console` when the run starts writing (now, if it has).
  void reportTo(Console& console);

  // A run over a list without containers: takes the written records of the first entries and
  // returns how many they are (0 when refused).
  size_t takeEntries(std::span<const std::string_view> entries, std::string_view root);

  // A run over containers: what the expansion asks.
  Verdict take(std::string_view name) override;
  bool taking() const override { return state_ == State::Taking; }
  bool refused() const override { return state_ == State::Refused; }
  std::optional<MboxMark> takeMboxMessages(std::string_view mbox) override;
  void refuseTaken(std::string_view why) override;

  // After a run that went through all its messages: refuses records beyond them; when the
  // run had nothing left to write, drops a cut line after the records.
  void finish();

  // The diagnostic of a refusal.
  const std::string& failure() const { return failure_; }
  uint64_t recordsTaken() const { return taken_; }

 private:
  enum class State { Taking, Writing, Refused };

  // The next whole written record, read ahead; null when none is left (or refused).
  const ventry::WrittenRecord* peek();
  void refuse(const ventry::WrittenRecord& record, std::string_view why);
  void startWriting();

  const int fd_;
  const std::string path_;
  ventry::RecordLineReader reader_;
  State state_ = State::Taking;
  ventry::WrittenRecord next_;
  bool nextRead_ = false;       // next_ holds the record after the last taken one
  bool nextWhole_ = false;      // ... and it is a whole record (not the end)
  ventry::WrittenRecord last_;  // the last record taken
  uint64_t taken_ = 0;
  std::string failure_;
  Console* console_ = nullptr;
};

}  // namespace run
