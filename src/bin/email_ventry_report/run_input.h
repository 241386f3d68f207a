// One input of the report: a file named on the command line, or standard input ("-"), read
// line by line through a LineReader. A regular file can also give back any of its lines by
// number (it keeps where every 16th line starts), which is how the comparison reads a name
// again instead of holding it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "email_ventry_report/line_reader.h"
#include "email_ventry_report/report.h"

namespace report {

// A line of an input, as the report takes it.
struct InputLine {
  std::string text;     // without its "\n"
  uint64_t number = 0;  // 1-based
  LineEnd end = LineEnd::Ended;
  bool overlong = false;  // longer than the limit: `text` is empty
};

class RunInput {
 public:
  // Lines longer than `maxLine` bytes come as overlong. With `indexLines`, a regular file keeps
  // what `lineAt` needs (8 bytes for every 16 lines).
  RunInput(std::string name, size_t maxLine, bool indexLines = false);
  ~RunInput();
  RunInput(const RunInput&) = delete;
  RunInput& operator=(const RunInput&) = delete;

  const std::string& name() const { return name_; }

  // Opens the input; false, after a message on standard error, when it cannot be opened.
  bool open();

  // The next line; false at the end, or after a read error (with a message on standard
  // error, and `failed` true).
  bool next(InputLine& line);
  bool failed() const { return failed_; }

  // Whether lines can be read back (a regular file, indexed).
  bool rereadable() const { return rereadable_; }

  // A regular file's size when opened (else 0), and the bytes read so far.
  uint64_t size() const { return size_; }
  uint64_t bytesRead() const { return bytesRead_; }

  // Line `number` (1-based, one already read) read again from the file, without its line end;
  // nothing when it cannot be read or is longer than the limit.
  std::optional<std::string> lineAt(uint64_t number) const;

 private:
  std::string name_;
  size_t maxLine_;
  bool indexLines_;
  std::FILE* file_ = nullptr;
  std::optional<LineReader> reader_;
  uint64_t lineNumber_ = 0;
  bool failed_ = false;
  bool rereadable_ = false;
  uint64_t origin_ = 0;  // the file offset where reading began
  uint64_t size_ = 0;
  uint64_t bytesRead_ = 0;
  std::vector<uint64_t> starts_;  // where lines 1, 17, 33, ... start
};

}  // namespace report
