#include "email/mime/multipart.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace email::mime {

namespace {

uint64_t hashBytes(std::string_view bytes) {
  return std::hash<std::string_view>{}(bytes);
}

void buildDashLines(DelimiterIndex& index) {
  const std::string_view m = index.message;
  size_t lineStart = 0;
  while (lineStart < m.size()) {
    if (lineStart + 1 < m.size() && m[lineStart] == '-' && m[lineStart + 1] == '-') {
      index.dashLines.push_back(lineStart);
    }
    const void* lf = std::memchr(m.data() + lineStart, '\n', m.size() - lineStart);
    if (lf == nullptr) break;
    lineStart = static_cast<size_t>(static_cast<const char*>(lf) - m.data()) + 1;
  }
  index.built = true;
}

const std::vector<std::pair<uint64_t, size_t>>& linesByTail(DelimiterIndex& index,
                                                            size_t tailLength) {
  auto found = index.byLength.find(tailLength);
  if (found != index.byLength.end()) return found->second;
  std::vector<std::pair<uint64_t, size_t>> lines;
  for (size_t line : index.dashLines) {
    if (line + 2 + tailLength > index.message.size()) continue;
    lines.emplace_back(hashBytes(index.message.substr(line + 2, tailLength)), line);
  }
  std::sort(lines.begin(), lines.end());
  return index.byLength.emplace(tailLength, std::move(lines)).first->second;
}

size_t findIndexed(DelimiterIndex& index, const Delimiter& delimiter, size_t start,
                   size_t sliceEnd) {
  if (!index.built) buildDashLines(index);
  const std::string_view tail = std::string_view(delimiter.text).substr(2);
  const auto& lines = linesByTail(index, tail.size());
  const uint64_t hash = hashBytes(tail);
  auto it = std::lower_bound(lines.begin(), lines.end(), std::make_pair(hash, start));
  for (; it != lines.end() && it->first == hash; ++it) {
    const size_t line = it->second;
    // Offsets only grow from here, so once one is too close to the end all are.
    if (line + delimiter.text.size() >= sliceEnd) return kNotFound;
    if (index.message.substr(line + 2, tail.size()) == tail) return line;
  }
  return kNotFound;
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
