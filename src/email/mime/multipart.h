// Finding the boundary delimiter lines that split a multipart body.
//
// The reference parser treats "--" + boundary at a line start as a delimiter by prefix
// ("--BOGUS" is a delimiter for boundary "B"), and only when at least one byte of the part
// follows the match. A multipart's delimiters are first looked for by scanning its body,
// which keeps nothing and costs one pass per nesting level. Deep nesting would make that a
// rescan of the same lines once per level, so after the scans have passed over a few times
// the message's size, the lines that start with "--" are indexed once and each delimiter is
// then found by lookup. A line belongs to the block of every boundary that starts its tail,
// at most one per tail length, so building the blocks stays linear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace email::mime {

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

// The lines of one message that start with "--", sorted by the bytes that follow up to the
// line feed (then by offset), so that the lines starting with "--" + boundary form one block
// of that order.
struct DashLine {
  uint64_t start = 0;    // offset of the line start
  uint64_t tailEnd = 0;  // offset of the line feed ending the line, or the message size
};
struct DelimiterBlock {
  size_t lo = 0;  // the block in DelimiterIndex::byTail
  size_t hi = 0;
  // Ascending line starts, kept only when the block holds lines of different tails (those of
  // one tail are in ascending order in byTail already).
  std::vector<uint64_t> starts;
};
struct DelimiterIndex {
  std::string_view message;
  uint64_t scanBudget = 0;  // bytes the scans may still pass over before the index is built
  bool built = false;
  std::vector<DashLine> byTail;
  std::unordered_map<std::string, DelimiterBlock> byBoundary;  // per boundary met so far
};

// An index whose scans may pass over four times the message before it indexes; with
// `scanBudget` given, that many bytes (0: every lookup goes through the index).
DelimiterIndex makeDelimiterIndex(std::string_view message);
DelimiterIndex makeDelimiterIndex(std::string_view message, uint64_t scanBudget);

// One multipart's delimiter "--" + boundary, prepared for searching.
struct Delimiter {
  std::string text;
  bool indexed = false;         // no line feed inside: found by scan or index
  std::vector<size_t> failure;  // otherwise: the prefix function for a linear scan
};

Delimiter makeDelimiter(std::string_view boundary);

// The smallest offset i >= start of `index.message` that is a line start (offset 0 or just
// after a LF) where the delimiter's bytes are found; kNotFound when there is none or when
// i + delimiter size >= sliceEnd. `start` must itself be a line start.
size_t findDelimiterLine(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                         size_t sliceEnd);

// The smallest offset j >= from with a LF at j and j + 1 < sliceEnd (a LF that is the last
// byte of the part is not found). kNotFound when there is none.
size_t findLineFeedBefore(std::string_view message, size_t from, size_t sliceEnd);

}  // namespace email::mime
