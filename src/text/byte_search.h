// Searching bytes in short ranges (header lines, encoded lines) without a library call.
//
// The C library's search functions are fastest on long ranges but pay a fixed cost per
// call; most searches here end within a line, so they are done inline, sixteen bytes at a
// time where SSE2 is available. Loads never reach past the end of the range.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace text {

// Offset of the first byte equal to `c` at or after `from`, or std::string_view::npos.
inline size_t findByte(std::string_view s, size_t from, char c) {
  if (from >= s.size()) return std::string_view::npos;
  const char* const begin = s.data();
  const char* p = begin + from;
  const char* const end = begin + s.size();
#if defined(__SSE2__)
  const __m128i needle = _mm_set1_epi8(c);
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(block, needle));
    if (mask != 0) return static_cast<size_t>(p - begin) + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; p < end; ++p) {
    if (*p == c) return static_cast<size_t>(p - begin);
  }
  return std::string_view::npos;
}

// Offset of the first byte pair `a`, `b` (s[i] == a and s[i + 1] == b) at or after `from`,
// or std::string_view::npos. Made for long ranges in which the pair is rare (line starts
// that begin with one given byte).
inline size_t findBytePair(std::string_view s, size_t from, char a, char b) {
  if (from >= s.size() || s.size() - from < 2) return std::string_view::npos;
  const char* const begin = s.data();
  const char* p = begin + from;
  const char* const end = begin + s.size();
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(a);
  const __m128i second = _mm_set1_epi8(b);
  for (; end - p >= 17; p += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const int mask =
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second)));
    if (mask != 0) return static_cast<size_t>(p - begin) + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; end - p >= 2; ++p) {
    if (p[0] == a && p[1] == b) return static_cast<size_t>(p - begin);
  }
  return std::string_view::npos;
}

// Number of bytes of `s` equal to `c`.
inline size_t countByte(std::string_view s, char c) {
  const char* p = s.data();
  const char* const end = p + s.size();
  size_t count = 0;
#if defined(__SSE2__)
  // Each matching byte lane counts down from zero (a match compares as 0xFF, which is -1);
  // the lanes are summed before any of them can wrap.
  const __m128i needle = _mm_set1_epi8(c);
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 16) {
    __m128i lanes = zero;
    for (int blocks = 0; blocks < 255 && end - p >= 16; ++blocks, p += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(block, needle));
    }
    const __m128i sums = _mm_sad_epu8(lanes, zero);
    count += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; p < end; ++p) count += *p == c ? 1 : 0;
  return count;
}

}  // namespace text
