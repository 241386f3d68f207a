// UTF-7 decoding. Direct characters are copied without checking the RFC's direct set;
// "+" starts a base64 run of UTF-16BE code units.
#include "email/mime/utf7.h"

#include <cstdint>

#include "email/mime/base64_alphabet.h"
#include "text/text.h"

namespace email::mime {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// A run of unpadded base64 decodes when its length is not 1 modulo 4 and the unused low
// bits of its last symbol are zero.
bool runDecodes(std::string_view run) {
  const size_t rest = run.size() % 4;
  if (rest == 1) return false;
  if (rest == 0) return true;
  const int last = base64Value(run.back());
  return rest == 2 ? (last & 0x0F) == 0 : (last & 0x03) == 0;
}

void decodeRun(std::string_view run, std::string& out) {
  bool dropped = false;
  while (!runDecodes(run)) {
    run.remove_suffix(1);
    dropped = true;
  }
  std::string bytes;
  uint32_t bits = 0;
  int bitCount = 0;
  for (const char c : run) {
    bits = (bits << 6) | static_cast<uint32_t>(base64Value(c));
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      bytes.push_back(static_cast<char>((bits >> bitCount) & 0xFF));
    }
  }
  decodeUtf16(bytes, true, out);
  if (dropped) text::appendUtf8(out, kReplacement);
}

}  // namespace

void decodeUtf16(std::string_view bytes, bool bigEndian, std::string& out) {
  auto unitAt = [&](size_t i) -> char32_t {
    const auto first = static_cast<uint8_t>(bytes[i]);
    const auto second = static_cast<uint8_t>(bytes[i + 1]);
    return bigEndian ? (first << 8) | second : (second << 8) | first;
  };
  size_t i = 0;
  while (i + 1 < bytes.size()) {
    const char32_t unit = unitAt(i);
    i += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < bytes.size()) {
        const char32_t next = unitAt(i);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          text::appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
          i += 2;
          continue;
        }
      } else if (i < bytes.size()) {
        // A lead surrogate and an odd final byte are one error together.
        text::appendUtf8(out, kReplacement);
        return;
      }
      text::appendUtf8(out, kReplacement);  // the next unit is read on its own
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      text::appendUtf8(out, kReplacement);
    } else {
      text::appendUtf8(out, unit);
    }
  }
  if (i < bytes.size()) text::appendUtf8(out, kReplacement);
}

void decodeUtf7(std::string_view bytes, std::string& out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte >= 0x80) {
      text::appendUtf8(out, kReplacement);
      ++i;
      continue;
    }
    if (byte != '+') {
      out.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < bytes.size() && base64Value(bytes[end]) >= 0) ++end;
    const std::string_view run = bytes.substr(i + 1, end - i - 1);
    if (run.empty()) {
      if (end < bytes.size() && bytes[end] == '-') {
        out.push_back('+');
        i = end + 1;
      } else {
        text::appendUtf8(out, kReplacement);
        i = end;
      }
      continue;
    }
    decodeRun(run, out);
    i = (end < bytes.size() && bytes[end] == '-') ? end + 1 : end;
  }
}

}  // namespace email::mime
