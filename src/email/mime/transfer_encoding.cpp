// Content-Transfer-Encoding decoding: permissive MIME base64, robust quoted-printable, and
// the selection by the part's first Content-Transfer-Encoding header.
#include "email/mime/transfer_encoding.h"

#include <array>
#include <cstdint>

#include "email/mime/mime.h"
#include "text/text.h"

namespace email::mime {
namespace {

constexpr uint8_t kNotBase64 = 0xFF;

constexpr std::array<uint8_t, 256> makeBase64Values() {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kNotBase64;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) values[static_cast<uint8_t>(alphabet[i])] = i;
  return values;
}
constexpr std::array<uint8_t, 256> kBase64Values = makeBase64Values();

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isQuotedPrintableKept(unsigned char c) {
  return c == '\t' || c == '\r' || c == '\n' || (c >= 0x20 && c <= 0x7E);
}

// Decodes one line of quoted-printable (already filtered and trimmed at its end), copying
// the runs between escapes whole. Returns true when the line ends in a soft break.
bool decodeQuotedPrintableLine(std::string_view line, std::string& out) {
  size_t i = 0;
  while (i < line.size()) {
    size_t equals = line.find('=', i);
    if (equals == std::string_view::npos) equals = line.size();
    out.append(line.data() + i, equals - i);
    i = equals;
    if (i == line.size()) break;
    if (i + 1 == line.size()) return true;  // "=" ends the line: soft break
    if (i + 2 == line.size()) {             // "=" and one character: both kept
      out.append(line.substr(i, 2));
      return false;
    }
    const int high = hexValue(line[i + 1]);
    const int low = hexValue(line[i + 2]);
    if (high >= 0 && low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
    } else {
      out.append(line.substr(i, 3));  // not an escape: all three characters kept
    }
    i += 3;
  }
  return false;
}

bool isBodyBase64Space(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool isLineBreak(uint8_t c) {
  return c == '\r' || c == '\n';
}

// Base64 blocks as decodeBase64Mime reads them, with the bytes `skip` accepts ignored
// wherever they stand. Runs of whole 4-symbol blocks are decoded four characters at a time;
// skipped bytes, padding and errors take the one-character path. False on failure. Without
// `kWrite` only the decoded length is worked out, in `*count`.
template <bool kWrite, typename Skip>
bool walkBase64Blocks(std::string_view text, Skip skip, std::string* out, uint64_t* count) {
  if constexpr (kWrite) out->resize(text.size() / 4 * 3 + 3);
  char* const begin = kWrite ? out->data() : nullptr;
  uint64_t written = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* const end = p + text.size();
  uint8_t block[4];
  size_t filled = 0;
  while (p < end) {
    if (filled == 0) {
      while (end - p >= 4) {
        const uint32_t a = kBase64Values[p[0]];
        const uint32_t b = kBase64Values[p[1]];
        const uint32_t c = kBase64Values[p[2]];
        const uint32_t d = kBase64Values[p[3]];
        if (((a | b | c | d) & 0xC0) != 0) break;  // not four plain symbols
        if constexpr (kWrite) {
          const uint32_t bits = a << 18 | b << 12 | c << 6 | d;
          char* dst = begin + written;
          dst[0] = static_cast<char>(bits >> 16);
          dst[1] = static_cast<char>((bits >> 8) & 0xFF);
          dst[2] = static_cast<char>(bits & 0xFF);
        }
        written += 3;
        p += 4;
      }
      if (p == end) break;
    }
    const uint8_t ch = *p++;
    if (skip(ch)) continue;
    block[filled++] = ch;
    if (filled < 4) continue;
    filled = 0;
    // A block is 4 symbols, 3 symbols + "=", or 2 symbols + "==".
    size_t symbols = 4;
    if (block[3] == '=') symbols = block[2] == '=' ? 2 : 3;
    uint32_t bits = 0;
    for (size_t k = 0; k < symbols; ++k) {
      const uint8_t v = kBase64Values[block[k]];
      if (v == kNotBase64) return false;
      bits |= static_cast<uint32_t>(v) << (18 - 6 * k);
    }
    if constexpr (kWrite) {
      char* dst = begin + written;
      dst[0] = static_cast<char>(bits >> 16);
      if (symbols >= 3) dst[1] = static_cast<char>((bits >> 8) & 0xFF);
      if (symbols == 4) dst[2] = static_cast<char>(bits & 0xFF);
    }
    written += symbols - 1;
  }
  if (filled != 0) return false;
  if constexpr (kWrite) out->resize(static_cast<size_t>(written));
  if (count != nullptr) *count = written;
  return true;
}

template <typename Skip>
bool decodeBase64Blocks(std::string_view text, Skip skip, std::string& out) {
  return walkBase64Blocks<true>(text, skip, &out, nullptr);
}

// The Content-Transfer-Encoding that transferDecode applies to the part.
enum class Encoding { Identity, Base64, QuotedPrintable };

Encoding partEncoding(const Part& part) {
  const Header* header = firstHeader(part, "Content-Transfer-Encoding");
  if (header == nullptr) return Encoding::Identity;
  // Lower-cased but not trimmed: "base64 " with a trailing blank is not recognised.
  const std::string encoding = text::asciiLower(headerValue(*header));
  if (encoding == "base64") return Encoding::Base64;
  if (encoding == "quoted-printable") return Encoding::QuotedPrintable;
  return Encoding::Identity;
}

}  // namespace

std::optional<std::string> decodeBase64Mime(std::string_view text) {
  std::string out;
  if (!decodeBase64Blocks(text, isLineBreak, out)) return std::nullopt;
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  // Bytes outside the kept set are dropped before anything else is read, so a line is
  // filtered (into `filtered`) only when it holds such a byte; "\n" is kept, which lets the
  // raw text be split into lines first.
  std::string out;
  out.reserve(text.size());
  std::string filtered;
  bool first = true;
  bool softBreak = false;
  bool endsInLineFeed = false;  // whether the last kept byte is "\n"
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    const bool terminated = lf != std::string_view::npos;
    const size_t lineEnd = terminated ? lf : text.size();
    std::string_view line = text.substr(pos, lineEnd - pos);
    pos = terminated ? lf + 1 : text.size();
    bool clean = true;
    for (const char ch : line) clean &= isQuotedPrintableKept(static_cast<unsigned char>(ch));
    if (!clean) {
      filtered.clear();
      for (const char ch : line) {
        if (isQuotedPrintableKept(static_cast<unsigned char>(ch))) filtered.push_back(ch);
      }
      line = filtered;
    }
    if (!terminated && line.empty()) break;  // nothing kept after the last line feed
    endsInLineFeed = terminated;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (!first && !softBreak) out.append("\r\n");
    first = false;
    softBreak = decodeQuotedPrintableLine(line, out);
  }
  if (endsInLineFeed && !softBreak) out.append("\r\n");
  return out;
}

BodyBytes transferDecode(const Part& part) {
  BodyBytes result;
  result.view = part.body;
  switch (partEncoding(part)) {
    case Encoding::Identity:
      break;
    case Encoding::Base64:
      result.view = {};
      if (!decodeBase64Blocks(part.body, isBodyBase64Space, result.decoded)) {
        result.decoded.clear();
        result.ok = false;
        return result;
      }
      result.transformed = true;
      break;
    case Encoding::QuotedPrintable:
      result.transformed = true;
      result.decoded = decodeQuotedPrintable(part.body);
      result.view = {};
      break;
  }
  return result;
}

BodySize transferDecodedSize(const Part& part) {
  BodySize result;
  switch (partEncoding(part)) {
    case Encoding::Identity:
      result.size = part.body.size();
      break;
    case Encoding::Base64:
      result.ok = walkBase64Blocks<false>(part.body, isBodyBase64Space, nullptr, &result.size);
      if (!result.ok) result.size = 0;
      break;
    case Encoding::QuotedPrintable:
      result.size = decodeQuotedPrintable(part.body).size();
      break;
  }
  return result;
}

}  // namespace email::mime
