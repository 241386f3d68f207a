// The CJK decoders follow the WHATWG Encoding Standard's algorithms step by step. Where the
// standard "prepends" bytes to the input again, the loop index is moved back instead: those
// bytes are always the ones just read, and the first byte of a sequence is never re-read,
// so every loop still moves forward.
#include "email/mime/cjk_decoders.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "email/mime/charset_tables.h"
#include "text/text.h"

namespace email::mime {
namespace {

void appendReplacement(std::string& out) {
  out.append("\xEF\xBF\xBD");
}

bool inRange(uint8_t byte, uint8_t low, uint8_t high) {
  return byte >= low && byte <= high;
}

uint32_t gb18030RangesCodePoint(uint32_t pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
  if (pointer >= 189000) return 0x10000 + pointer - 189000;
  const Gb18030Range* end = kGb18030Ranges + kGb18030RangeCount;
  const Gb18030Range* next = std::upper_bound(
      kGb18030Ranges, end, pointer,
      [](uint32_t value, const Gb18030Range& range) { return value < range.pointer; });
  const Gb18030Range& range = *(next - 1);  // the first range starts at pointer 0
  return range.codePoint + pointer - range.pointer;
}

// Appends the ASCII run that starts at `i` and moves `i` to its last byte.
void copyAsciiRun(std::string_view bytes, size_t& i, std::string& out) {
  const size_t length = asciiRunLength(bytes, i);
  out.append(bytes.substr(i, length));
  i += length - 1;
}

}  // namespace

size_t asciiRunLength(std::string_view bytes, size_t from) {
  size_t i = from;
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  while (i + 16 <= bytes.size()) {
    uint64_t first;
    uint64_t second;
    std::memcpy(&first, bytes.data() + i, 8);
    std::memcpy(&second, bytes.data() + i + 8, 8);
    if (((first | second) & kHighBits) != 0) break;
    i += 16;
  }
  while (i + 8 <= bytes.size()) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & kHighBits) != 0) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<uint8_t>(bytes[i]) < 0x80) ++i;
  return i - from;
}

void decodeShiftJis(std::string_view bytes, std::string& out) {
  uint8_t lead = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (lead != 0) {
      const uint32_t leadOffset = lead < 0xA0 ? 0x81 : 0xC1;
      const uint32_t offset = byte < 0x7F ? 0x40 : 0x41;
      uint32_t codePoint = 0;
      if (inRange(byte, 0x40, 0x7E) || inRange(byte, 0x80, 0xFC)) {
        const uint32_t pointer = (lead - leadOffset) * 188 + byte - offset;
        if (pointer < kJis0208Size) codePoint = kJis0208Index[pointer];
      }
      lead = 0;
      if (codePoint != 0) {
        text::appendUtf8(out, codePoint);
        continue;
      }
      appendReplacement(out);
      if (byte < 0x80) --i;  // the ASCII byte is read again
      continue;
    }
    if (byte < 0x80) {
      copyAsciiRun(bytes, i, out);
    } else if (byte == 0x80) {
      text::appendUtf8(out, byte);
    } else if (inRange(byte, 0xA1, 0xDF)) {
      text::appendUtf8(out, 0xFF61 - 0xA1 + byte);
    } else if (inRange(byte, 0x81, 0x9F) || inRange(byte, 0xE0, 0xFC)) {
      lead = byte;
    } else {
      appendReplacement(out);
    }
  }
  if (lead != 0) appendReplacement(out);
}

void decodeEucJp(std::string_view bytes, std::string& out) {
  uint8_t lead = 0;
  bool jis0212 = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (lead == 0x8E && inRange(byte, 0xA1, 0xDF)) {
      lead = 0;
      text::appendUtf8(out, 0xFF61 - 0xA1 + byte);
      continue;
    }
    if (lead == 0x8F && inRange(byte, 0xA1, 0xFE)) {
      jis0212 = true;
      lead = byte;
      continue;
    }
    if (lead != 0) {
      uint32_t codePoint = 0;
      if (inRange(lead, 0xA1, 0xFE) && inRange(byte, 0xA1, 0xFE)) {
        const uint32_t pointer = (lead - 0xA1) * 94 + byte - 0xA1;
        codePoint = jis0212 ? kJis0212Index[pointer] : kJis0208Index[pointer];
      }
      lead = 0;
      jis0212 = false;
      if (codePoint != 0) {
        text::appendUtf8(out, codePoint);
        continue;
      }
      appendReplacement(out);
      if (byte < 0x80) --i;
      continue;
    }
    if (byte < 0x80) {
      copyAsciiRun(bytes, i, out);
    } else if (byte == 0x8E || byte == 0x8F || inRange(byte, 0xA1, 0xFE)) {
      lead = byte;
    } else {
      appendReplacement(out);
    }
  }
  if (lead != 0) appendReplacement(out);
}

void decodeIso2022Jp(std::string_view bytes, std::string& out) {
  enum class State { Ascii, Roman, Katakana, LeadByte, TrailByte, EscapeStart, Escape };
  State state = State::Ascii;
  State outputState = State::Ascii;
  uint8_t lead = 0;
  bool outputFlag = false;
  // Index bytes.size() stands for the end of the input, which some states still handle.
  for (size_t i = 0; i <= bytes.size(); ++i) {
    const bool atEnd = i == bytes.size();
    const uint8_t byte = atEnd ? 0 : static_cast<uint8_t>(bytes[i]);
    switch (state) {
      case State::Ascii:
      case State::Roman:
      case State::Katakana:
      case State::LeadByte:
        if (atEnd) return;
        if (byte == 0x1B) {
          state = State::EscapeStart;
          continue;
        }
        outputFlag = false;
        if (state == State::Ascii && byte < 0x80 && byte != 0x0E && byte != 0x0F) {
          out.push_back(static_cast<char>(byte));
        } else if (state == State::Roman && byte < 0x80 && byte != 0x0E && byte != 0x0F) {
          if (byte == 0x5C) {
            text::appendUtf8(out, 0xA5);
          } else if (byte == 0x7E) {
            text::appendUtf8(out, 0x203E);
          } else {
            out.push_back(static_cast<char>(byte));
          }
        } else if (state == State::Katakana && inRange(byte, 0x21, 0x5F)) {
          text::appendUtf8(out, 0xFF61 - 0x21 + byte);
        } else if (state == State::LeadByte && inRange(byte, 0x21, 0x7E)) {
          lead = byte;
          state = State::TrailByte;
        } else {
          appendReplacement(out);
        }
        continue;
      case State::TrailByte:
        if (atEnd) {
          state = State::LeadByte;
          appendReplacement(out);
          return;
        }
        if (byte == 0x1B) {
          state = State::EscapeStart;
          appendReplacement(out);
          continue;
        }
        state = State::LeadByte;
        if (inRange(byte, 0x21, 0x7E)) {
          const uint32_t pointer = (lead - 0x21) * 94 + byte - 0x21;
          const uint32_t codePoint = kJis0208Index[pointer];
          if (codePoint != 0) {
            text::appendUtf8(out, codePoint);
            continue;
          }
        }
        appendReplacement(out);
        continue;
      case State::EscapeStart:
        if (!atEnd && (byte == 0x24 || byte == 0x28)) {
          lead = byte;
          state = State::Escape;
          continue;
        }
        --i;  // the byte (or the end) is read again in the output state
        outputFlag = false;
        state = outputState;
        appendReplacement(out);
        continue;
      case State::Escape: {
        const uint8_t escapeLead = lead;
        lead = 0;
        bool designated = true;
        State next = State::Ascii;
        if (escapeLead == 0x28 && byte == 0x42 && !atEnd) {
          next = State::Ascii;
        } else if (escapeLead == 0x28 && byte == 0x4A && !atEnd) {
          next = State::Roman;
        } else if (escapeLead == 0x28 && byte == 0x49 && !atEnd) {
          next = State::Katakana;
        } else if (escapeLead == 0x24 && (byte == 0x40 || byte == 0x42) && !atEnd) {
          next = State::LeadByte;
        } else {
          designated = false;
        }
        if (designated) {
          state = outputState = next;
          const bool error = outputFlag;
          outputFlag = true;
          if (error) appendReplacement(out);
          continue;
        }
        i -= 2;  // the escape's second byte and this byte are read again
        outputFlag = false;
        state = outputState;
        appendReplacement(out);
        continue;
      }
    }
  }
}

namespace {

// The lead/trail loop shared by the two-byte decoders whose lead bytes are 0x81..0xFE:
// `trail(lead, byte, out)` appends the character of a pair and returns true, or returns
// false for an unmapped pair, which becomes U+FFFD (an ASCII trail byte is then read again).
template <typename Trail>
void decodeLeadTrail(std::string_view bytes, std::string& out, Trail trail) {
  uint8_t lead = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (lead != 0) {
      const bool done = trail(lead, byte, out);
      lead = 0;
      if (done) continue;
      appendReplacement(out);
      if (byte < 0x80) --i;
      continue;
    }
    if (byte < 0x80) {
      copyAsciiRun(bytes, i, out);
    } else if (inRange(byte, 0x81, 0xFE)) {
      lead = byte;
    } else {
      appendReplacement(out);
    }
  }
  if (lead != 0) appendReplacement(out);
}

bool appendIfMapped(uint32_t codePoint, std::string& out) {
  if (codePoint == 0) return false;
  text::appendUtf8(out, codePoint);
  return true;
}

}  // namespace

void decodeEucKr(std::string_view bytes, std::string& out) {
  decodeLeadTrail(bytes, out, [](uint8_t lead, uint8_t byte, std::string& o) {
    if (!inRange(byte, 0x41, 0xFE)) return false;
    return appendIfMapped(kEucKrIndex[(lead - 0x81) * 190 + byte - 0x41], o);
  });
}

void decodeBig5(std::string_view bytes, std::string& out) {
  decodeLeadTrail(bytes, out, [](uint8_t lead, uint8_t byte, std::string& o) {
    if (!inRange(byte, 0x40, 0x7E) && !inRange(byte, 0xA1, 0xFE)) return false;
    const uint32_t offset = byte < 0x7F ? 0x40 : 0x62;
    const uint32_t pointer = (lead - 0x81) * 157 + byte - offset;
    // Four pointers decode to a letter and a combining mark.
    switch (pointer) {
      case 1133:
        o.append("\xC3\x8A\xCC\x84");  // U+00CA U+0304
        return true;
      case 1135:
        o.append("\xC3\x8A\xCC\x8C");  // U+00CA U+030C
        return true;
      case 1164:
        o.append("\xC3\xAA\xCC\x84");  // U+00EA U+0304
        return true;
      case 1166:
        o.append("\xC3\xAA\xCC\x8C");  // U+00EA U+030C
        return true;
      default:
        return appendIfMapped(kBig5Index[pointer], o);
    }
  });
}

void decodeGb18030(std::string_view bytes, std::string& out) {
  uint8_t first = 0;
  uint8_t second = 0;
  uint8_t third = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (third != 0) {
      if (!inRange(byte, 0x30, 0x39)) {
        first = second = third = 0;
        appendReplacement(out);
        i -= 3;  // the second and third bytes and this byte are read again
        continue;
      }
      const uint32_t pointer =
          (((first - 0x81) * 10 + second - 0x30) * 126 + third - 0x81) * 10 + byte - 0x30;
      first = second = third = 0;
      const uint32_t codePoint = gb18030RangesCodePoint(pointer);
      if (codePoint == 0) {
        appendReplacement(out);
      } else {
        text::appendUtf8(out, codePoint);
      }
      continue;
    }
    if (second != 0) {
      if (inRange(byte, 0x81, 0xFE)) {
        third = byte;
        continue;
      }
      first = second = 0;
      appendReplacement(out);
      i -= 2;  // the second byte and this byte are read again
      continue;
    }
    if (first != 0) {
      if (inRange(byte, 0x30, 0x39)) {
        second = byte;
        continue;
      }
      const uint8_t lead = first;
      first = 0;
      uint32_t codePoint = 0;
      if (inRange(byte, 0x40, 0x7E) || inRange(byte, 0x80, 0xFE)) {
        const uint32_t offset = byte < 0x7F ? 0x40 : 0x41;
        codePoint = kGb18030Index[(lead - 0x81) * 190 + byte - offset];
      }
      if (codePoint != 0) {
        text::appendUtf8(out, codePoint);
        continue;
      }
      appendReplacement(out);
      if (byte < 0x80) --i;
      continue;
    }
    if (byte < 0x80) {
      copyAsciiRun(bytes, i, out);
    } else if (byte == 0x80) {
      text::appendUtf8(out, 0x20AC);
    } else if (byte == 0xFF) {
      appendReplacement(out);
    } else {
      first = byte;
    }
  }
  if (first != 0 || second != 0 || third != 0) appendReplacement(out);
}

}  // namespace email::mime
