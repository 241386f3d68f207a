#include "email_ventry/record.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <utility>

#include "text/text.h"

namespace ventry {
namespace {

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

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

  void strings(const std::vector<std::string_view>& texts) {
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

// The texts of a record as valid UTF-8 (text that is not is replaced by its lossy decoding,
// kept in `repaired`), with the room their JSON strings can take.
class Texts {
 public:
  std::string_view add(std::string_view text) {
    room_ += 6 * text.size() + 3;  // escapes, quotes and a separator
    if (text::isValidUtf8(text)) return text;
    repaired_.push_back(text::utf8Lossy(text));
    room_ += 6 * repaired_.back().size();
    return repaired_.back();
  }

  std::vector<std::string_view> addAll(const std::vector<std::string>& texts) {
    std::vector<std::string_view> views;
    views.reserve(texts.size());
    for (const auto& text : texts) views.push_back(add(text));
    return views;
  }

  size_t room() const { return room_; }

 private:
  std::deque<std::string> repaired_;  // stable addresses for the views
  size_t room_ = 0;
};

void writeProbe(Cursor& out, const Probe& p, std::string_view topCt,
                const std::vector<std::string_view>& otherTextualTypes,
                const std::vector<std::string_view>& cte,
                const std::vector<std::string_view>& charsets) {
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
  out.string(topCt);
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
  out.strings(otherTextualTypes);
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
  out.strings(cte);
  out.literal(",\"charsets\":");
  out.strings(charsets);
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

// Everything but the texts: the keys, numbers and booleans of a record with the largest
// loss list's framing per entry.
constexpr size_t kFixedRoom = 2048;
constexpr size_t kRoomPerLoss = 32;

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
    appendEscaped(out, text);
  } else {
    appendEscaped(out, text::utf8Lossy(text));
  }
  out += '"';
}

void appendRecordJson(std::string& out, const MessageRecord& r) {
  Texts texts;
  const std::string_view name = texts.add(r.name);
  const std::string_view error = r.threw ? texts.add(r.error) : std::string_view();
  std::vector<std::pair<std::string_view, std::string_view>> loss;
  loss.reserve(r.loss.size());
  for (const auto& pair : r.loss) {
    const std::string_view id = texts.add(pair.featureId);
    loss.emplace_back(id, texts.add(pair.action));
  }
  const std::string_view topCt = texts.add(r.probe.topCt);
  const auto otherTextualTypes = texts.addAll(r.probe.otherTextualTypes);
  const auto cte = texts.addAll(r.probe.cte);
  const auto charsets = texts.addAll(r.probe.charsets);

  const size_t start = out.size();
  out.resize(start + kFixedRoom + kRoomPerLoss * r.loss.size() + texts.room());
  Cursor w(out.data() + start);
  w.literal("{\"name\":");
  w.string(name);
  w.literal(",\"bytes\":");
  w.number(r.bytes);
  w.literal(",\"ms\":");
  w.number(r.ms);
  if (r.threw) {
    w.literal(",\"outcome\":\"threw\",\"error\":");
    w.string(error);
  } else {
    w.literal(",\"outcome\":\"ok\"");
  }
  w.literal(",\"loss\":[");
  for (size_t i = 0; i < loss.size(); ++i) {
    if (i != 0) w.literal(",");
    w.literal("{\"id\":");
    w.string(loss[i].first);
    w.literal(",\"action\":");
    w.string(loss[i].second);
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
  w.literal(",\"probe\":");
  writeProbe(w, r.probe, topCt, otherTextualTypes, cte, charsets);
  w.literal("}");
  out.resize(static_cast<size_t>(w.at() - out.data()));
}

std::optional<std::string> writeRecordLine(int fd, std::string_view line) {
  // Everything before the final "\n" is the object.
  const size_t objectSize = line.empty() ? 0 : line.size() - 1;
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    const int error = n == 0 ? EIO : errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // A non-blocking standard output: wait until it takes more.
      pollfd waitFor{fd, POLLOUT, 0};
      if (::poll(&waitFor, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return describe(done < objectSize ? "serialize record" : "write record", error);
  }
  return std::nullopt;
}

std::optional<std::string> writeRecord(int fd, const MessageRecord& record, std::string& buffer) {
  buffer.clear();
  appendRecordJson(buffer, record);
  buffer += '\n';
  return writeRecordLine(fd, buffer);
}

}  // namespace ventry
