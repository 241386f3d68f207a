// Helpers shared by the report tests: the hand-made record files under data/.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "email_ventry_report/report.h"
#include "email_ventry_report/table.h"

namespace report_test {

inline std::string dataPath(const std::string& name) {
  return std::string(VENTRY_SOURCE_DIR) + "/tests/report/data/" + name;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Feeds every line of a data file (split at "\n", as the executable does) into a report; a
// last line without "\n" goes in as such.
inline report::Report reportOf(const std::string& name, size_t examples = 5) {
  report::Report r = report::makeReport(examples);
  std::string text = readFile(dataPath(name));
  uint64_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const report::LineEnd lineEnd =
        end == std::string::npos ? report::LineEnd::Missing : report::LineEnd::Ended;
    if (end == std::string::npos) end = text.size();
    report::addLine(r, std::string_view(text).substr(start, end - start), name, ++lineNumber,
                    lineEnd);
    start = end + 1;
  }
  return r;
}

// Fixed page metadata, so that renderings can be compared with golden files.
inline report::Meta metaFor(const std::string& input) {
  return {{input}, "email_ventry_report 0.0.0", "2000-01-02T03:04:05Z"};
}

}  // namespace report_test
