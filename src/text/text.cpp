#include "text/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace text {

bool isWhiteSpace(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

// Length of the white-space character that ends at `end` (exclusive), or 0.
size_t whiteSpaceBefore(std::string_view s, size_t end) {
  if (end == 0) return 0;
  unsigned char last = static_cast<unsigned char>(s[end - 1]);
  if (last < 0x80) return isWhiteSpace(last) ? 1 : 0;
  // Walk back to the lead byte of the last character (at most 4 bytes).
  size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
    --start;
  }
  size_t pos = start;
  char32_t c = nextCodePoint(s.substr(0, end), pos);
  return (pos == end && isWhiteSpace(c)) ? end - start : 0;
}

}  // namespace

char32_t nextCodePoint(std::string_view s, size_t& pos) {
  unsigned char b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  auto cont = [&](size_t i) -> char32_t {
    return i < s.size() ? (static_cast<unsigned char>(s[i]) & 0x3F) : 0;
  };
  if (b0 < 0xE0) {
    char32_t c = ((b0 & 0x1F) << 6) | cont(pos + 1);
    pos += 2;
    if (pos > s.size()) pos = s.size();
    return c;
  }
  if (b0 < 0xF0) {
    char32_t c = ((b0 & 0x0F) << 12) | (cont(pos + 1) << 6) | cont(pos + 2);
    pos += 3;
    if (pos > s.size()) pos = s.size();
    return c;
  }
  char32_t c = ((b0 & 0x07) << 18) | (cont(pos + 1) << 12) | (cont(pos + 2) << 6) | cont(pos + 3);
  pos += 4;
  if (pos > s.size()) pos = s.size();
  return c;
}

std::string_view trimStart(std::string_view s) {
  size_t pos = 0;
  // Most text starts with an ASCII character that is not white space.
  if (!s.empty()) {
    const auto first = static_cast<unsigned char>(s.front());
    if (first < 0x80 && !isWhiteSpace(first)) return s;
  }
  while (pos < s.size()) {
    size_t next = pos;
    char32_t c = nextCodePoint(s, next);
    if (!isWhiteSpace(c)) break;
    pos = next;
  }
  return s.substr(pos < s.size() ? pos : s.size());
}

std::string_view trimEnd(std::string_view s) {
  // Most text ends with an ASCII character that is not white space.
  if (!s.empty()) {
    const auto last = static_cast<unsigned char>(s.back());
    if (last < 0x80 && !isWhiteSpace(last)) return s;
  }
  size_t end = s.size();
  while (size_t n = whiteSpaceBefore(s, end)) end -= n;
  return s.substr(0, end);
}

std::string_view trim(std::string_view s) {
  return trimEnd(trimStart(s));
}

bool isBlank(std::string_view s) {
  return trimStart(s).empty();
}

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when it is invalid. When invalid,
// `bad` receives the length of the maximal invalid subpart (at least 1).
size_t validSequence(std::string_view s, size_t i, size_t& bad) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  unsigned char b0 = p[i];
  bad = 1;
  if (b0 < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= n) return 0;
    unsigned char b = p[i + k];
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    bad = k + 1;
  }
  bad = 1;
  return need + 1;
}

}  // namespace

size_t utf8SequenceLength(std::string_view bytes, size_t pos) {
  size_t bad = 0;
  return validSequence(bytes, pos, bad);
}

bool isValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    // Fast path over ASCII runs, sixteen and then eight bytes at a time.
    while (s.size() - i >= 16) {
      uint64_t first;
      uint64_t second;
      std::memcpy(&first, s.data() + i, sizeof first);
      std::memcpy(&second, s.data() + i + 8, sizeof second);
      if (((first | second) & 0x8080808080808080ULL) != 0) break;
      i += 16;
    }
    while (s.size() - i >= 8) {
      uint64_t word;
      std::memcpy(&word, s.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i == s.size()) break;
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t bad;
    size_t len = validSequence(s, i, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

bool isAscii(std::string_view s) {
  size_t i = 0;
  uint64_t high = 0;
  for (; s.size() - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, sizeof word);
    high |= word;
  }
  for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

std::string utf8Lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    size_t bad;
    size_t len = validSequence(s, i, bad);
    if (len) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    unsigned char b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

size_t countCodePoints(std::string_view s) {
  size_t n = 0;
  for (char ch : s) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string_view prefixCodePoints(std::string_view s, size_t maxCodePoints) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (count == maxCodePoints) return s.substr(0, i);
      ++count;
    }
  }
  return s;
}

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = asciiLower(c);
  return out;
}

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

std::optional<uint64_t> parseDecimal(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

std::string_view unicodeLowerView(std::string_view s, std::string& storage) {
  bool unchanged = true;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80 || (c >= 'A' && c <= 'Z')) {
      unchanged = false;
      break;
    }
  }
  if (unchanged) return s;
  storage = unicodeLower(s);
  return storage;
}

namespace {

bool isAsciiText(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// UTF-8 -> UTF-16 -> full case mapping (root locale, context-sensitive) -> UTF-8.
std::string mapCase(std::string_view s, bool toUpper) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t len16 = 0;
  u_strFromUTF8WithSub(nullptr, 0, &len16, s.data(), static_cast<int32_t>(s.size()), 0xFFFD,
                       nullptr, &status);
  status = U_ZERO_ERROR;
  std::vector<UChar> src(static_cast<size_t>(len16) + 1);
  u_strFromUTF8WithSub(src.data(), len16 + 1, &len16, s.data(), static_cast<int32_t>(s.size()),
                       0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return std::string(s);
  std::vector<UChar> mapped(static_cast<size_t>(len16) * 3 + 1);
  status = U_ZERO_ERROR;
  const int32_t capacity = static_cast<int32_t>(mapped.size());
  const int32_t mappedLen =
      toUpper ? u_strToUpper(mapped.data(), capacity, src.data(), len16, "", &status)
              : u_strToLower(mapped.data(), capacity, src.data(), len16, "", &status);
  if (U_FAILURE(status)) return std::string(s);
  std::string out;
  out.reserve(static_cast<size_t>(mappedLen) + 4);
  for (int32_t i = 0; i < mappedLen;) {
    UChar32 c;
    U16_NEXT(mapped.data(), i, mappedLen, c);
    appendUtf8(out, static_cast<char32_t>(c));
  }
  return out;
}

}  // namespace

std::string unicodeLower(std::string_view s) {
  return isAsciiText(s) ? asciiLower(s) : mapCase(s, false);
}

std::string unicodeUpper(std::string_view s) {
  if (!isAsciiText(s)) return mapCase(s, true);
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string encodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = (i + 1 < n) ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

}  // namespace text
