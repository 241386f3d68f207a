// The list file: entries against a restatement of the line rules (LF ends a line, one CR
// before it belongs to the line end, Unicode White_Space trimmed, empty and "#" lines
// skipped), and path joining.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/list_file.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

std::vector<std::string_view> expectedEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t next = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(start, (end == text.npos ? text.size() : end) - start);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    std::string_view entry = text::trim(line);
    if (!entry.empty() && entry.front() != '#') entries.push_back(entry);
    start = next;
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto input = fuzzcheck::asView(data, size);
  if (!text::isValidUtf8(input)) return 0;  // the tool refuses such a list as a whole
  auto entries = corpus::splitListEntries(input);
  auto expected = expectedEntries(input);
  fuzzcheck::require(entries == expected, "list entries follow the line rules");
  for (auto entry : entries) {
    fuzzcheck::require(fuzzcheck::isWithin(entry, input), "entries are views into the text");
    std::string joined = corpus::joinPath("root", entry);
    if (entry.front() == '/') {
      fuzzcheck::require(joined == entry, "an absolute entry stands alone");
    } else {
      fuzzcheck::require(joined.size() > entry.size() && joined.rfind("root", 0) == 0 &&
                             joined.compare(joined.size() - entry.size(), entry.size(), entry) == 0,
                         "a relative entry lies below the root");
    }
  }
  return 0;
}
