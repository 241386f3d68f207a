// Tables shared by the report and the comparison: one section becomes an aligned terminal
// table, a Markdown table or an HTML table; and the number forms all three use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace report {

struct Section {
  std::string id;  // HTML anchor
  std::string title;
  std::string note;  // one line under the title, may be empty
  std::vector<std::string> columns;
  std::vector<bool> numeric;  // right-aligned columns
  std::vector<std::vector<std::string>> rows;
  std::string empty = "none";  // shown instead of an empty table
};

// What a page is about: shown at its head in every format.
struct Meta {
  std::vector<std::string> inputs;  // as named on the command line, "-" for standard input
  std::string version;              // e.g. "email_ventry_report 1.1.0"
  std::string madeAt;               // when the report was made, UTC, ISO 8601
};

// "49,140".
std::string count(uint64_t n);

// A share with one decimal: "12.5%"; a part that is not zero never shows as "0.0%" ("<0.1%")
// and one short of the whole never as "100.0%" (">99.9%"); "-" when the whole is 0.
std::string percent(uint64_t part, uint64_t whole);

// A signed difference: "+3", "-1,200", "0".
std::string change(uint64_t before, uint64_t after);

// Terminal and Markdown output must not pass control characters (escape sequences) from
// message names through to the reader's terminal; they are shown as \xNN.
std::string printable(std::string_view s);

std::string htmlEscape(std::string_view s);

// The whole page in each form; `title` heads it, `meta` lines follow.
std::string renderTextPage(std::string_view title, const std::vector<std::string>& metaLines,
                           const std::vector<Section>& sections);
std::string renderMarkdownPage(std::string_view title, const std::vector<std::string>& metaLines,
                               const std::vector<Section>& sections);

// One section as an HTML <section> with its table.
std::string htmlTable(const Section& section);

// The head of an HTML page: doctype, inline style, title and the metadata list.
std::string htmlPageStart(std::string_view title, const std::vector<std::string>& metaLines);

// One figure with its label, for the row of cards at the head of an HTML page.
std::string htmlCard(const std::string& value, const std::string& label);

// Horizontal bars, one group per row (e.g. per feature) with one bar per kind. Lengths follow
// the square root of the count so that a handful stays visible beside thousands.
struct BarKind {
  std::string cls;  // CSS class of the bar
  std::string label;
};
struct BarGroup {
  std::string label;
  std::vector<uint64_t> values;  // one per kind
};
std::string barChart(const std::vector<BarGroup>& groups, const std::vector<BarKind>& kinds,
                     std::string_view ariaLabel);

// "inputs: a.jsonl, b.jsonl", "made by email_ventry_report 1.1.0 at 2025-01-01T00:00:00Z".
std::vector<std::string> metaLines(const Meta& meta, const std::vector<std::string>& extra);

}  // namespace report
