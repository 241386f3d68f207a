#include "email_ventry_report/run_input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace report {
namespace {

constexpr uint64_t kStartEvery = 16;

}  // namespace

RunInput::RunInput(std::string name, size_t maxLine, bool indexLines)
    : name_(std::move(name)), maxLine_(maxLine), indexLines_(indexLines) {}

RunInput::~RunInput() {
  if (file_ && file_ != stdin) std::fclose(file_);
}

bool RunInput::open() {
  file_ = name_ == "-" ? stdin : std::fopen(name_.c_str(), "rb");
  if (!file_) {
    std::fprintf(stderr, "email_ventry_report: open %s: %s\n", name_.c_str(), std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = lseek(fileno(file_), 0, SEEK_CUR);
    origin_ = at >= 0 ? static_cast<uint64_t>(at) : 0;
    size_ = static_cast<uint64_t>(st.st_size) > origin_
                ? static_cast<uint64_t>(st.st_size) - origin_
                : 0;
    rereadable_ = indexLines_ && at >= 0;
  }
  reader_.emplace(file_, maxLine_);
  return true;
}

bool RunInput::next(InputLine& line) {
  if (!reader_ || failed_) return false;
  line.overlong = false;
  const LineStatus status = reader_->next(line.text);
  if (status == LineStatus::End) return false;
  if (status == LineStatus::Error) {
    std::fprintf(stderr, "email_ventry_report: read %s: %s\n",
                 name_ == "-" ? "standard input" : name_.c_str(), std::strerror(errno));
    failed_ = true;
    return false;
  }
  line.number = ++lineNumber_;
  line.end = reader_->ended() ? LineEnd::Ended : LineEnd::Missing;
  line.overlong = status == LineStatus::Overlong;
  bytesRead_ = reader_->position();
  if (rereadable_ && (line.number - 1) % kStartEvery == 0) {
    starts_.push_back(origin_ + reader_->lineStart());
  }
  return true;
}

std::optional<std::string> RunInput::lineAt(uint64_t number) const {
  if (!rereadable_ || number == 0 || (number - 1) / kStartEvery >= starts_.size()) {
    return std::nullopt;
  }
  uint64_t offset = starts_[(number - 1) / kStartEvery];
  uint64_t skip = (number - 1) % kStartEvery;
  std::string out;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = pread(fileno(file_), buffer, sizeof buffer, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the end: a last line without its "\n"
    const char* at = buffer;
    const char* stop = buffer + n;
    while (skip > 0 && at < stop) {
      const void* nl = std::memchr(at, '\n', static_cast<size_t>(stop - at));
      if (!nl) {
        at = stop;
        break;
      }
      at = static_cast<const char*>(nl) + 1;
      --skip;
    }
    if (skip == 0 && at < stop) {
      const void* nl = std::memchr(at, '\n', static_cast<size_t>(stop - at));
      const char* end = nl ? static_cast<const char*>(nl) : stop;
      out.append(at, end);
      if (out.size() > maxLine_) return std::nullopt;
      if (nl) return out;
    }
    offset += static_cast<uint64_t>(n);
  }
  if (skip > 0) return std::nullopt;
  return out;
}

}  // namespace report
