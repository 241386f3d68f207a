#include "text/byte_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

size_t naiveFind(std::string_view s, size_t from, char c) {
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] == c) return i;
  }
  return std::string_view::npos;
}

size_t naivePair(std::string_view s, size_t from, char a, char b) {
  for (size_t i = from; i + 1 < s.size(); ++i) {
    if (s[i] == a && s[i + 1] == b) return i;
  }
  return std::string_view::npos;
}

size_t naiveCount(std::string_view s, char c) {
  size_t count = 0;
  for (char b : s) count += b == c ? 1 : 0;
  return count;
}

// The searched range is a window inside a larger buffer whose bytes around it all equal the
// needle: a search that reads or counts past either end of the window shows.
TEST(ByteSearch, FindsOnlyInsideTheRangeAcrossBlockEdges) {
  struct Case {
    size_t size;
    size_t from;
    std::vector<size_t> hits;  // offsets in the window holding the needle
  } cases[] = {
      {0, 0, {}},        {1, 0, {0}},      {15, 0, {}},     {15, 0, {14}},
      {16, 0, {15}},     {16, 0, {}},      {17, 0, {16}},   {17, 1, {0, 16}},
      {31, 0, {16, 30}}, {32, 17, {16}},   {33, 3, {2, 3}}, {64, 0, {47, 48}},
      {100, 99, {99}},   {100, 100, {99}}, {100, 150, {}},  {40, 5, {5}},
  };
  for (const Case& c : cases) {
    std::string buffer(c.size + 64, '\n');
    std::string window(c.size, 'a');
    for (size_t hit : c.hits) window[hit] = '\n';
    buffer.replace(32, c.size, window);
    const std::string_view view = std::string_view(buffer).substr(32, c.size);
    EXPECT_EQ(text::findByte(view, c.from, '\n'), naiveFind(view, c.from, '\n'))
        << "size " << c.size << " from " << c.from;
    EXPECT_EQ(text::countByte(view, '\n'), c.hits.size()) << "size " << c.size;
  }
}

// The pair search: a window inside a buffer of nothing but pairs, so that a pair that
// begins on the window's last byte, or any read past its ends, shows; halves of the pair
// alone are no hit.
TEST(ByteSearch, FindsPairsOnlyInsideTheRangeAcrossBlockEdges) {
  struct Case {
    size_t size;
    size_t from;
    std::vector<size_t> hits;    // offsets in the window where the pair starts
    std::vector<size_t> halves;  // offsets holding the first byte alone
  } cases[] = {
      {0, 0, {}, {}},         {1, 0, {}, {0}},       {2, 0, {0}, {}},
      {2, 1, {0}, {}},        {16, 0, {14}, {0, 7}}, {16, 0, {}, {15}},
      {17, 0, {15}, {3}},     {17, 0, {}, {16}},     {18, 0, {16}, {}},
      {33, 2, {1, 31}, {15}}, {33, 2, {15, 16}, {}}, {64, 0, {47}, {46, 15, 16}},
      {100, 98, {98}, {97}},  {100, 99, {98}, {}},   {100, 150, {}, {}},
      {40, 5, {5}, {4}},
  };
  for (const Case& c : cases) {
    std::string buffer;
    for (size_t i = 0; i < c.size / 2 + 64; ++i) buffer += "\nF";
    std::string window(c.size, 'a');
    for (size_t half : c.halves) window[half] = '\n';
    for (size_t hit : c.hits) window.replace(hit, 2, "\nF");
    buffer.replace(32, c.size, window);
    const std::string_view view = std::string_view(buffer).substr(32, c.size);
    EXPECT_EQ(text::findBytePair(view, c.from, '\n', 'F'), naivePair(view, c.from, '\n', 'F'))
        << "size " << c.size << " from " << c.from;
  }
}

// High bytes must not be confused with the needle, and counts over more than 255 blocks
// (where the per-lane counters are summed) stay exact.
TEST(ByteSearch, CountsAgreeWithAPlainLoopOnLongAndHighByteInput) {
  struct Case {
    size_t size;
    size_t period;  // every period-th byte is the needle
    char needle;
  } cases[] = {
      {16 * 255, 1, '\n'}, {16 * 255 + 1, 1, '\n'}, {16 * 256 + 7, 3, '\xFF'},
      {100000, 76, '\n'},  {70000, 1, '?'},         {5000, 17, '\x80'},
  };
  for (const Case& c : cases) {
    std::string s(c.size, '\x7F');
    for (size_t i = 0; i < s.size(); i += c.period) s[i] = c.needle;
    if (c.needle != '\xFE') s[s.size() / 2 + 1] = '\xFE';
    EXPECT_EQ(text::countByte(s, c.needle), naiveCount(s, c.needle)) << c.size;
    EXPECT_EQ(text::findByte(s, 1, c.needle), naiveFind(s, 1, c.needle)) << c.size;
  }
}

}  // namespace
