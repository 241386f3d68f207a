// Reads a stream line by line through a fixed buffer, keeping at most a fixed number of
// bytes of one line so that a stream without line ends cannot exhaust memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace report {

enum class LineStatus { Line, Overlong, End, Error };

class LineReader {
 public:
  // `file` stays owned by the caller. Lines longer than `maxLine` bytes are skipped to their
  // end and reported as Overlong.
  LineReader(std::FILE* file, size_t maxLine);

  // The next line without its "\n". A last line without "\n" is still a line.
  LineStatus next(std::string& line);

  // Whether the line just returned ended with "\n" (false for a last line without one).
  bool ended() const { return ended_; }

  // Where the line just returned starts: bytes read from the stream before it.
  uint64_t lineStart() const { return lineStart_; }

  // Bytes of the stream taken so far (up to the end of the line just returned).
  uint64_t position() const { return bufferStart_ + begin_; }

 private:
  bool fill();

  std::FILE* file_;
  size_t maxLine_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t bufferStart_ = 0;  // stream offset of buffer_[0]
  uint64_t lineStart_ = 0;
  bool eof_ = false;
  bool error_ = false;
  bool ended_ = false;
};

}  // namespace report
