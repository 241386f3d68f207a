// Finding the boundary delimiter lines that split a multipart body.
//
// The reference parser treats "--" + boundary at a line start as a delimiter by prefix
// ("--BOGUS" is a delimiter for boundary "B"), and only when at least one byte of the part
// follows the match. Searching every part's body afresh would rescan the same lines once per
// nesting level, so the lines that start with "--" are indexed once per message and each
// delimiter is then found by lookup. A line belongs to the block of every boundary that
// starts its tail, at most one per tail length, so building the blocks stays linear.
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
// line feed, so that the lines starting with "--" + boundary form one block of that order.
struct DashLine {
  size_t start = 0;    // offset of the line start
  size_t tailEnd = 0;  // offset of the line feed ending the line, or the message size
};
struct DelimiterIndex {
  std::string_view message;
  bool built = false;
  std::vector<DashLine> byTail;
  // Per boundary met so far: ascending offsets of the lines that start with "--" + boundary.
  std::unordered_map<std::string, std::vector<size_t>> byBoundary;
};

// One multipart's delimiter "--" + boundary, prepared for searching.
struct Delimiter {
  std::string text;
  bool indexed = false;         // no line feed inside: found through the index
  std::vector<size_t> failure;  // otherwise: the prefix function for a linear scan
};

Delimiter makeDelimiter(std::string_view boundary);

// The smallest offset i >= start of `index.message` that is a line start (offset 0 or just
// after a LF), where the delimiter's bytes are found, and with i + delimiter size < sliceEnd.
// `start` must itself be a line start. kNotFound when there is none.
size_t findDelimiterLine(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                         size_t sliceEnd);

// The smallest offset j >= from with a LF at j and j + 1 < sliceEnd (a LF that is the last
// byte of the part is not found). kNotFound when there is none.
size_t findLineFeedBefore(std::string_view message, size_t from, size_t sliceEnd);

}  // namespace email::mime
