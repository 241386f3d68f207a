// mbox framing: the streaming framer, fed in pieces, against a whole-buffer restatement of
// the framing rules, for the three formats and a size limit; the memory bound; and framing
// started at a later message (a resumed run) against framing from the start.
//
// Input: byte 0 picks the format (mod 3), byte 1 the piece size (1..64), byte 2 the size
// limit (0: none, else 1..255 bytes); the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/mbox.h"
#include "fuzz_checks.h"

namespace {

using corpus::MboxFormat;

struct Framed {
  uint64_t number = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string raw;
  bool whole = false;
  bool oversize = false;
  bool operator==(const Framed&) const = default;
};

constexpr std::string_view kFrom = "From ";

bool fromAt(std::string_view s, size_t pos) {
  return s.substr(pos, kFrom.size()) == kFrom;
}

std::optional<uint64_t> contentLength(std::string_view block) {
  size_t line = 0;
  while (line < block.size()) {
    size_t end = std::min(block.find('\n', line), block.size());
    std::string_view text = block.substr(line, end - line);
    std::string lower;
    for (char c : text.substr(0, 15)) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (lower == "content-length:") {
      text.remove_prefix(15);
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
      }
      if (text.empty() || text.size() > 18) return std::nullopt;
      uint64_t value = 0;
      for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
      }
      return value;
    }
    line = end + 1;
  }
  return std::nullopt;
}

// The rules of mbox.h, read straight off a whole buffer.
std::vector<Framed> reference(std::string_view s, MboxFormat format, uint64_t limit) {
  std::vector<Framed> out;
  if (s.empty()) return out;
  const size_t n = s.size();
  // Lines of white space only before the first separator belong to no message.
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] == '\n') {
      start = i + 1;
    } else if (std::string_view(" \t\r").find(s[i]) == std::string_view::npos) {
      break;
    }
  }
  for (uint64_t number = 1;; ++number) {
    const size_t lineEnd = s.find('\n', start);
    const size_t body = lineEnd == std::string_view::npos ? n : lineEnd + 1;
    size_t end = std::string_view::npos;
    size_t next = std::string_view::npos;
    bool last = false;
    if (format == MboxFormat::Mboxcl2) {
      // The header block ends at the first empty line after the separator line.
      size_t headerEnd = std::string_view::npos;
      for (size_t i = body > start ? body - 1 : body; i < n; ++i) {
        if (s[i] != '\n') continue;
        if (i + 1 < n && s[i + 1] == '\n') {
          headerEnd = i + 2;
        } else if (i + 2 < n && s[i + 1] == '\r' && s[i + 2] == '\n') {
          headerEnd = i + 3;
        }
        if (headerEnd != std::string_view::npos) break;
      }
      if (headerEnd != std::string_view::npos) {
        const auto length = contentLength(s.substr(body, headerEnd - body));
        if (length && *length <= corpus::kMaxTrustedContentLength &&
            headerEnd - body + *length <= limit && headerEnd + *length <= n) {
          const size_t p = headerEnd + *length;
          const std::string_view rest = s.substr(p);
          if (rest.empty() || rest == "\n" || rest == "\r\n") {
            end = p;
            last = true;
          } else if (rest[0] == '\n' && fromAt(rest, 1)) {
            end = p;
            next = p + 1;
          } else if (rest.substr(0, 2) == "\r\n" && fromAt(rest, 2)) {
            end = p;
            next = p + 2;
          }
        }
      }
    }
    if (end == std::string_view::npos) {
      for (size_t h = s.find("\nFrom ", body); h != std::string_view::npos;
           h = s.find("\nFrom ", h + 1)) {
        if (s[h - 1] == '\n') {
          end = h;
        } else if (s[h - 1] == '\r' && h >= start + 2 && s[h - 2] == '\n') {
          end = h - 1;
        }
        if (end != std::string_view::npos) {
          next = h + 1;
          break;
        }
      }
    }
    if (end == std::string_view::npos) {
      last = true;
      end = n;
      if (end > body && s[end - 1] == '\n') {
        if (end - 1 == body || s[end - 2] == '\n') {
          end -= 1;
        } else if (s[end - 2] == '\r' && (end - 2 == body || s[end - 3] == '\n')) {
          end -= 2;
        }
      }
    }
    Framed framed;
    framed.number = number;
    framed.offset = start;
    if (last && number == 1) {
      framed.whole = true;
      framed.size = n;
      framed.raw = std::string(s);
    } else {
      framed.size = end - body;
      framed.raw = std::string(s.substr(body, end - body));
    }
    framed.oversize = framed.size > limit;
    if (framed.oversize) framed.raw.clear();
    out.push_back(std::move(framed));
    if (last) return out;
    start = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const auto format = static_cast<MboxFormat>(data[0] % 3);
  const size_t piece = 1 + data[1] % 64;
  const uint64_t limit = data[2] == 0 ? UINT64_MAX : data[2];
  const std::string_view stream = fuzzcheck::asView(data + 3, size - 3);

  std::vector<Framed> got;
  size_t held = 0;
  const corpus::MboxCallback collect = [&](const corpus::MboxMessage& message) {
    Framed framed;
    framed.number = message.number;
    framed.offset = message.offset;
    framed.size = message.size;
    framed.raw = std::string(message.raw);
    framed.whole = message.whole;
    framed.oversize = message.oversize;
    got.push_back(std::move(framed));
    return true;
  };
  corpus::MboxFramer framer(format, limit);
  for (size_t at = 0; at < stream.size(); at += piece) {
    framer.feed(stream.substr(at, piece), collect);
    held = std::max(held, framer.heldBytes());
  }
  framer.finish(collect);

  fuzzcheck::require(got == reference(stream, format, limit), "framing follows the rules");
  if (limit != UINT64_MAX) {
    fuzzcheck::require(held <= 4 * (limit + 16) + 2 * piece + 64, "memory bounded by the limit");
  }
  // A resumed run frames from a later message on: the same messages, numbered and placed as
  // from the start.
  if (got.size() >= 2) {
    const size_t k = 1 + stream.size() % (got.size() - 1);
    std::vector<Framed> whole;
    whole.swap(got);
    corpus::MboxFramer resumed(format, limit);
    resumed.startAt(whole[k].number, whole[k].offset);
    const std::string_view rest = stream.substr(whole[k].offset);
    for (size_t at = 0; at < rest.size(); at += piece) {
      resumed.feed(rest.substr(at, piece), collect);
    }
    resumed.finish(collect);
    fuzzcheck::require(std::equal(got.begin(), got.end(), whole.begin() + k, whole.end()),
                       "framing resumed at a message goes on as from the start");
    got.swap(whole);
  }
  for (size_t i = 0; i < got.size(); ++i) {
    fuzzcheck::require(
        i == 0 || (got[i].offset > got[i - 1].offset && fromAt(stream, got[i].offset)),
        "every later message starts at a From line");
    std::string unquoted;
    corpus::appendUnquoted(got[i].raw, format, unquoted);
    fuzzcheck::require(unquoted.size() <= got[i].raw.size(), "un-quoting only removes");
  }
  return 0;
}
