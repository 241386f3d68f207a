// Record lines: the report's streaming reading of a line against the document tree it falls
// back to. Whatever the bytes, both give the same record (digests included) or the same
// problem text; one parser reads all the input's lines, so what it keeps from line to line
// is exercised too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "email_ventry_report/record.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzzcheck::asView(data, size);
  report::RecordParser parser;
  size_t start = 0;
  bool digests = size % 2 == 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = input.substr(start, end - start);
    for (int round = 0; round < 2; ++round, digests = !digests) {
      const report::ParsedLine got = parser.parse(line, digests);
      const std::variant<report::Record, std::string> want = report::parseRecordTree(line, digests);
      if (const auto* problem = std::get_if<std::string>(&want)) {
        fuzzcheck::require(got.record == nullptr, "a record only where the tree finds one");
        fuzzcheck::require(got.problem == *problem, "the tree's words for a line that is none");
      } else {
        fuzzcheck::require(got.record != nullptr, "a record wherever the tree finds one");
        fuzzcheck::require(*got.record == std::get<report::Record>(want),
                           "the record the tree reads, digests included");
      }
    }
    start = end + 1;
  }
  return 0;
}
