#include "email_ventry/record.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

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

// Keys are short literals; a member's "," key and scalar value are put together in one small
// buffer and appended in one step.
constexpr size_t kMaxKey = 40;

// Writes `"key":` at `at` (with a leading "," when `comma`) and returns the end.
char* putKey(char* at, std::string_view key, bool comma) {
  if (comma) *at++ = ',';
  *at++ = '"';
  const size_t size = key.size() < kMaxKey ? key.size() : kMaxKey;
  std::memcpy(at, key.data(), size);
  at += size;
  *at++ = '"';
  *at++ = ':';
  return at;
}

void appendKey(std::string& out, std::string_view key) {
  char buffer[kMaxKey + 4];
  out.append(buffer, putKey(buffer, key, false));
}

void appendBool(std::string& out, bool value) {
  out += value ? "true" : "false";
}

// Each member writer puts the "," before its member; the first member of an object is
// written by hand right after "{".
void member(std::string& out, std::string_view key, bool value) {
  char buffer[kMaxKey + 4 + 5];
  char* at = putKey(buffer, key, true);
  const std::string_view word = value ? std::string_view("true") : std::string_view("false");
  std::memcpy(at, word.data(), word.size());
  out.append(buffer, at + word.size());
}

void member(std::string& out, std::string_view key, uint64_t value) {
  char buffer[kMaxKey + 4 + 20];
  char* at = putKey(buffer, key, true);
  auto [end, ec] = std::to_chars(at, at + 20, value);
  (void)ec;  // 20 digits always suffice for 64 bits
  out.append(buffer, end);
}

void member(std::string& out, std::string_view key, uint32_t value) {
  member(out, key, static_cast<uint64_t>(value));
}

void appendMemberKey(std::string& out, std::string_view key) {
  char buffer[kMaxKey + 4];
  out.append(buffer, putKey(buffer, key, true));
}

void member(std::string& out, std::string_view key, std::string_view value) {
  appendMemberKey(out, key);
  appendJsonString(out, value);
}

void member(std::string& out, std::string_view key, const std::vector<std::string>& values) {
  appendMemberKey(out, key);
  out += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    appendJsonString(out, values[i]);
  }
  out += ']';
}

void appendProbeJson(std::string& out, const Probe& p) {
  out += '{';
  appendKey(out, "hdrTo");
  appendBool(out, p.hdrTo);
  member(out, "hdrCc", p.hdrCc);
  member(out, "hdrToEmpty", p.hdrToEmpty);
  member(out, "hdrCcEmpty", p.hdrCcEmpty);
  member(out, "hdrBcc", p.hdrBcc);
  member(out, "hdrDate", p.hdrDate);
  member(out, "hdrRefs", p.hdrRefs);
  member(out, "hdrInReplyTo", p.hdrInReplyTo);
  member(out, "hdrMessageId", p.hdrMessageId);
  member(out, "hdrMime", p.hdrMime);
  member(out, "encWordSubject", p.encWordSubject);
  member(out, "encWordAny", p.encWordAny);
  member(out, "parseErr", p.parseErr);
  member(out, "topCt", std::string_view(p.topCt));
  member(out, "parts", p.parts);
  member(out, "depth", p.depth);
  member(out, "plainLeaves", p.plainLeaves);
  member(out, "htmlLeaves", p.htmlLeaves);
  member(out, "plainNonempty", p.plainNonempty);
  member(out, "htmlNonempty", p.htmlNonempty);
  member(out, "calUnnamed", p.calUnnamed);
  member(out, "calNamed", p.calNamed);
  member(out, "otherTextualUnnamed", p.otherTextualUnnamed);
  member(out, "otherTextualTypes", p.otherTextualTypes);
  member(out, "rfc822Parts", p.rfc822Parts);
  member(out, "rfc822Unnamed", p.rfc822Unnamed);
  member(out, "cidParts", p.cidParts);
  member(out, "cidRefsInHtml", p.cidRefsInHtml);
  member(out, "remoteRefsInHtml", p.remoteRefsInHtml);
  member(out, "scriptInHtml", p.scriptInHtml);
  member(out, "attachDecl", p.attachDecl);
  member(out, "oversize", p.oversize);
  member(out, "cte", p.cte);
  member(out, "charsets", p.charsets);
  member(out, "undeclNonAscii", p.undeclNonAscii);
  member(out, "formatFlowed", p.formatFlowed);
  member(out, "signed", p.isSigned);
  member(out, "encrypted", p.encrypted);
  member(out, "report", p.report);
  out += '}';
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
    appendEscaped(out, text);
  } else {
    appendEscaped(out, text::utf8Lossy(text));
  }
  out += '"';
}

void appendRecordJson(std::string& out, const MessageRecord& r) {
  out += '{';
  appendKey(out, "name");
  appendJsonString(out, r.name);
  member(out, "bytes", r.bytes);
  member(out, "ms", r.ms);
  member(out, "outcome", std::string_view(r.threw ? "threw" : "ok"));
  if (r.threw) member(out, "error", std::string_view(r.error));
  out += ',';
  appendKey(out, "loss");
  out += '[';
  for (size_t i = 0; i < r.loss.size(); ++i) {
    if (i != 0) out += ',';
    out += '{';
    appendKey(out, "id");
    appendJsonString(out, r.loss[i].featureId);
    member(out, "action", std::string_view(r.loss[i].action));
    out += '}';
  }
  out += ']';
  member(out, "gotHtml", r.gotHtml);
  member(out, "gotText", r.gotText);
  member(out, "gotAttachments", r.gotAttachments);
  member(out, "gotTo", r.gotTo);
  member(out, "gotCc", r.gotCc);
  out += ',';
  appendKey(out, "probe");
  appendProbeJson(out, r.probe);
  out += '}';
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
