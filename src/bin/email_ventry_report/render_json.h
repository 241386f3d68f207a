// JSON pieces the report and the comparison write alike, so that the two outputs name the
// same things the same way.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "email_ventry_report/report.h"

namespace report {

// Members stay in the order they are written.
using Json = nlohmann::ordered_json;

// Example names as an array.
Json examplesJson(const Examples& examples);

// A run's line and outcome counts: lines, records, ok, threw, failed, unreadable, malformed
// and cut, in this order; callers may append members.
Json runCountsJson(const Report& report);

// The kept malformed and cut lines, each as source, line and reason.
Json malformedLinesJson(const Report& report);

// The finished output: indented by two, bytes that are not UTF-8 replaced, a line end.
std::string jsonText(const Json& json);

}  // namespace report
