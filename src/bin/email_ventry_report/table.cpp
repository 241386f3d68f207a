#include "email_ventry_report/table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace report {
namespace {

// Display width, counting code points (UTF-8 continuation bytes do not add width).
size_t width(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string markdownCell(std::string_view s) {
  std::string out;
  for (char c : printable(s)) {
    if (c == '|' || c == '\\' || c == '`' || c == '*' || c == '_' || c == '<' || c == '[') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string textTable(const Section& s) {
  std::vector<std::vector<std::string>> cells;
  cells.push_back(s.columns);
  for (const auto& row : s.rows) {
    std::vector<std::string> clean;
    for (const std::string& c : row) clean.push_back(printable(c));
    cells.push_back(std::move(clean));
  }
  std::vector<size_t> widths(s.columns.size(), 0);
  for (const auto& row : cells) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], width(row[i]));
    }
  }
  auto line = [&](const std::vector<std::string>& row) {
    std::string l = " ";
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : "";
      std::string pad(widths[i] - std::min(widths[i], width(cell)), ' ');
      bool last = i + 1 == widths.size();
      l += " ";
      l += s.numeric[i] ? pad + cell : (last ? cell : cell + pad);
      if (!last) l += " ";
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    return l + "\n";
  };
  std::string out = line(cells[0]);
  std::vector<std::string> rule;
  for (size_t w : widths) rule.push_back(std::string(w, '-'));
  out += line(rule);
  for (size_t i = 1; i < cells.size(); ++i) out += line(cells[i]);
  return out;
}

}  // namespace

std::string count(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "-";
  // Tenths of a percent, rounded half up, in integers so that the edges are exact.
  using Wide = unsigned __int128;
  const uint64_t tenths =
      static_cast<uint64_t>((Wide{part} * 2000 + Wide{whole}) / (Wide{whole} * 2));
  if (part > 0 && tenths == 0) return "<0.1%";
  if (part < whole && tenths >= 1000) return ">99.9%";
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

std::string change(uint64_t before, uint64_t after) {
  if (after == before) return "0";
  std::string out(1, after > before ? '+' : '-');
  out += count(after > before ? after - before : before - after);
  return out;
}

std::string printable(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool c1 = c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(s[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      unsigned v = c1 ? static_cast<unsigned char>(s[++i]) : c;
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", v);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string htmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string barChart(const std::vector<BarGroup>& groups, const std::vector<BarKind>& kinds,
                     std::string_view ariaLabel) {
  constexpr int kLabel = 190, kBarMax = 420, kBar = 12, kGap = 2, kGroupGap = 12;
  uint64_t maxCount = 1;
  for (const BarGroup& g : groups) {
    for (uint64_t v : g.values) maxCount = std::max(maxCount, v);
  }
  const int groupHeight = static_cast<int>(kinds.size()) * (kBar + kGap) + kGroupGap;
  const int height = static_cast<int>(groups.size()) * groupHeight + 30;
  auto num = [](int n) { return std::to_string(n); };
  std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    num(kLabel + kBarMax + 80) + "\" height=\"" + num(height) +
                    "\" role=\"img\" aria-label=\"" + htmlEscape(ariaLabel) + "\">\n";
  int y = 4;
  for (const BarGroup& g : groups) {
    out += "<g class=\"bar-group\" data-feature=\"" + htmlEscape(g.label) + "\">\n";
    out += "<text class=\"label\" x=\"0\" y=\"" + num(y + kBar + 8) + "\">" + htmlEscape(g.label) +
           "</text>\n";
    for (size_t k = 0; k < kinds.size() && k < g.values.size(); ++k) {
      const uint64_t v = g.values[k];
      const double share = static_cast<double>(v) / static_cast<double>(maxCount);
      const int w =
          v == 0 ? 0 : std::max(1, static_cast<int>(std::lround(std::sqrt(share) * kBarMax)));
      const int by = y + static_cast<int>(k) * (kBar + kGap);
      out += "<rect class=\"bar " + htmlEscape(kinds[k].cls) + "\" x=\"" + num(kLabel) + "\" y=\"" +
             num(by) + "\" width=\"" + num(w) + "\" height=\"" + num(kBar) + "\"><title>" +
             htmlEscape(g.label) + ": " + htmlEscape(kinds[k].label) + " " + count(v) +
             "</title></rect>";
      out += "<text class=\"value\" x=\"" + num(kLabel + w + 4) + "\" y=\"" + num(by + kBar - 2) +
             "\">" + count(v) + "</text>\n";
    }
    out += "</g>\n";
    y += groupHeight;
  }
  const int ly = height - 10;
  int lx = kLabel;
  for (const BarKind& k : kinds) {
    out += "<rect class=\"bar " + htmlEscape(k.cls) + "\" x=\"" + num(lx) + "\" y=\"" +
           num(ly - 10) + "\" width=\"10\" height=\"10\"/><text class=\"label\" x=\"" +
           num(lx + 14) + "\" y=\"" + num(ly) + "\">" + htmlEscape(k.label) + "</text>";
    lx += 130;
  }
  return out + "\n</svg>\n";
}

std::vector<std::string> metaLines(const Meta& meta, const std::vector<std::string>& extra) {
  std::string inputs;
  for (const std::string& input : meta.inputs) {
    if (!inputs.empty()) inputs += ", ";
    inputs += input == "-" ? "standard input" : input;
  }
  std::vector<std::string> out;
  out.push_back((meta.inputs.size() == 1 ? "input: " : "inputs: ") + inputs);
  out.insert(out.end(), extra.begin(), extra.end());
  out.push_back("made " + meta.madeAt + " by " + meta.version);
  return out;
}

std::string renderTextPage(std::string_view title, const std::vector<std::string>& meta,
                           const std::vector<Section>& sections) {
  std::string out = std::string(title) + "\n";
  for (const std::string& line : meta) out += "  " + printable(line) + "\n";
  out += "\n";
  for (const Section& s : sections) {
    out += s.title + "\n";
    if (!s.note.empty()) out += "  (" + printable(s.note) + ")\n";
    out += s.rows.empty() ? "  " + s.empty + "\n" : textTable(s);
    out += "\n";
  }
  return out;
}

std::string renderMarkdownPage(std::string_view title, const std::vector<std::string>& meta,
                               const std::vector<Section>& sections) {
  std::string out = "# " + std::string(title) + "\n\n";
  for (const std::string& line : meta) out += "- " + markdownCell(line) + "\n";
  out += "\n";
  for (const Section& s : sections) {
    out += "## " + s.title + "\n\n";
    if (!s.note.empty()) out += markdownCell(s.note) + "\n\n";
    if (s.rows.empty()) {
      out += s.empty + "\n\n";
      continue;
    }
    out += "|";
    for (const std::string& c : s.columns) out.append(" ").append(markdownCell(c)).append(" |");
    out += "\n|";
    for (bool n : s.numeric) out += n ? " ---: |" : " --- |";
    out += "\n";
    for (const auto& row : s.rows) {
      out += "|";
      for (const std::string& c : row) out.append(" ").append(markdownCell(c)).append(" |");
      out += "\n";
    }
    out += "\n";
  }
  return out;
}

std::string htmlTable(const Section& s) {
  std::string out =
      "<section id=\"" + htmlEscape(s.id) + "\"><h2>" + htmlEscape(s.title) + "</h2>\n";
  if (!s.note.empty()) out += "<p class=\"note\">" + htmlEscape(s.note) + "</p>\n";
  if (s.rows.empty()) return out + "<p>" + htmlEscape(s.empty) + "</p></section>\n";
  out += "<table><thead><tr>";
  for (size_t i = 0; i < s.columns.size(); ++i) {
    out += std::string(s.numeric[i] ? "<th class=\"num\">" : "<th>") + htmlEscape(s.columns[i]) +
           "</th>";
  }
  out += "</tr></thead><tbody>\n";
  for (const auto& row : s.rows) {
    out += "<tr>";
    for (size_t i = 0; i < row.size(); ++i) {
      out += std::string(i < s.numeric.size() && s.numeric[i] ? "<td class=\"num\">" : "<td>") +
             htmlEscape(row[i]) + "</td>";
    }
    out += "</tr>\n";
  }
  return out + "</tbody></table></section>\n";
}

std::string htmlCard(const std::string& value, const std::string& label) {
  return "<div class=\"card\"><b>" + htmlEscape(value) + "</b>" + htmlEscape(label) + "</div>";
}

std::string htmlPageStart(std::string_view title, const std::vector<std::string>& meta) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>" +
      htmlEscape(title) +
      "</title>\n<style>\n"
      "body{font-family:system-ui,sans-serif;margin:2em;color:#222;max-width:1100px}\n"
      "h1{font-size:1.5em}h2{font-size:1.15em;margin-top:1.8em}\n"
      "table{border-collapse:collapse;font-size:.9em}\n"
      "th,td{border-bottom:1px solid #ddd;padding:3px 10px;text-align:left;vertical-align:top}\n"
      "th.num,td.num{text-align:right;font-variant-numeric:tabular-nums}\n"
      ".note,.meta{color:#555;font-size:.9em}.meta{list-style:none;padding:0}\n"
      ".chart text{font-size:11px;fill:#333}\n"
      ".bar.agree,.bar.fixed{fill:#3a8a3a}.bar.silent{fill:#c0392b}.bar.false{fill:#e6a100}"
      ".bar.fixed-false{fill:#7fb8e0}\n"
      ".cards{display:flex;gap:1em;flex-wrap:wrap}"
      ".card{border:1px solid #ccc;border-radius:6px;padding:.6em 1em}"
      ".card b{display:block;font-size:1.4em}\n"
      ".warning{border:2px solid #c0392b;background:#fdecea;padding:.6em 1em;border-radius:6px}\n"
      "</style></head><body>\n<h1>" +
      htmlEscape(title) + "</h1>\n<ul class=\"meta\">";
  for (const std::string& line : meta) out += "<li>" + htmlEscape(line) + "</li>";
  return out + "</ul>\n";
}

}  // namespace report
