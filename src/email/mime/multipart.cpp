#include "email/mime/multipart.h"

#include <algorithm>
#include <cstring>

namespace email::mime {

namespace {

// The scans may pass over this many times the message (plus a little) before the index is
// built: enough for the few nesting levels of real mail, which never needs the index.
constexpr uint64_t kScanPasses = 4;
constexpr uint64_t kScanSlack = 64 * 1024;

std::string_view tailOf(std::string_view message, const DashLine& line) {
  return message.substr(line.start + 2, line.tailEnd - line.start - 2);
}

size_t offsetOf(std::string_view message, const void* at) {
  return static_cast<size_t>(static_cast<const char*>(at) - message.data());
}

void buildIndex(DelimiterIndex& index) {
  const std::string_view m = index.message;
  // Lines that start with "--" are found by their "-" rather than line by line: a base64
  // body has no "-" at all and is passed over in one search.
  size_t pos = 0;
  while (pos < m.size()) {
    const void* dash = std::memchr(m.data() + pos, '-', m.size() - pos);
    if (dash == nullptr) break;
    const size_t at = offsetOf(m, dash);
    if (at + 1 >= m.size()) break;
    if (m[at + 1] != '-' || (at != 0 && m[at - 1] != '\n')) {
      pos = at + 1;
      continue;
    }
    const void* lf = std::memchr(m.data() + at, '\n', m.size() - at);
    const size_t lineEnd = lf == nullptr ? m.size() : offsetOf(m, lf);
    index.byTail.push_back({at, lineEnd});
    pos = lineEnd + 1;
  }
  // A comparison costs at most the shorter tail, so sorting costs the total line length
  // times log n; the offset as the second key keeps the lines of one tail in order.
  std::sort(index.byTail.begin(), index.byTail.end(), [m](const DashLine& a, const DashLine& b) {
    const int order = tailOf(m, a).compare(tailOf(m, b));
    return order != 0 ? order < 0 : a.start < b.start;
  });
  index.built = true;
}

const DelimiterBlock& blockOf(DelimiterIndex& index, std::string_view boundary) {
  auto cached = index.byBoundary.find(std::string(boundary));
  if (cached != index.byBoundary.end()) return cached->second;
  const std::string_view m = index.message;
  auto lo = std::partition_point(index.byTail.begin(), index.byTail.end(),
                                 [&](const DashLine& line) { return tailOf(m, line) < boundary; });
  auto hi = std::partition_point(lo, index.byTail.end(), [&](const DashLine& line) {
    return tailOf(m, line).substr(0, boundary.size()) == boundary;
  });
  DelimiterBlock block;
  block.lo = static_cast<size_t>(lo - index.byTail.begin());
  block.hi = static_cast<size_t>(hi - index.byTail.begin());
  if (lo != hi && tailOf(m, *lo) != tailOf(m, *(hi - 1))) {
    block.starts.reserve(block.hi - block.lo);
    for (auto it = lo; it != hi; ++it) block.starts.push_back(it->start);
    std::sort(block.starts.begin(), block.starts.end());
  }
  return index.byBoundary.emplace(std::string(boundary), std::move(block)).first->second;
}

size_t findIndexed(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                   size_t sliceEnd) {
  if (!index.built) buildIndex(index);
  const DelimiterBlock& block = blockOf(index, std::string_view(delimiter.text).substr(2));
  uint64_t found = 0;
  if (!block.starts.empty()) {
    auto it = std::lower_bound(block.starts.begin(), block.starts.end(), uint64_t{start});
    if (it == block.starts.end()) return kNotFound;
    found = *it;
  } else {
    const auto first = index.byTail.begin() + static_cast<std::ptrdiff_t>(block.lo);
    const auto last = index.byTail.begin() + static_cast<std::ptrdiff_t>(block.hi);
    auto it = std::partition_point(first, last,
                                   [start](const DashLine& line) { return line.start < start; });
    if (it == last) return kNotFound;
    found = it->start;
  }
  if (found + delimiter.text.size() >= sliceEnd) return kNotFound;
  return static_cast<size_t>(found);
}

// The same lookup by scanning [start, sliceEnd) for a "-" at a line start. The bytes passed
// over are taken from the scan budget; the scan that spends the last of it is the last one,
// so all scans together pass over at most the budget plus the message.
size_t findByScan(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                  size_t sliceEnd) {
  const std::string_view m = index.message;
  const std::string_view d = delimiter.text;
  size_t found = kNotFound;
  // A match must end before sliceEnd, so it starts before `limit`.
  const size_t limit = sliceEnd > d.size() ? sliceEnd - d.size() : 0;
  if (start >= limit) return kNotFound;
  size_t pos = start;
  while (pos < limit) {
    const void* dash = std::memchr(m.data() + pos, '-', limit - pos);
    if (dash == nullptr) break;
    const size_t at = offsetOf(m, dash);
    if ((at == start || m[at - 1] == '\n') && std::memcmp(m.data() + at, d.data(), d.size()) == 0) {
      found = at;
      break;
    }
    // No delimiter starts before the next line.
    const void* lf = std::memchr(m.data() + at, '\n', limit - at);
    if (lf == nullptr) break;
    pos = offsetOf(m, lf) + 1;
  }
  const uint64_t passed = (found == kNotFound ? limit : found) - start;
  index.scanBudget -= std::min(index.scanBudget, passed);
  return found;
}

// Knuth-Morris-Pratt scan of [start, sliceEnd) for a delimiter that contains a line feed.
size_t findWithLineFeed(std::string_view message, const Delimiter& delimiter, size_t start,
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

DelimiterIndex makeDelimiterIndex(std::string_view message) {
  return makeDelimiterIndex(message, kScanPasses * message.size() + kScanSlack);
}

DelimiterIndex makeDelimiterIndex(std::string_view message, uint64_t scanBudget) {
  DelimiterIndex index;
  index.message = message;
  index.scanBudget = scanBudget;
  return index;
}

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
  if (!delimiter.indexed) return findWithLineFeed(index.message, delimiter, start, sliceEnd);
  if (!index.built && index.scanBudget > 0) return findByScan(index, delimiter, start, sliceEnd);
  return findIndexed(index, delimiter, start, sliceEnd);
}

size_t findLineFeedBefore(std::string_view message, size_t from, size_t sliceEnd) {
  if (sliceEnd == 0 || from >= sliceEnd - 1) return kNotFound;
  const void* lf = std::memchr(message.data() + from, '\n', sliceEnd - 1 - from);
  if (lf == nullptr) return kNotFound;
  return static_cast<size_t>(static_cast<const char*>(lf) - message.data());
}

}  // namespace email::mime
