#include "corpus/mbox.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "text/byte_search.h"
#include "text/text.h"

namespace corpus {
namespace {

constexpr std::string_view kFrom = "From ";
constexpr std::string_view kLineFrom = "\nFrom ";

// Position of the next "\nFrom " in `hay` at or after `from`, or npos. Line starts with
// "F" are rare enough that a search for the pair "\nF" passes over most lines at once.
size_t findLineFrom(std::string_view hay, size_t from) {
  for (size_t at = from;;) {
    const size_t hit = text::findBytePair(hay, at, '\n', 'F');
    if (hit == std::string_view::npos || hay.size() - hit < kLineFrom.size()) {
      return std::string_view::npos;
    }
    if (hay.compare(hit + 2, kFrom.size() - 1, kFrom.substr(1)) == 0) return hit;
    at = hit + 1;
  }
}

bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

// The value of the first "Content-Length:" header line of `block`, when it is a decimal
// number (white space around it allowed) that fits.
std::optional<uint64_t> contentLength(std::string_view block) {
  constexpr std::string_view kName = "content-length:";
  size_t line = 0;
  while (line < block.size()) {
    size_t end = block.find('\n', line);
    if (end == std::string_view::npos) end = block.size();
    const std::string_view text = block.substr(line, end - line);
    if (text.size() >= kName.size() &&
        ::text::equalsIgnoreAsciiCase(text.substr(0, kName.size()), kName)) {
      size_t i = kName.size();
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      uint64_t value = 0;
      size_t digits = 0;
      for (; i < text.size() && isAsciiDigit(text[i]); ++i, ++digits) {
        if (digits == 18) return std::nullopt;  // beyond any size worth trusting
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      }
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
      if (digits == 0 || i != text.size()) return std::nullopt;
      return value;
    }
    line = end + 1;
  }
  return std::nullopt;
}

// Offset of the first line that the un-quoting changes ("From " after one or more ">" in
// mboxrd, after exactly one in mboxo), among the first line when `from` is 0 and the lines
// after a line break at or after `from`; npos when there is none. Only lines that start
// with ">" are looked at, found by the pair "\n>".
size_t findQuotedLine(std::string_view raw, MboxFormat format, size_t from) {
  size_t line = 0;
  if (from != 0 || raw.empty() || raw[0] != '>') {
    const size_t hit = text::findBytePair(raw, from, '\n', '>');
    if (hit == std::string_view::npos) return std::string_view::npos;
    line = hit + 1;
  }
  for (;;) {
    size_t quotes = line;
    while (quotes < raw.size() && raw[quotes] == '>') ++quotes;
    if (raw.substr(quotes, kFrom.size()) == kFrom &&
        (format == MboxFormat::Mboxrd || quotes - line == 1)) {
      return line;
    }
    const size_t hit = text::findBytePair(raw, quotes, '\n', '>');
    if (hit == std::string_view::npos) return std::string_view::npos;
    line = hit + 1;
  }
}

}  // namespace

std::optional<MboxFormat> parseMboxFormat(std::string_view text) {
  if (text == "mboxrd") return MboxFormat::Mboxrd;
  if (text == "mboxo") return MboxFormat::Mboxo;
  if (text == "mboxcl2") return MboxFormat::Mboxcl2;
  return std::nullopt;
}

MboxFramer::MboxFramer(MboxFormat format, uint64_t maxMessageBytes)
    : format_(format), maxMessageBytes_(maxMessageBytes) {}

bool MboxFramer::feed(std::string_view bytes, const MboxCallback& onMessage) {
  if (spent_ || eof_) return !spent_;
  if (bytes.empty()) return true;
  const std::span<char> room = space(bytes.size());
  std::memcpy(room.data(), bytes.data(), bytes.size());
  return commit(bytes.size(), onMessage);
}

std::span<char> MboxFramer::space(size_t want) {
  const size_t held = static_cast<size_t>(total_ - base_);
  if (capacity_ - held >= want) return {block_.get() + held, want};
  // A new block with only the bytes still needed. The old one is never written again: the
  // messages reported from it may still be read through their `storage`.
  const uint64_t keep = std::max(base_, keepFrom());
  const size_t kept = static_cast<size_t>(total_ - keep);
  const size_t capacity = std::max(kBlockBytes, 2 * (kept + want));
  std::shared_ptr<char[]> block(new char[capacity]);
  if (kept != 0) std::memcpy(block.get(), block_.get() + (keep - base_), kept);
  block_ = std::move(block);
  capacity_ = capacity;
  base_ = keep;
  return {block_.get() + kept, want};
}

bool MboxFramer::commit(size_t count, const MboxCallback& onMessage) {
  if (spent_ || eof_) return !spent_;
  if (count == 0) return true;
  if (!begun_) {
    begun_ = true;
    active_ = true;
    startMessage(total_);
  }
  total_ += count;
  return run(onMessage);
}

bool MboxFramer::finish(const MboxCallback& onMessage) {
  if (spent_) return false;
  eof_ = true;
  return run(onMessage);
}

void MboxFramer::startAt(uint64_t number, uint64_t offset) {
  if (begun_ || number == 0) return;
  number_ = number - 1;
  base_ = total_ = offset;
  leading_ = false;  // the offset is a separator line's
}

void MboxFramer::startMessage(uint64_t offset) {
  ++number_;
  start_ = offset;
  lineDone_ = false;
  lineScan_ = offset;
  headerDone_ = format_ != MboxFormat::Mboxcl2;
  hasContentEnd_ = false;
  skipping_ = false;
  lineDropped_ = false;
}

bool MboxFramer::fromAt(uint64_t pos) const {
  if (total_ - pos < kFrom.size()) return false;
  return std::memcmp(block_.get() + (pos - base_), kFrom.data(), kFrom.size()) == 0;
}

// Reports the current message, which ends at `end` (exclusive, the writer's empty line
// already left out). `last`: the stream ends with it.
bool MboxFramer::emit(uint64_t end, bool last, const MboxCallback& onMessage) {
  MboxMessage message;
  message.storage = block_;
  message.number = number_;
  message.offset = start_;
  if (last && number_ == 1) {
    // No second message: the stream is one message with its envelope line.
    message.whole = true;
    message.size = total_;
    message.oversize = skipping_ || lineDropped_ || total_ > maxMessageBytes_;
    if (!message.oversize) message.raw = held().substr(0, total_ - base_);
  } else {
    message.size = end - bodyStart_;
    message.oversize = skipping_ || message.size > maxMessageBytes_;
    if (!message.oversize) {
      message.raw = held().substr(bodyStart_ - base_, end - bodyStart_);
    }
  }
  if (last) active_ = false;
  if (!onMessage(message)) {
    spent_ = true;
    return false;
  }
  return true;
}

// Moves the current (first) message's start past the lines of white space only that have
// come so far. Returns false while the bytes so far could still be such a line.
bool MboxFramer::skipBlankLines() {
  for (uint64_t pos = lineScan_; pos < total_; ++pos) {
    const char c = at(pos);
    if (c == '\n') {
      start_ = pos + 1;
    } else if (!isBlankLineByte(c)) {
      leading_ = false;
      lineScan_ = pos;  // the separator line's end is after it
      return true;
    }
  }
  lineScan_ = total_;
  if (!eof_) return false;
  leading_ = false;  // white space to the end: the first line is whatever is left
  lineScan_ = start_;
  return true;
}

bool MboxFramer::run(const MboxCallback& onMessage) {
  while (active_) {
    if (leading_ && !skipBlankLines()) break;
    const std::string_view view = held();
    // The separator line.
    if (!lineDone_) {
      const size_t hit = view.find('\n', lineScan_ - base_);
      if (hit != std::string_view::npos) {
        bodyStart_ = base_ + hit + 1;
      } else if (eof_) {
        bodyStart_ = total_;
      } else {
        // A separator line is no part of a message: one too long to keep is dropped as it
        // comes (a lone message with it is over the limit anyway).
        lineScan_ = total_;
        if (total_ - start_ > skipAbove()) lineDropped_ = true;
        break;
      }
      lineDone_ = true;
      sepScan_ = bodyStart_;
      headerScan_ = bodyStart_ - (bodyStart_ > start_ ? 1 : 0);
    }

    // mboxcl2: the header block and its Content-Length.
    if (!headerDone_) {
      uint64_t headerEnd = 0;
      bool found = false;
      for (;;) {
        const size_t hit = view.find('\n', headerScan_ - base_);
        if (hit == std::string_view::npos) {
          headerScan_ = total_;
          break;
        }
        const uint64_t at = base_ + hit;
        if (total_ - at < 3 && !eof_) {
          headerScan_ = at;  // decide once the bytes after it are there
          break;
        }
        if (total_ - at >= 2 && this->at(at + 1) == '\n') {
          headerEnd = at + 2;
          found = true;
          break;
        }
        if (total_ - at >= 3 && this->at(at + 1) == '\r' && this->at(at + 2) == '\n') {
          headerEnd = at + 3;
          found = true;
          break;
        }
        headerScan_ = at + 1;
      }
      if (found) {
        headerDone_ = true;
        const auto length = contentLength(view.substr(bodyStart_ - base_, headerEnd - bodyStart_));
        if (length && *length <= kMaxTrustedContentLength &&
            headerEnd - bodyStart_ + *length <= maxMessageBytes_) {
          contentEnd_ = headerEnd + *length;
          hasContentEnd_ = true;
        }
      } else if (eof_) {
        headerDone_ = true;
      } else {
        if (total_ - bodyStart_ > skipAbove()) {
          skipping_ = true;
          headerDone_ = true;
        }
        break;
      }
    }

    // mboxcl2: check where the Content-Length leads.
    if (hasContentEnd_) {
      const uint64_t p = contentEnd_;
      if (!eof_ && (total_ < p || total_ - p < 7)) break;  // wait for the bytes after it
      bool valid = false;
      bool last = false;
      uint64_t next = 0;
      if (p <= total_) {
        const uint64_t rest = total_ - p;
        if (rest == 0) {
          valid = last = true;
        } else if (at(p) == '\n') {
          if (rest == 1) {
            valid = last = true;
          } else if (fromAt(p + 1)) {
            valid = true;
            next = p + 1;
          }
        } else if (at(p) == '\r' && rest >= 2 && at(p + 1) == '\n') {
          if (rest == 2) {
            valid = last = true;
          } else if (fromAt(p + 2)) {
            valid = true;
            next = p + 2;
          }
        }
      }
      hasContentEnd_ = false;
      if (valid) {
        if (last) return emit(p, true, onMessage);
        if (!emit(p, false, onMessage)) return false;
        startMessage(next);
        continue;
      }
      // The length lies: frame this message by separators.
    }

    // The next separator: "From " at a line start after an empty line.
    bool found = false;
    uint64_t end = 0;
    uint64_t next = 0;
    for (;;) {
      const size_t hit = findLineFrom(view, sepScan_ - base_);
      if (hit == std::string_view::npos) break;
      const uint64_t nl = base_ + hit;  // the "\n" before "From "
      if (at(nl - 1) == '\n') {
        found = true;
        end = nl;
      } else if (at(nl - 1) == '\r' && nl - 2 >= start_ && at(nl - 2) == '\n') {
        found = true;
        end = nl - 1;
      }
      if (found) {
        next = nl + 1;
        break;
      }
      sepScan_ = nl + 1;
    }
    if (found) {
      if (!emit(end, false, onMessage)) return false;
      startMessage(next);
      continue;
    }
    if (eof_) {
      // The last message: one empty last line is the writer's.
      end = total_;
      if (end > bodyStart_ && at(end - 1) == '\n') {
        if (end - 1 == bodyStart_ || at(end - 2) == '\n') {
          end -= 1;
        } else if (at(end - 2) == '\r' && (end - 2 == bodyStart_ || at(end - 3) == '\n')) {
          end -= 2;
        }
      }
      return emit(end, true, onMessage);
    }
    sepScan_ = std::max(sepScan_, total_ > kLineFrom.size() ? total_ - kLineFrom.size() + 1 : 0);
    if (total_ - bodyStart_ > skipAbove()) skipping_ = true;
    break;
  }
  return !spent_;
}

// The first byte still needed: the current message's, and for an oversize message (or one
// whose separator line is too long to keep) only the few bytes the separator check looks
// back at.
uint64_t MboxFramer::keepFrom() const {
  if (!active_) return total_;
  // A first message may yet turn out to be the whole stream, white space lines and all.
  if (number_ == 1 && total_ <= maxMessageBytes_) return base_;
  if (leading_ || (!lineDone_ && lineDropped_)) return lineScan_;
  if (skipping_) return sepScan_ > base_ + 3 ? sepScan_ - 3 : base_;
  return start_;
}

size_t blankLinesLength(std::string_view text) {
  size_t length = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      length = i + 1;
    } else if (!isBlankLineByte(text[i])) {
      break;
    }
  }
  return length;
}

bool hasQuotedLine(std::string_view raw, MboxFormat format) {
  return format != MboxFormat::Mboxcl2 && findQuotedLine(raw, format, 0) != std::string_view::npos;
}

std::string_view unquotedView(std::string_view raw, MboxFormat format, std::string& scratch) {
  if (!hasQuotedLine(raw, format)) return raw;
  scratch.clear();
  appendUnquoted(raw, format, scratch);
  return scratch;
}

void appendUnquoted(std::string_view raw, MboxFormat format, std::string& out) {
  if (format == MboxFormat::Mboxcl2) {
    out.append(raw);
    return;
  }
  out.reserve(out.size() + raw.size());
  size_t copied = 0;
  for (size_t line = findQuotedLine(raw, format, 0); line != std::string_view::npos;
       line = findQuotedLine(raw, format, line + 1)) {
    out.append(raw.substr(copied, line - copied));
    copied = line + 1;
  }
  out.append(raw.substr(copied));
}

}  // namespace corpus
