// Reading record lines back from a file the tool wrote, to resume a run into it: one line at a
// time through a fixed buffer, each whole line checked against the shape the writer gives a
// record. Whatever the file holds, no more than the buffer and one record's name is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ventry {

// Longest name (in its written form) a record line may carry to be read back; a longer one
// makes the line malformed.
inline constexpr size_t kMaxWrittenName = size_t{1} << 20;

// The text a record line holds between the quotes of its "name": `name` with the writer's
// escapes (and a lossy decoding of bytes that are not UTF-8). Names are compared in this
// form, so that nothing read from the file has to be decoded.
std::string writtenName(std::string_view name);

struct WrittenRecord {
  uint64_t line = 0;       // from 1
  uint64_t end = 0;        // file offset just past the line's "\n"
  std::string name;        // written form; on a malformed line what could be read of it
  bool nameWhole = false;  // `name` was read to its closing quote
  uint64_t bytes = 0;
  bool readError = false;  // the record carries "readError"
};

enum class LineStatus {
  Record,     // a whole line of the record's shape
  Malformed,  // a whole line of another shape, or a last line without its line end that is
              // not the start of a record (NUL bytes after it aside): `problem` says what is
              // wrong where
  End,        // no whole line is left; what follows the last one (if anything) is a cut line
  Failed,     // the file could not be read: `problem` says why
};

// The shape of a line is the writer's exactly: one JSON object without white space whose
// members are, in this order, "name", "bytes", "readError" (optional), "ms", "outcome" with
// "error" after "threw" or "failed", "loss" (objects of "id" and "action"), "gotHtml",
// "gotText", "gotAttachments", "gotTo", "gotCc" and "probe" (optional, its members in their
// order), each with a value of its type: strings of valid UTF-8 with the writer's escapes
// only, numbers as decimal digits without a leading zero that fit in 64 bits, true or
// false; then "\n".
class RecordLineReader {
 public:
  // Reads the open file `fd` from its start (pread: the file position is left alone), `chunk`
  // bytes at a time.
  explicit RecordLineReader(int fd, size_t chunk = size_t{64} << 10);
  ~RecordLineReader();
  RecordLineReader(const RecordLineReader&) = delete;
  RecordLineReader& operator=(const RecordLineReader&) = delete;

  LineStatus next(WrittenRecord& record, std::string& problem);

  // File offset just past the last whole line read so far.
  uint64_t wholeEnd() const { return wholeEnd_; }
  // Once next() gave End: bytes after the last whole line (a cut line).
  uint64_t cutBytes() const { return cutBytes_; }

 private:
  bool fill(std::string& problem);

  struct Shape;
  const int fd_;
  const size_t chunk_;
  std::unique_ptr<char[]> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t offset_ = 0;  // file offset of buffer_[end_]
  bool eof_ = false;
  uint64_t line_ = 0;
  uint64_t wholeEnd_ = 0;
  uint64_t cutBytes_ = 0;
  std::unique_ptr<Shape> shape_;
};

}  // namespace ventry
