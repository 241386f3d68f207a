// The multipart splitter: a multipart/mixed message whose boundary and body come from the
// input (boundary up to the first LF, body after it). Besides the tree's shape, the direct
// children are compared with a plain re-statement of the reference splitting rules.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "email/mime/mime.h"
#include "email/mime/multipart.h"
#include "fuzz_checks.h"

namespace {

// Characters a boundary may use here without quoting trouble or encoded-word syntax.
bool isBoundaryChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         std::string_view("'()+_,-./:=").find(c) != std::string_view::npos;
}

// The smallest i >= start with r[i, i+len(x)) == x and at least one byte after the match.
std::optional<size_t> findFollowed(std::string_view r, std::string_view x, size_t start) {
  for (size_t i = r.find(x, start); i != std::string_view::npos; i = r.find(x, i + 1)) {
    if (i + x.size() < r.size()) return i;
    return std::nullopt;
  }
  return std::nullopt;
}

// A delimiter at `start` or right after an LF.
std::optional<size_t> findDelimiter(std::string_view r, std::string_view d, size_t start) {
  for (auto i = findFollowed(r, d, start); i; i = findFollowed(r, d, *i + 1)) {
    if (*i == start || r[*i - 1] == '\n') return i;
  }
  return std::nullopt;
}

struct Slice {
  size_t offset;
  size_t size;
};

std::vector<Slice> expectedChildren(std::string_view r, size_t bodyStart, std::string_view d) {
  std::vector<Slice> children;
  if (bodyStart >= r.size()) return children;
  auto first = findDelimiter(r, d, bodyStart);
  if (!first) return children;
  size_t pos = *first + d.size();
  while (true) {
    auto lineEnd = findFollowed(r, "\n", pos);
    if (!lineEnd) break;
    size_t start = *lineEnd + 1;
    size_t end = findDelimiter(r, d, start).value_or(r.size());
    children.push_back({start, end - start});
    pos = end + d.size();
    if (pos + 2 > r.size()) break;
    if (r[pos] == '-' && r[pos + 1] == '-') break;
  }
  return children;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto input = fuzzcheck::splitAt(fuzzcheck::asView(data, size), '\n', 80);
  std::string boundary;
  for (char c : input.head) {
    if (isBoundaryChar(c)) boundary += c;
  }
  bool lfOnly = input.head.find('!') != std::string_view::npos;
  std::string message = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"";
  message += lfOnly ? "\n\n" : "\r\n\r\n";
  size_t bodyStart = message.size();
  message.append(input.rest);

  // The scans and the index of "--" lines (which the parse only builds for deep nesting)
  // find the same delimiter lines.
  const email::mime::Delimiter delimiter = email::mime::makeDelimiter(boundary);
  email::mime::DelimiterIndex scanned = email::mime::makeDelimiterIndex(message);
  email::mime::DelimiterIndex indexed = email::mime::makeDelimiterIndex(message, 0);
  for (size_t start = bodyStart; start < message.size();) {
    fuzzcheck::require(
        email::mime::findDelimiterLine(scanned, delimiter, start, message.size()) ==
            email::mime::findDelimiterLine(indexed, delimiter, start, message.size()),
        "scans and the index find the same delimiter line");
    const size_t lf = message.find('\n', start);
    if (lf == std::string::npos) break;
    start = lf + 1;
  }

  auto parsed = email::mime::parseMessage(message);
  fuzzcheck::checkParsedMessage(message, parsed);
  if (!parsed.ok()) return 0;

  auto expected = expectedChildren(message, bodyStart, "--" + boundary);
  fuzzcheck::require(email::mime::childCount(parsed, 0) == expected.size(),
                     "the root has the children the splitting rules give");
  uint32_t child = 1;
  for (const auto& slice : expected) {
    const std::string_view raw = email::mime::partBytes(parsed, child);
    fuzzcheck::require(parsed.parts[child].depth == 1, "children in order");
    fuzzcheck::require(raw.size() == slice.size, "each child spans its delimiters' gap");
    fuzzcheck::require(
        raw.empty() || static_cast<size_t>(raw.data() - message.data()) == slice.offset,
        "each child starts after its delimiter line");
    child = email::mime::subtreeEnd(parsed, child);
  }
  return 0;
}
