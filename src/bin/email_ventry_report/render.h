// Renders an aggregated report, or a comparison of two runs, as an aligned terminal table,
// Markdown, JSON or one self-contained HTML page (inline CSS and SVG charts, no scripts, no
// network). Every page names its inputs, the program's version and when it was made.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "email_ventry_report/report.h"
#include "email_ventry_report/table.h"

namespace report {

struct Comparison;

enum class Format { Text, Markdown, Json, Html };

// "text", "markdown", "json" or "html".
std::optional<Format> parseFormat(std::string_view name);

std::string render(const Report& report, Format format, const Meta& meta);

// `meta.inputs` holds the base run, then the new run.
std::string renderComparison(const Comparison& comparison, Format format, const Meta& meta);

}  // namespace report
