// Renders an aggregated report as an aligned terminal table, Markdown, JSON or one
// self-contained HTML page (inline CSS and SVG charts, no scripts, no network).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "email_ventry_report/report.h"

namespace report {

enum class Format { Text, Markdown, Json, Html };

// "text", "markdown", "json" or "html".
std::optional<Format> parseFormat(std::string_view name);

std::string render(const Report& report, Format format);

}  // namespace report
