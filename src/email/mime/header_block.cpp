#include "email/mime/header_block.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/byte_search.h"

namespace email::mime {

namespace {

// Offset of the first byte equal to `c` at or after `from`, or `s.size()`.
size_t findByte(std::string_view s, size_t from, char c) {
  const size_t hit = text::findByte(s, from, c);
  return hit == std::string_view::npos ? s.size() : hit;
}

// Offset of the first ':' or LF at or after `from`, or `s.size()`. Header names are short,
// so sixteen bytes are looked at per step without a library call.
size_t findColonOrLineFeed(std::string_view s, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i colon = _mm_set1_epi8(':');
  const __m128i lineFeed = _mm_set1_epi8('\n');
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    const int mask = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(block, colon), _mm_cmpeq_epi8(block, lineFeed)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < s.size(); ++i) {
    if (s[i] == ':' || s[i] == '\n') return i;
  }
  return s.size();
}

// Reads one header whose first byte is at `pos` (not SP, not an empty line) and returns the
// offset where the next header starts.
// Inlined into the block reader's loop, which calls it for every header.
[[gnu::always_inline]] inline size_t readHeader(std::string_view s, size_t pos, Header& header) {
  const size_t nameEnd = findColonOrLineFeed(s, pos);
  header.name = s.substr(pos, nameEnd - pos);
  if (nameEnd == s.size()) {
    header.value = s.substr(s.size(), 0);
    return s.size();
  }
  if (s[nameEnd] == '\n') {
    // A line without a colon: the whole line is the name and no continuation is taken.
    header.value = s.substr(nameEnd, 0);
    return nameEnd + 1;
  }
  size_t valueStart = nameEnd + 1;
  while (valueStart < s.size() && s[valueStart] == ' ') ++valueStart;
  if (valueStart == s.size()) {
    header.value = s.substr(s.size(), 0);
    return s.size();
  }
  // CRs never extend the value, so trailing CRs (and the final line break) stay outside it
  // while CRs and line breaks inside a folded value are kept.
  size_t valueEnd = valueStart;
  size_t lineStart = valueStart;
  for (;;) {
    const size_t lineEnd = findByte(s, lineStart, '\n');
    size_t last = lineEnd;
    while (last > lineStart && s[last - 1] == '\r') --last;
    if (last > lineStart) valueEnd = last;
    if (lineEnd == s.size()) {
      header.value = s.substr(valueStart, valueEnd - valueStart);
      return s.size();
    }
    const size_t next = lineEnd + 1;
    if (next < s.size() && (s[next] == ' ' || s[next] == '\t')) {
      lineStart = next;
      continue;
    }
    header.value = s.substr(valueStart, valueEnd - valueStart);
    return next;
  }
}

}  // namespace

HeaderBlockEnd readHeaderBlock(std::string_view message, size_t begin, size_t end,
                               std::vector<HeaderSpot>& headers) {
  // The part ends at `end`: headers are read in the message up to there.
  const std::string_view part = message.substr(0, end);
  HeaderBlockEnd block;
  size_t pos = begin;
  for (;;) {
    if (pos >= part.size()) {
      block.bodyStart = part.size();
      return block;
    }
    const char c = part[pos];
    if (c == '\n') {
      block.bodyStart = pos + 1;
      return block;
    }
    if (c == '\r') {
      if (pos + 1 < part.size() && part[pos + 1] == '\n') {
        block.bodyStart = pos + 2;
        return block;
      }
      block.error = kLoneCrError;
      return block;
    }
    if (c == ' ') {
      block.error = kLeadingSpaceError;
      return block;
    }
    Header header;
    const size_t lineStart = pos;
    pos = readHeader(part, pos, header);
    const uint64_t nameLength = std::min<uint64_t>(header.name.size(), HeaderSpot::kLongName);
    headers.push_back(HeaderSpot{lineStart | nameLength << 48});
  }
}

Header readHeaderAt(std::string_view message, size_t lineStart, size_t partEnd) {
  Header header;
  readHeader(message.substr(0, partEnd), lineStart, header);
  return header;
}

}  // namespace email::mime
