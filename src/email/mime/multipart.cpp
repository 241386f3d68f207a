#include "email/mime/multipart.h"

#include <algorithm>
#include <cstring>

namespace email::mime {

namespace {

std::string_view tailOf(std::string_view message, const DashLine& line) {
  return message.substr(line.start + 2, line.tailEnd - line.start - 2);
}

void buildIndex(DelimiterIndex& index) {
  const std::string_view m = index.message;
  // Lines that start with "--" are found by their "-" rather than line by line: a base64
  // body has no "-" at all and is passed over in one search.
  size_t pos = 0;
  while (pos < m.size()) {
    const void* dash = std::memchr(m.data() + pos, '-', m.size() - pos);
    if (dash == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const char*>(dash) - m.data());
    if (at + 1 >= m.size()) break;
    if (m[at + 1] != '-' || (at != 0 && m[at - 1] != '\n')) {
      pos = at + 1;
      continue;
    }
    const void* lf = std::memchr(m.data() + at, '\n', m.size() - at);
    const size_t lineEnd =
        lf == nullptr ? m.size() : static_cast<size_t>(static_cast<const char*>(lf) - m.data());
    index.byTail.push_back({at, lineEnd});
    pos = lineEnd + 1;
  }
  // A merge sort bounds the byte comparisons by the total line length times log n.
  std::stable_sort(
      index.byTail.begin(), index.byTail.end(),
      [m](const DashLine& a, const DashLine& b) { return tailOf(m, a) < tailOf(m, b); });
  index.built = true;
}

const std::vector<size_t>& linesStartingWith(DelimiterIndex& index, std::string_view boundary) {
  auto cached = index.byBoundary.find(std::string(boundary));
  if (cached != index.byBoundary.end()) return cached->second;
  const std::string_view m = index.message;
  auto lo = std::partition_point(index.byTail.begin(), index.byTail.end(),
                                 [&](const DashLine& line) { return tailOf(m, line) < boundary; });
  auto hi = std::partition_point(lo, index.byTail.end(), [&](const DashLine& line) {
    return tailOf(m, line).substr(0, boundary.size()) == boundary;
  });
  std::vector<size_t> starts;
  starts.reserve(static_cast<size_t>(hi - lo));
  for (auto it = lo; it != hi; ++it) starts.push_back(it->start);
  std::sort(starts.begin(), starts.end());
  return index.byBoundary.emplace(std::string(boundary), std::move(starts)).first->second;
}

size_t findIndexed(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                   size_t sliceEnd) {
  if (!index.built) buildIndex(index);
  const std::vector<size_t>& starts =
      linesStartingWith(index, std::string_view(delimiter.text).substr(2));
  auto it = std::lower_bound(starts.begin(), starts.end(), start);
  if (it == starts.end() || *it + delimiter.text.size() >= sliceEnd) return kNotFound;
  return *it;
}

// Knuth-Morris-Pratt scan of [start, sliceEnd) for a delimiter that contains a line feed.
size_t findScanned(std::string_view message, const Delimiter& delimiter, size_t start,
                   size_t sliceEnd) {
  const std::string_view d = delimiter.text;
  size_t matched = 0;
  for (size_t i = start; i < sliceEnd; ++i) {
    while (matched > 0 && message[i] != d[matched]) matched = delimiter.failure[matched - 1];
    if (message[i] == d[matched]) ++matched;
    if (matched == d.size()) {
      const size_t at = i + 1 - d.size();
      if (i + 1 >= sliceEnd) return kNotFound;
      if (at == start || message[at - 1] == '\n') return at;
      matched = delimiter.failure[matched - 1];
    }
  }
  return kNotFound;
}

}  // namespace

Delimiter makeDelimiter(std::string_view boundary) {
  Delimiter delimiter;
  delimiter.text = "--";
  delimiter.text += boundary;
  delimiter.indexed = boundary.find('\n') == std::string_view::npos;
  if (!delimiter.indexed) {
    const std::string& d = delimiter.text;
    delimiter.failure.assign(d.size(), 0);
    for (size_t i = 1, k = 0; i < d.size(); ++i) {
      while (k > 0 && d[i] != d[k]) k = delimiter.failure[k - 1];
      if (d[i] == d[k]) ++k;
      delimiter.failure[i] = k;
    }
  }
  return delimiter;
}

size_t findDelimiterLine(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                         size_t sliceEnd) {
  if (start >= sliceEnd) return kNotFound;
  if (delimiter.indexed) return findIndexed(index, delimiter, start, sliceEnd);
  return findScanned(index.message, delimiter, start, sliceEnd);
}

size_t findLineFeedBefore(std::string_view message, size_t from, size_t sliceEnd) {
  if (sliceEnd == 0 || from >= sliceEnd - 1) return kNotFound;
  const void* lf = std::memchr(message.data() + from, '\n', sliceEnd - 1 - from);
  if (lf == nullptr) return kNotFound;
  return static_cast<size_t>(static_cast<const char*>(lf) - message.data());
}

}  // namespace email::mime
