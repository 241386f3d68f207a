#include "email_ventry_report/line_reader.h"

#include <cstring>

namespace report {

LineReader::LineReader(std::FILE* file, size_t maxLine)
    : file_(file), maxLine_(maxLine), buffer_(1 << 16) {}

bool LineReader::fill() {
  if (eof_ || error_) return false;
  size_t n = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  if (n == 0) {
    if (std::ferror(file_)) error_ = true;
    eof_ = true;
    return false;
  }
  bufferStart_ += end_;
  begin_ = 0;
  end_ = n;
  return true;
}

LineStatus LineReader::next(std::string& line) {
  line.clear();
  ended_ = false;
  bool overlong = false;
  bool any = false;
  for (;;) {
    if (begin_ == end_ && !fill()) break;
    if (!any) lineStart_ = bufferStart_ + begin_;
    any = true;
    const char* start = buffer_.data() + begin_;
    const void* nl = std::memchr(start, '\n', end_ - begin_);
    size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) : end_ - begin_;
    if (!overlong) {
      if (line.size() + take > maxLine_) {
        overlong = true;
        line.clear();
      } else {
        line.append(start, take);
      }
    }
    begin_ += take;
    if (nl) {
      ++begin_;
      ended_ = true;
      return overlong ? LineStatus::Overlong : LineStatus::Line;
    }
  }
  if (error_ && !any) return LineStatus::Error;
  if (!any) return LineStatus::End;
  return overlong ? LineStatus::Overlong : LineStatus::Line;
}

}  // namespace report
