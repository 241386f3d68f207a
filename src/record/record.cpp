#include "record/record.h"

#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "text/json_string.h"
#include "text/text.h"

namespace ventry {
namespace {

// The record is written into a buffer sized beforehand for its worst case, through a cursor
// that copies literals of known length and formats numbers in place: a line takes one
// resize and no appends.
class Cursor {
 public:
  explicit Cursor(char* at) : at_(at) {}

  char* at() const { return at_; }

  template <size_t N>
  void literal(const char (&text)[N]) {
    std::memcpy(at_, text, N - 1);
    at_ += N - 1;
  }

  void boolean(bool value) {
    if (value) {
      literal("true");
    } else {
      literal("false");
    }
  }

  void number(uint64_t value) { at_ = std::to_chars(at_, at_ + 20, value).ptr; }

  // A JSON string of valid UTF-8 text (at most 6 bytes out per byte in, plus the quotes).
  void string(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    *at_++ = '"';
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      if (c >= 0x20 && c != '"' && c != '\\') {
        *at_++ = ch;
        continue;
      }
      *at_++ = '\\';
      switch (c) {
        case '"':
          *at_++ = '"';
          break;
        case '\\':
          *at_++ = '\\';
          break;
        case '\b':
          *at_++ = 'b';
          break;
        case '\t':
          *at_++ = 't';
          break;
        case '\n':
          *at_++ = 'n';
          break;
        case '\f':
          *at_++ = 'f';
          break;
        case '\r':
          *at_++ = 'r';
          break;
        default:
          literal("u00");
          *at_++ = kHex[c >> 4];
          *at_++ = kHex[c & 0xf];
      }
    }
    *at_++ = '"';
  }

  void strings(const std::vector<std::string>& texts) {
    *at_++ = '[';
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i != 0) *at_++ = ',';
      string(texts[i]);
    }
    *at_++ = ']';
  }

 private:
  char* at_;
};

void writeProbe(Cursor& out, const Probe& p) {
  out.literal("{\"hdrTo\":");
  out.boolean(p.hdrTo);
  out.literal(",\"hdrCc\":");
  out.boolean(p.hdrCc);
  out.literal(",\"hdrToEmpty\":");
  out.boolean(p.hdrToEmpty);
  out.literal(",\"hdrCcEmpty\":");
  out.boolean(p.hdrCcEmpty);
  out.literal(",\"hdrBcc\":");
  out.boolean(p.hdrBcc);
  out.literal(",\"hdrDate\":");
  out.boolean(p.hdrDate);
  out.literal(",\"hdrRefs\":");
  out.boolean(p.hdrRefs);
  out.literal(",\"hdrInReplyTo\":");
  out.boolean(p.hdrInReplyTo);
  out.literal(",\"hdrMessageId\":");
  out.boolean(p.hdrMessageId);
  out.literal(",\"hdrMime\":");
  out.boolean(p.hdrMime);
  out.literal(",\"encWordSubject\":");
  out.boolean(p.encWordSubject);
  out.literal(",\"encWordAny\":");
  out.boolean(p.encWordAny);
  out.literal(",\"parseErr\":");
  out.boolean(p.parseErr);
  out.literal(",\"topCt\":");
  out.string(p.topCt);
  out.literal(",\"parts\":");
  out.number(p.parts);
  out.literal(",\"depth\":");
  out.number(p.depth);
  out.literal(",\"plainLeaves\":");
  out.number(p.plainLeaves);
  out.literal(",\"htmlLeaves\":");
  out.number(p.htmlLeaves);
  out.literal(",\"plainNonempty\":");
  out.number(p.plainNonempty);
  out.literal(",\"htmlNonempty\":");
  out.number(p.htmlNonempty);
  out.literal(",\"calUnnamed\":");
  out.number(p.calUnnamed);
  out.literal(",\"calNamed\":");
  out.number(p.calNamed);
  out.literal(",\"otherTextualUnnamed\":");
  out.number(p.otherTextualUnnamed);
  out.literal(",\"otherTextualTypes\":");
  out.strings(p.otherTextualTypes);
  out.literal(",\"rfc822Parts\":");
  out.number(p.rfc822Parts);
  out.literal(",\"rfc822Unnamed\":");
  out.number(p.rfc822Unnamed);
  out.literal(",\"cidParts\":");
  out.number(p.cidParts);
  out.literal(",\"cidRefsInHtml\":");
  out.boolean(p.cidRefsInHtml);
  out.literal(",\"remoteRefsInHtml\":");
  out.boolean(p.remoteRefsInHtml);
  out.literal(",\"scriptInHtml\":");
  out.boolean(p.scriptInHtml);
  out.literal(",\"attachDecl\":");
  out.number(p.attachDecl);
  out.literal(",\"oversize\":");
  out.number(p.oversize);
  out.literal(",\"cte\":");
  out.strings(p.cte);
  out.literal(",\"charsets\":");
  out.strings(p.charsets);
  out.literal(",\"undeclNonAscii\":");
  out.boolean(p.undeclNonAscii);
  out.literal(",\"formatFlowed\":");
  out.boolean(p.formatFlowed);
  out.literal(",\"signed\":");
  out.boolean(p.isSigned);
  out.literal(",\"encrypted\":");
  out.boolean(p.encrypted);
  out.literal(",\"report\":");
  out.boolean(p.report);
  out.literal("}");
}

// Everything but the texts: the keys, numbers and booleans of a record, and the framing of
// one loss entry.
constexpr size_t kFixedRoom = 2048;
constexpr size_t kRoomPerLoss = 32;

// Calls `use` for every text of the record.
template <typename Use>
void forEachText(const MessageRecord& r, Use&& use) {
  use(r.name);
  use(r.readError);
  if (r.threw || r.failed) use(r.error);
  for (const auto& pair : r.loss) {
    use(pair.featureId);
    use(pair.action);
  }
  use(r.probe.topCt);
  for (const auto& text : r.probe.otherTextualTypes) use(text);
  for (const auto& text : r.probe.cte) use(text);
  for (const auto& text : r.probe.charsets) use(text);
}

// The record with every text that is not valid UTF-8 replaced by its lossy decoding.
MessageRecord repairedRecord(const MessageRecord& r) {
  MessageRecord copy = r;
  auto repair = [](std::string& text) {
    if (!text::isValidUtf8(text)) text = text::utf8Lossy(text);
  };
  repair(copy.name);
  repair(copy.readError);
  repair(copy.error);
  for (auto& pair : copy.loss) {
    repair(pair.featureId);
    repair(pair.action);
  }
  repair(copy.probe.topCt);
  for (auto& text : copy.probe.otherTextualTypes) repair(text);
  for (auto& text : copy.probe.cte) repair(text);
  for (auto& text : copy.probe.charsets) repair(text);
  return copy;
}

// The most bytes the JSON object of `r` can take.
size_t roomFor(const MessageRecord& r) {
  size_t room = kFixedRoom + kRoomPerLoss * r.loss.size();
  forEachText(r, [&room](std::string_view text) { room += 6 * text.size() + 3; });
  return room;
}

// Writes the object of the record, whose texts are all valid UTF-8, at `at` (which has
// roomFor(r) bytes) and returns the bytes written.
size_t writeValidRecord(char* at, const MessageRecord& r) {
  Cursor w(at);
  w.literal("{\"name\":");
  w.string(r.name);
  w.literal(",\"bytes\":");
  w.number(r.bytes);
  if (!r.readError.empty()) {
    w.literal(",\"readError\":");
    w.string(r.readError);
  }
  w.literal(",\"ms\":");
  w.number(r.ms);
  if (r.failed) {
    w.literal(",\"outcome\":\"failed\",\"error\":");
    w.string(r.error);
  } else if (r.threw) {
    w.literal(",\"outcome\":\"threw\",\"error\":");
    w.string(r.error);
  } else {
    w.literal(",\"outcome\":\"ok\"");
  }
  w.literal(",\"loss\":[");
  for (size_t i = 0; i < r.loss.size(); ++i) {
    if (i != 0) w.literal(",");
    w.literal("{\"id\":");
    w.string(r.loss[i].featureId);
    w.literal(",\"action\":");
    w.string(r.loss[i].action);
    w.literal("}");
  }
  w.literal("],\"gotHtml\":");
  w.boolean(r.gotHtml);
  w.literal(",\"gotText\":");
  w.boolean(r.gotText);
  w.literal(",\"gotAttachments\":");
  w.number(r.gotAttachments);
  w.literal(",\"gotTo\":");
  w.number(r.gotTo);
  w.literal(",\"gotCc\":");
  w.number(r.gotCc);
  if (r.probeDone) {
    w.literal(",\"probe\":");
    writeProbe(w, r.probe);
  }
  w.literal("}");
  return static_cast<size_t>(w.at() - at);
}

// Writes the object of any record at the start of `buffer`, growing it as needed (and only
// then filling the new part), and returns its size.
size_t writeRecordObject(std::string& buffer, size_t at, const MessageRecord& r) {
  bool valid = true;
  forEachText(r, [&valid](std::string_view text) { valid = valid && text::isValidUtf8(text); });
  if (!valid) {
    const MessageRecord repaired = repairedRecord(r);
    const size_t room = roomFor(repaired);
    if (buffer.size() < at + room) buffer.resize(at + room);
    return writeValidRecord(buffer.data() + at, repaired);
  }
  const size_t room = roomFor(r);
  if (buffer.size() < at + room) buffer.resize(at + room);
  return writeValidRecord(buffer.data() + at, r);
}

std::string describe(std::string_view what, int error) {
  std::string message(what);
  message += ": ";
  message += std::strerror(error);
  return message;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  if (text::isValidUtf8(text)) {
    text::appendJsonEscaped(out, text);
  } else {
    text::appendJsonEscaped(out, text::utf8Lossy(text));
  }
  out += '"';
}

void appendRecordJson(std::string& out, const MessageRecord& r) {
  const size_t start = out.size();
  out.resize(start + writeRecordObject(out, start, r));
}

std::string_view formatRecordLine(std::string& buffer, const MessageRecord& record) {
  const size_t size = writeRecordObject(buffer, 0, record);
  if (buffer.size() < size + 1) buffer.resize(size + 1);
  buffer[size] = '\n';
  return {buffer.data(), size + 1};
}

std::optional<std::string> writeRecordLine(int fd, std::string_view line) {
  return writeRecordLines(fd, std::span<const std::string_view>(&line, 1));
}

std::optional<std::string> writeRecordLines(int fd, std::span<const std::string_view> lines) {
  size_t first = 0;      // the first line not yet written whole
  size_t firstDone = 0;  // bytes of it already written
  for (;;) {
    while (first < lines.size() && lines[first].size() == firstDone) {
      ++first;
      firstDone = 0;
    }
    if (first == lines.size()) break;
    iovec pieces[64];
    int count = 0;
    for (size_t i = first; i < lines.size() && count < 64; ++i, ++count) {
      const size_t skip = i == first ? firstDone : 0;
      pieces[count].iov_base = const_cast<char*>(lines[i].data() + skip);
      pieces[count].iov_len = lines[i].size() - skip;
    }
    const ssize_t n = ::writev(fd, pieces, count);
    if (n > 0) {
      auto left = static_cast<size_t>(n);
      while (left > 0) {
        const size_t rest = lines[first].size() - firstDone;
        if (left < rest) {
          firstDone += left;
          break;
        }
        left -= rest;
        ++first;
        firstDone = 0;
      }
      continue;
    }
    const int error = n == 0 ? EIO : errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // A non-blocking standard output: wait until it takes more.
      pollfd waitFor{fd, POLLOUT, 0};
      if (::poll(&waitFor, 1, -1) >= 0 || errno == EINTR) continue;
    }
    const size_t objectSize = lines[first].empty() ? 0 : lines[first].size() - 1;
    return describe(firstDone < objectSize ? "serialize record" : "write record", error);
  }
  return std::nullopt;
}

std::optional<std::string> writeRecord(int fd, const MessageRecord& record, std::string& buffer) {
  buffer.clear();
  appendRecordJson(buffer, record);
  buffer += '\n';
  return writeRecordLine(fd, buffer);
}

void fillFromOutcome(MessageRecord& record, email::ReadOutcome&& outcome) {
  if (!outcome.ok) {
    setThrew(record, outcome.failure);
    return;
  }
  email::ReadSummary& summary = outcome.summary;
  record.threw = false;
  record.loss = std::move(summary.loss);
  record.gotHtml = !summary.html.empty();
  record.gotText = !summary.text.empty();
  record.gotAttachments = summary.attachments;
  record.gotTo = summary.to;
  record.gotCc = summary.cc;
}

void setThrew(MessageRecord& record, std::string_view failure) {
  record.threw = true;
  if (text::isValidUtf8(failure)) {
    record.error = text::prefixCodePoints(failure, kMaxErrorCodePoints);
  } else {
    record.error = text::prefixCodePoints(text::utf8Lossy(failure), kMaxErrorCodePoints);
  }
}

}  // namespace ventry
