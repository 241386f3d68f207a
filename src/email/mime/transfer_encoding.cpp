// Content-Transfer-Encoding decoding: permissive MIME base64, robust quoted-printable, and
// the selection by the part's first Content-Transfer-Encoding header.
#include "email/mime/transfer_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "email/mime/base64_alphabet.h"
#include "email/mime/mime.h"
#include "text/byte_search.h"
#include "text/text.h"

namespace email::mime {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isQuotedPrintableKept(unsigned char c) {
  return c == '\t' || c == '\r' || c == '\n' || (c >= 0x20 && c <= 0x7E);
}

// Bytes a quoted-printable line copies as they are: the kept bytes but "=" and LF.
constexpr std::array<bool, 256> makeQuotedPrintableLiterals() {
  std::array<bool, 256> literal{};
  for (int c = 0; c < 256; ++c) {
    literal[c] = (c == '\t' || c == '\r' || (c >= 0x20 && c <= 0x7E)) && c != '=';
  }
  return literal;
}
constexpr std::array<bool, 256> kQuotedPrintableLiteral = makeQuotedPrintableLiterals();

// Whether all eight bytes of `word` lie in 0x20..0x7E and none is "=".
bool allPrintableNoEquals(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  auto hasZeroByte = [](uint64_t x) { return ((x - kOnes) & ~x & kHigh) != 0; };
  if ((word & kHigh) != 0) return false;
  if ((((word - kOnes * 0x20) & ~word) & kHigh) != 0) return false;  // a byte below 0x20
  return !hasZeroByte(word ^ (kOnes * '=')) && !hasZeroByte(word ^ (kOnes * 0x7F));
}

enum class LineEnd { Hard, Soft, Dropped };

// Decodes one quoted-printable line [p, e) (trimmed at its end) to `dst`, which has room
// for e - p bytes. Stops with Dropped at the first byte that the decoding drops (the
// caller then filters the line and decodes it again); Soft when the line ends in a soft
// break.
LineEnd decodeQuotedPrintableLine(const char* p, const char* e, char*& dst) {
  while (p < e) {
    // Eight printable bytes without "=" at a time.
    while (e - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (!allPrintableNoEquals(word)) break;
      std::memcpy(dst, p, sizeof word);
      dst += 8;
      p += 8;
    }
    if (p == e) break;
    const auto c = static_cast<unsigned char>(*p);
    if (kQuotedPrintableLiteral[c]) {
      *dst++ = static_cast<char>(c);
      ++p;
      continue;
    }
    if (c != '=') return LineEnd::Dropped;
    if (e - p == 1) return LineEnd::Soft;  // "=" ends the line: soft break
    if (!kQuotedPrintableLiteral[static_cast<unsigned char>(p[1])] && p[1] != '=') {
      return LineEnd::Dropped;
    }
    if (e - p == 2) {  // "=" and one character: both kept
      *dst++ = p[0];
      *dst++ = p[1];
      return LineEnd::Hard;
    }
    if (!kQuotedPrintableLiteral[static_cast<unsigned char>(p[2])] && p[2] != '=') {
      return LineEnd::Dropped;
    }
    const int high = hexValue(p[1]);
    const int low = hexValue(p[2]);
    if (high >= 0 && low >= 0) {
      *dst++ = static_cast<char>(high * 16 + low);
    } else {  // not an escape: all three characters kept
      *dst++ = p[0];
      *dst++ = p[1];
      *dst++ = p[2];
    }
    p += 3;
  }
  return LineEnd::Hard;
}

std::string_view trimQuotedPrintableLine(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

bool isBodyBase64Space(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool isLineBreak(uint8_t c) {
  return c == '\r' || c == '\n';
}

// Base64 blocks as decodeBase64Mime reads them, with the bytes `skip` accepts ignored
// wherever they stand. Runs of whole 4-symbol blocks are decoded four characters at a time;
// skipped bytes, padding and errors take the one-character path. False on failure.
template <typename Skip>
bool decodeBase64Blocks(std::string_view text, Skip skip, std::string& out) {
  out.resize(text.size() / 4 * 3 + 3);
  char* dst = out.data();
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
        const uint32_t bits = a << 18 | b << 12 | c << 6 | d;
        dst[0] = static_cast<char>(bits >> 16);
        dst[1] = static_cast<char>((bits >> 8) & 0xFF);
        dst[2] = static_cast<char>(bits & 0xFF);
        dst += 3;
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
    *dst++ = static_cast<char>(bits >> 16);
    if (symbols >= 3) *dst++ = static_cast<char>((bits >> 8) & 0xFF);
    if (symbols == 4) *dst++ = static_cast<char>(bits & 0xFF);
  }
  if (filled != 0) return false;
  out.resize(static_cast<size_t>(dst - out.data()));
  return true;
}

// Per byte for counting base64 bodies: 0 for a symbol, 1 for body white space, 64 for
// anything else, so that the sum over 16 bytes tells both whether all are symbols or white
// space (sum below 64) and how many are white space.
constexpr std::array<uint8_t, 256> makeBase64CountClasses() {
  std::array<uint8_t, 256> classes{};
  for (auto& c : classes) c = 64;
  for (int c = 0; c < 256; ++c) {
    if (kBase64Values[c] != kNotBase64) classes[c] = 0;
  }
  for (const char c : {' ', '\t', '\n', '\f', '\r'}) classes[static_cast<uint8_t>(c)] = 1;
  return classes;
}
// Used where SSE2 is not available.
[[maybe_unused]] constexpr std::array<uint8_t, 256> kBase64CountClasses = makeBase64CountClasses();

// From `p`, the number of whole chunks of sixteen bytes before `end` that hold only base64
// symbols and body white space; `spaces` grows by the white-space bytes among them.
size_t countPlainBase64Chunks(const uint8_t* p, const uint8_t* end, uint64_t& spaces) {
  size_t chunks = 0;
#if defined(__SSE2__)
  // Signed comparisons: bytes from 0x80 up are negative and fall outside every range.
  auto inRange = [](__m128i c, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), c));
  };
  auto is = [](__m128i c, char value) { return _mm_cmpeq_epi8(c, _mm_set1_epi8(value)); };
  const __m128i zero = _mm_setzero_si128();
  bool stopped = false;
  while (!stopped && end - p >= 16) {
    // Each white-space lane counts down from zero (a match compares as -1); the lanes are
    // summed before any of them can wrap.
    __m128i lanes = zero;
    size_t run = 0;
    for (; run < 255 && end - p >= 16; ++run, p += 16) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i symbol =
          _mm_or_si128(_mm_or_si128(inRange(c, 'A', 'Z'), inRange(c, 'a', 'z')),
                       _mm_or_si128(inRange(c, '0', '9'), _mm_or_si128(is(c, '+'), is(c, '/'))));
      // TAB, LF, FF, CR (9..13 without VT) and SP.
      const __m128i space =
          _mm_or_si128(_mm_andnot_si128(is(c, '\v'), inRange(c, '\t', '\r')), is(c, ' '));
      if (_mm_movemask_epi8(_mm_or_si128(symbol, space)) != 0xFFFF) {
        stopped = true;
        break;
      }
      lanes = _mm_sub_epi8(lanes, space);
    }
    const __m128i sums = _mm_sad_epu8(lanes, zero);
    spaces += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
              static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    chunks += run;
  }
#else
  for (; end - p >= 16; p += 16, ++chunks) {
    unsigned sum = 0;
    for (int k = 0; k < 16; ++k) sum += kBase64CountClasses[p[k]];
    if (sum >= 64) break;
    spaces += sum;
  }
#endif
  return chunks;
}

// The decoded length of a base64 body (white space skipped as transferDecode does), or false
// when it does not decode. Stretches of symbols and white space are counted sixteen bytes at
// a time, since every symbol is acceptable anywhere but in a padded block; the rest (padding
// and anything that fails) takes the one-character path of decodeBase64Blocks.
bool countBase64Body(std::string_view text, uint64_t& size) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* const end = p + text.size();
  uint64_t written = 0;
  uint8_t block[4];
  size_t filled = 0;
  bool padded = false;  // the open block holds a "="
  while (p < end) {
    bool counted = false;
    if (!padded) {
      uint64_t spaces = 0;
      const size_t chunks = countPlainBase64Chunks(p, end, spaces);
      if (chunks > 0) {
        const uint64_t total = filled + chunks * 16 - spaces;
        written += total / 4 * 3;
        filled = static_cast<size_t>(total % 4);
        p += chunks * 16;
        counted = true;
      }
    }
    // The open block holds plain symbols only; any plain symbol stands for them.
    if (counted) {
      for (size_t k = 0; k < filled; ++k) block[k] = 'A';
    }
    const auto* const stop = end - p > 16 ? p + 16 : end;
    for (; p < stop; ++p) {
      const uint8_t ch = *p;
      if (isBodyBase64Space(ch)) continue;
      // A byte that is neither a symbol nor "=" fails whatever block it lands in.
      if (kBase64Values[ch] == kNotBase64 && ch != '=') return false;
      if (ch == '=') padded = true;
      block[filled++] = ch;
      if (filled < 4) continue;
      filled = 0;
      padded = false;
      size_t symbolCount = 4;
      if (block[3] == '=') symbolCount = block[2] == '=' ? 2 : 3;
      for (size_t k = 0; k < symbolCount; ++k) {
        if (kBase64Values[block[k]] == kNotBase64) return false;
      }
      written += symbolCount - 1;
    }
  }
  if (filled != 0) return false;
  size = written;
  return true;
}

}  // namespace

TransferEncoding transferEncodingOf(const Header& header) {
  // A value of letters, digits and '-' only decodes to itself.
  const std::string_view raw = header.value;
  const bool plain = std::all_of(raw.begin(), raw.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
  const std::string decoded = plain ? std::string() : headerValue(header);
  const std::string_view value = plain ? raw : std::string_view(decoded);
  if (text::equalsIgnoreAsciiCase(value, "base64")) return TransferEncoding::Base64;
  if (text::equalsIgnoreAsciiCase(value, "quoted-printable")) {
    return TransferEncoding::QuotedPrintable;
  }
  return TransferEncoding::Identity;
}

std::optional<std::string> decodeBase64Mime(std::string_view text) {
  std::string out;
  if (!decodeBase64Blocks(text, isLineBreak, out)) return std::nullopt;
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  // Bytes outside the kept set are dropped before anything else is read. "\n" is kept, so
  // the raw text is split into lines first and a line is filtered (into `filtered`) only
  // when it holds a dropped byte. Every line break becomes CRLF, so the output is at most
  // the input plus one byte per line feed plus a final CRLF.
  const size_t lineFeeds = text::countByte(text, '\n');
  std::string out(text.size() + lineFeeds + 2, '\0');
  char* dst = out.data();
  std::string filtered;
  bool first = true;
  bool softBreak = false;
  bool endsInLineFeed = false;  // whether the last kept byte is "\n"
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text::findByte(text, pos, '\n');
    const bool terminated = lf != std::string_view::npos;
    const size_t lineEnd = terminated ? lf : text.size();
    const std::string_view raw = text.substr(pos, lineEnd - pos);
    pos = terminated ? lf + 1 : text.size();

    char* const lineStart = dst;
    const bool breakFirst = !first && !softBreak;
    if (breakFirst) {
      *dst++ = '\r';
      *dst++ = '\n';
    }
    std::string_view line = trimQuotedPrintableLine(raw);
    LineEnd end = decodeQuotedPrintableLine(line.data(), line.data() + line.size(), dst);
    if (end == LineEnd::Dropped) {
      dst = lineStart;
      filtered.clear();
      for (const char ch : raw) {
        if (isQuotedPrintableKept(static_cast<unsigned char>(ch))) filtered.push_back(ch);
      }
      if (!terminated && filtered.empty()) break;  // nothing kept after the last line feed
      if (breakFirst) {
        *dst++ = '\r';
        *dst++ = '\n';
      }
      line = trimQuotedPrintableLine(filtered);
      end = decodeQuotedPrintableLine(line.data(), line.data() + line.size(), dst);
    }
    endsInLineFeed = terminated;
    first = false;
    softBreak = end == LineEnd::Soft;
  }
  if (endsInLineFeed && !softBreak) {
    *dst++ = '\r';
    *dst++ = '\n';
  }
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

BodyBytes transferDecode(const ParsedMessage& message, uint32_t part) {
  BodyBytes result;
  const std::string_view body = partBody(message, part);
  result.view = body;
  switch (message.parts[part].transferEncoding()) {
    case TransferEncoding::Identity:
      break;
    case TransferEncoding::Base64:
      result.view = {};
      if (!decodeBase64Blocks(body, isBodyBase64Space, result.decoded)) {
        result.decoded.clear();
        result.ok = false;
        return result;
      }
      result.transformed = true;
      break;
    case TransferEncoding::QuotedPrintable:
      result.transformed = true;
      result.decoded = decodeQuotedPrintable(body);
      result.view = {};
      break;
  }
  return result;
}

BodyView decodedBody(const ParsedMessage& message, uint32_t part) {
  if (message.parts[part].transferEncoding() == TransferEncoding::Identity) {
    return BodyView{true, partBody(message, part)};
  }
  auto kept = message.decoded.bodies.find(part);
  if (kept == message.decoded.bodies.end()) {
    kept = message.decoded.bodies.emplace(part, transferDecode(message, part)).first;
  }
  return BodyView{kept->second.ok, kept->second.bytes()};
}

BodySize transferDecodedSize(const ParsedMessage& message, uint32_t part) {
  const TransferEncoding encoding = message.parts[part].transferEncoding();
  if (encoding == TransferEncoding::Identity) return BodySize{true, partBody(message, part).size()};
  DecodedBodies& kept = message.decoded;
  if (const auto found = kept.sizes.find(part); found != kept.sizes.end()) return found->second;
  BodySize result;
  if (const auto body = kept.bodies.find(part); body != kept.bodies.end()) {
    result = BodySize{body->second.ok, body->second.ok ? body->second.bytes().size() : 0};
  } else if (encoding == TransferEncoding::Base64) {
    result.ok = countBase64Body(partBody(message, part), result.size);
    if (!result.ok) result.size = 0;
  } else {
    result.size = decodeQuotedPrintable(partBody(message, part)).size();
  }
  kept.sizes.emplace(part, result);
  return result;
}

}  // namespace email::mime
