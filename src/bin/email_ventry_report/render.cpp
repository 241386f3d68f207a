#include "email_ventry_report/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

namespace report {
namespace {

using Json = nlohmann::ordered_json;

// One table of the report, shared by the text, Markdown and HTML renderers.
struct Section {
  std::string id;  // HTML anchor
  std::string title;
  std::string note;  // one line under the title, may be empty
  std::vector<std::string> columns;
  std::vector<bool> numeric;  // right-aligned columns
  std::vector<std::vector<std::string>> rows;
  std::string empty = "none";  // shown instead of an empty table
};

std::string num(uint64_t n) {
  return std::to_string(n);
}

std::string fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "-";
  return fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1) + "%";
}

// Messages per second and MB (10^6 bytes) per second over the summed `ms` of the records;
// records that took no measurable time give no rate.
std::optional<double> perSecond(double amount, uint64_t totalMs) {
  if (totalMs == 0) return std::nullopt;
  return amount * 1000.0 / static_cast<double>(totalMs);
}

std::string rateText(std::optional<double> rate) {
  return rate ? fixed(*rate, 1) : "n/a";
}

std::vector<Section> buildSections(const Report& r) {
  std::vector<Section> out;
  Percentiles pct = msPercentiles(r);

  {
    Section s{"summary", "Run", "", {"Measure", "Value"}, {false, true}, {}};
    s.rows = {{"lines read", num(r.lines)},
              {"message records", num(r.records)},
              {"outcome ok", num(r.ok)},
              {"outcome threw", num(r.threw)},
              {"malformed lines", num(r.malformed)},
              {"bytes", num(r.totalBytes)},
              {"ms (sum over records)", num(r.totalMs)},
              {"messages/s", rateText(perSecond(static_cast<double>(r.records), r.totalMs))},
              {"MB/s", rateText(perSecond(static_cast<double>(r.totalBytes) / 1e6, r.totalMs))},
              {"ms p50", num(pct.p50)},
              {"ms p90", num(pct.p90)},
              {"ms p99", num(pct.p99)},
              {"ms max", num(pct.max)}};
    out.push_back(std::move(s));
  }
  {
    Section s{"pairings",
              "Loss notices against probe conditions",
              "records with outcome ok; silent loss = probe condition without the notice, false "
              "alarm = notice without the condition",
              {"Feature", "Probe condition", "Agree", "Both absent", "Silent loss", "False alarm"},
              {false, false, true, true, true, true},
              {}};
    for (const Pairing& p : r.pairings) {
      s.rows.push_back({p.feature, p.condition, num(p.agree), num(p.bothAbsent), num(p.silent),
                        num(p.falseAlarm)});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"recipients",
              "Recipients against the header scan",
              "records with outcome ok; " + num(r.recipientsNotice) +
                  " carry a headers.recipients notice",
              {"Header", "Consistent", "Silent loss", "with notice", "Disagreement", "with notice"},
              {false, true, true, true, true, true},
              {}};
    for (const RecipientCheck& c : r.recipients) {
      s.rows.push_back({c.header, num(c.consistent), num(c.silentLoss), num(c.silentLossWithNotice),
                        num(c.disagreement), num(c.disagreementWithNotice)});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"risks",
              "Unnamed risks",
              "conditions no loss notice covers",
              {"Condition", "Messages", "Share"},
              {false, true, true},
              {}};
    for (const Risk& k : r.risks) {
      s.rows.push_back({k.label, num(k.messages), percent(k.messages, r.records)});
    }
    auto row = [&s](const char* label, uint64_t n, uint64_t whole) {
      s.rows.push_back({label, num(n), percent(n, whole)});
    };
    row("parseErr and reader threw (agree)", r.parseErrThrew, r.records);
    row("parseErr but reader read it", r.parseErrOk, r.records);
    row("reader threw without parseErr", r.threwNoParseErr, r.records);
    row("attachDecl = gotAttachments", r.attachEqual, r.ok);
    row("gotAttachments < attachDecl", r.attachFewer, r.ok);
    row("gotAttachments > attachDecl", r.attachMore, r.ok);
    out.push_back(std::move(s));
  }
  {
    Section s{"examples", "Examples", "", {"Check", "Kind", "Message"}, {false, false, false}, {}};
    auto add = [&s](const std::string& check, const std::string& kind, const Examples& e) {
      for (const std::string& n : e.names) s.rows.push_back({check, kind, n});
    };
    for (const Pairing& p : r.pairings) {
      add(p.feature, "silent loss", p.silentExamples);
      add(p.feature, "false alarm", p.falseAlarmExamples);
    }
    for (const RecipientCheck& c : r.recipients) {
      add("recipients " + c.header, "silent loss", c.silentExamples);
      add("recipients " + c.header, "disagreement", c.disagreementExamples);
    }
    for (const Risk& k : r.risks) add(k.label, "risk", k.examples);
    add("parseErr", "reader read it", r.parseErrOkExamples);
    add("reader threw", "no parseErr", r.threwNoParseErrExamples);
    add("attachments", "fewer than declared", r.attachFewerExamples);
    add("attachments", "more than declared", r.attachMoreExamples);
    out.push_back(std::move(s));
  }
  auto groups = [&out](std::string id, std::string title, std::string column,
                       const GroupCounter& counter, uint64_t whole) {
    Section s{std::move(id),
              std::move(title),
              "",
              {"Messages", "Share", column},
              {true, true, false},
              {}};
    for (const auto& [key, n] : sortedGroups(counter)) {
      s.rows.push_back({num(n), percent(n, whole), key});
    }
    out.push_back(std::move(s));
  };
  groups("errors", "Reader failures (outcome threw)", "Failure text (digits as #)", r.errors,
         r.threw);
  groups("notices", "Loss notices by feature ID", "Feature ID", r.notices, r.records);
  groups("topct", "Root media types", "topCt", r.topCt, r.records);
  {
    Section s{"slowest", "Slowest messages", "", {"ms", "Message"}, {true, false}, {}};
    for (const SlowMessage& m : slowestMessages(r)) s.rows.push_back({num(m.ms), m.name});
    out.push_back(std::move(s));
  }
  {
    Section s{"malformed", "Malformed lines", "", {"Where", "Problem"}, {false, false}, {}};
    if (r.malformed > r.malformedLines.size()) {
      s.note = "first " + num(r.malformedLines.size()) + " of " + num(r.malformed);
    }
    for (const MalformedLine& m : r.malformedLines) {
      s.rows.push_back({m.source + ":" + num(m.line), m.reason});
    }
    out.push_back(std::move(s));
  }
  return out;
}

// Terminal and Markdown output must not pass control characters (escape sequences) from
// message names through to the reader's terminal; they are shown as \xNN.
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

// Display width, counting code points (UTF-8 continuation bytes do not add width).
size_t width(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string renderText(const std::vector<Section>& sections) {
  std::string out;
  for (const Section& s : sections) {
    out += s.title + "\n";
    if (!s.note.empty()) out += "  (" + s.note + ")\n";
    if (s.rows.empty()) {
      out += "  " + s.empty + "\n\n";
      continue;
    }
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
        std::string pad(widths[i] - width(cell), ' ');
        bool last = i + 1 == widths.size();
        l += " ";
        l += s.numeric[i] ? pad + cell : (last ? cell : cell + pad);
        if (!last) l += " ";
      }
      while (!l.empty() && l.back() == ' ') l.pop_back();
      return l + "\n";
    };
    out += line(cells[0]);
    std::vector<std::string> rule;
    for (size_t w : widths) rule.push_back(std::string(w, '-'));
    out += line(rule);
    for (size_t i = 1; i < cells.size(); ++i) out += line(cells[i]);
    out += "\n";
  }
  return out;
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

std::string renderMarkdown(const std::vector<Section>& sections) {
  std::string out = "# Reader fidelity report\n\n";
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

Json examplesJson(const Examples& e) {
  return Json(e.names);
}

Json groupsJson(const GroupCounter& counter) {
  Json out = Json::array();
  for (const auto& [key, n] : sortedGroups(counter)) out.push_back({{"key", key}, {"count", n}});
  return out;
}

std::string renderJson(const Report& r) {
  Percentiles pct = msPercentiles(r);
  Json j;
  auto rate = [](std::optional<double> v) { return v ? Json(*v) : Json(nullptr); };
  j["run"] = {
      {"lines", r.lines},
      {"records", r.records},
      {"ok", r.ok},
      {"threw", r.threw},
      {"malformed", r.malformed},
      {"bytes", r.totalBytes},
      {"ms", r.totalMs},
      {"messagesPerSecond", rate(perSecond(static_cast<double>(r.records), r.totalMs))},
      {"megabytesPerSecond", rate(perSecond(static_cast<double>(r.totalBytes) / 1e6, r.totalMs))},
      {"msPercentiles", {{"p50", pct.p50}, {"p90", pct.p90}, {"p99", pct.p99}, {"max", pct.max}}}};
  Json pairings = Json::array();
  for (const Pairing& p : r.pairings) {
    pairings.push_back({{"feature", "email.read." + p.feature},
                        {"condition", p.condition},
                        {"agree", p.agree},
                        {"bothAbsent", p.bothAbsent},
                        {"silent", p.silent},
                        {"falseAlarm", p.falseAlarm},
                        {"silentExamples", examplesJson(p.silentExamples)},
                        {"falseAlarmExamples", examplesJson(p.falseAlarmExamples)}});
  }
  j["pairings"] = pairings;
  Json recipients = Json::array();
  for (const RecipientCheck& c : r.recipients) {
    recipients.push_back({{"header", c.header},
                          {"consistent", c.consistent},
                          {"silentLoss", c.silentLoss},
                          {"silentLossWithNotice", c.silentLossWithNotice},
                          {"disagreement", c.disagreement},
                          {"disagreementWithNotice", c.disagreementWithNotice},
                          {"silentExamples", examplesJson(c.silentExamples)},
                          {"disagreementExamples", examplesJson(c.disagreementExamples)}});
  }
  j["recipients"] = {{"checks", recipients}, {"recipientsNotice", r.recipientsNotice}};
  Json risks = Json::object();
  for (const Risk& k : r.risks) {
    risks[k.label] = {{"messages", k.messages}, {"examples", examplesJson(k.examples)}};
  }
  j["risks"] = risks;
  j["rejection"] = {{"parseErrAndThrew", r.parseErrThrew},
                    {"parseErrButOk", r.parseErrOk},
                    {"threwWithoutParseErr", r.threwNoParseErr},
                    {"parseErrButOkExamples", examplesJson(r.parseErrOkExamples)},
                    {"threwWithoutParseErrExamples", examplesJson(r.threwNoParseErrExamples)}};
  j["attachments"] = {{"equal", r.attachEqual},
                      {"fewer", r.attachFewer},
                      {"more", r.attachMore},
                      {"fewerExamples", examplesJson(r.attachFewerExamples)},
                      {"moreExamples", examplesJson(r.attachMoreExamples)}};
  j["errors"] = groupsJson(r.errors);
  j["notices"] = groupsJson(r.notices);
  j["topCt"] = groupsJson(r.topCt);
  Json slow = Json::array();
  for (const SlowMessage& m : slowestMessages(r)) slow.push_back({{"ms", m.ms}, {"name", m.name}});
  j["slowest"] = slow;
  Json histogram = Json::array();
  for (const auto& [ms, n] : r.msHistogram) histogram.push_back({{"ms", ms}, {"count", n}});
  j["msHistogram"] = histogram;
  Json malformed = Json::array();
  for (const MalformedLine& m : r.malformedLines) {
    malformed.push_back({{"source", m.source}, {"line", m.line}, {"reason", m.reason}});
  }
  j["malformedLines"] = malformed;
  return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string html(std::string_view s) {
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

// Horizontal bars: one group of three (agree, silent loss, false alarm) per feature. Lengths
// follow the square root of the count so that a handful of silent losses stays visible
// beside a feature that agrees on nearly every message.
std::string featureChart(const Report& r) {
  constexpr int kLabel = 190, kBarMax = 420, kBar = 12, kGap = 2, kGroupGap = 12;
  uint64_t maxCount = 1;
  for (const Pairing& p : r.pairings)
    maxCount = std::max({maxCount, p.agree, p.silent, p.falseAlarm});
  const int groupHeight = 3 * (kBar + kGap) + kGroupGap;
  const int height = static_cast<int>(r.pairings.size()) * groupHeight + 30;
  std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    num(kLabel + kBarMax + 80) + "\" height=\"" + num(height) +
                    "\" role=\"img\" aria-label=\"Notices against probe conditions\">\n";
  struct Kind {
    const char* cls;
    const char* label;
  };
  const Kind kinds[3] = {{"agree", "agree"}, {"silent", "silent loss"}, {"false", "false alarm"}};
  int y = 4;
  for (const Pairing& p : r.pairings) {
    out += "<g class=\"bar-group\" data-feature=\"" + html(p.feature) + "\">\n";
    out += "<text class=\"label\" x=\"0\" y=\"" + num(y + kBar + 8) + "\">" + html(p.feature) +
           "</text>\n";
    const uint64_t values[3] = {p.agree, p.silent, p.falseAlarm};
    for (int k = 0; k < 3; ++k) {
      double share = static_cast<double>(values[k]) / static_cast<double>(maxCount);
      int w = values[k] == 0
                  ? 0
                  : std::max(1, static_cast<int>(std::lround(std::sqrt(share) * kBarMax)));
      int by = y + k * (kBar + kGap);
      out += "<rect class=\"bar " + std::string(kinds[k].cls) + "\" x=\"" + num(kLabel) +
             "\" y=\"" + num(by) + "\" width=\"" + num(w) + "\" height=\"" + num(kBar) +
             "\"><title>" + html(p.feature) + ": " + kinds[k].label + " " + num(values[k]) +
             "</title></rect>";
      out += "<text class=\"value\" x=\"" + num(kLabel + w + 4) + "\" y=\"" + num(by + kBar - 2) +
             "\">" + num(values[k]) + "</text>\n";
    }
    out += "</g>\n";
    y += groupHeight;
  }
  int ly = height - 10;
  int lx = kLabel;
  for (const Kind& k : kinds) {
    out += "<rect class=\"bar " + std::string(k.cls) + "\" x=\"" + num(lx) + "\" y=\"" +
           num(ly - 10) + "\" width=\"10\" height=\"10\"/><text class=\"label\" x=\"" +
           num(lx + 14) + "\" y=\"" + num(ly) + "\">" + k.label + "</text>";
    lx += 120;
  }
  return out + "\n</svg>\n";
}

// Vertical bars over power-of-two millisecond buckets: 0, 1, 2-3, 4-7, ...
std::string timingChart(const Report& r) {
  std::vector<uint64_t> buckets;
  for (const auto& [ms, n] : r.msHistogram) {
    size_t b = 0;
    for (uint64_t v = ms; v > 0; v >>= 1) ++b;
    if (buckets.size() <= b) buckets.resize(b + 1, 0);
    buckets[b] += n;
  }
  if (buckets.empty()) return "<p>no records</p>\n";
  constexpr int kBarWidth = 44, kHeight = 160, kTop = 16, kBottom = 34;
  uint64_t maxCount = *std::max_element(buckets.begin(), buckets.end());
  const int width = std::max(360, static_cast<int>(buckets.size()) * kBarWidth + 10);
  std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    num(width) + "\" height=\"" + num(kHeight + kTop + kBottom) +
                    "\" role=\"img\" aria-label=\"Milliseconds per message\">\n";
  for (size_t b = 0; b < buckets.size(); ++b) {
    std::string label = b == 0   ? "0"
                        : b == 1 ? "1"
                                 : num(uint64_t{1} << (b - 1)) + "-" + num((uint64_t{1} << b) - 1);
    int h =
        buckets[b] == 0
            ? 0
            : std::max(1, static_cast<int>(std::lround(static_cast<double>(buckets[b]) * kHeight /
                                                       static_cast<double>(maxCount))));
    int x = 5 + static_cast<int>(b) * kBarWidth;
    out += "<g class=\"timing-bucket\"><rect class=\"bar time\" x=\"" + num(x + 4) + "\" y=\"" +
           num(kTop + kHeight - h) + "\" width=\"" + num(kBarWidth - 8) + "\" height=\"" + num(h) +
           "\"><title>" + label + " ms: " + num(buckets[b]) +
           " messages</title></rect><text class=\"value\" x=\"" + num(x + kBarWidth / 2) +
           "\" y=\"" + num(kTop + kHeight - h - 3) + "\" text-anchor=\"middle\">" +
           num(buckets[b]) + "</text><text class=\"label\" x=\"" + num(x + kBarWidth / 2) +
           "\" y=\"" + num(kTop + kHeight + 14) + "\" text-anchor=\"middle\">" + label +
           "</text></g>\n";
  }
  out += "<text class=\"label\" x=\"5\" y=\"" + num(kTop + kHeight + 30) +
         "\">milliseconds per message (probe and reader)</text>\n";
  return out + "</svg>\n";
}

std::string htmlTable(const Section& s) {
  std::string out = "<section id=\"" + html(s.id) + "\"><h2>" + html(s.title) + "</h2>\n";
  if (!s.note.empty()) out += "<p class=\"note\">" + html(s.note) + "</p>\n";
  if (s.rows.empty()) return out + "<p>" + html(s.empty) + "</p></section>\n";
  out += "<table><thead><tr>";
  for (size_t i = 0; i < s.columns.size(); ++i) {
    out += std::string(s.numeric[i] ? "<th class=\"num\">" : "<th>") + html(s.columns[i]) + "</th>";
  }
  out += "</tr></thead><tbody>\n";
  for (const auto& row : s.rows) {
    out += "<tr>";
    for (size_t i = 0; i < row.size(); ++i) {
      out += std::string(i < s.numeric.size() && s.numeric[i] ? "<td class=\"num\">" : "<td>") +
             html(row[i]) + "</td>";
    }
    out += "</tr>\n";
  }
  return out + "</tbody></table></section>\n";
}

std::string renderHtml(const Report& r, const std::vector<Section>& sections) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>Reader fidelity report</title>\n<style>\n"
      "body{font-family:system-ui,sans-serif;margin:2em;color:#222;max-width:1100px}\n"
      "h1{font-size:1.5em}h2{font-size:1.15em;margin-top:1.8em}\n"
      "table{border-collapse:collapse;font-size:.9em}\n"
      "th,td{border-bottom:1px solid #ddd;padding:3px 10px;text-align:left;vertical-align:top}\n"
      "th.num,td.num{text-align:right;font-variant-numeric:tabular-nums}\n"
      ".note{color:#555;font-size:.9em}\n"
      ".chart text{font-size:11px;fill:#333}\n"
      ".bar.agree{fill:#3a8a3a}.bar.silent{fill:#c0392b}.bar.false{fill:#e6a100}"
      ".bar.time{fill:#3b6ea8}\n"
      ".cards{display:flex;gap:1em;flex-wrap:wrap}"
      ".card{border:1px solid #ccc;border-radius:6px;padding:.6em 1em}"
      ".card b{display:block;font-size:1.4em}\n"
      "</style></head><body>\n<h1>Reader fidelity report</h1>\n";
  Percentiles pct = msPercentiles(r);
  uint64_t silent = 0, falseAlarms = 0;
  for (const Pairing& p : r.pairings) {
    silent += p.silent;
    falseAlarms += p.falseAlarm;
  }
  auto card = [](const std::string& value, const std::string& label) {
    return "<div class=\"card\"><b>" + html(value) + "</b>" + html(label) + "</div>";
  };
  out += "<div class=\"cards\">" + card(num(r.records), "message records") +
         card(num(r.threw), "reader failures") + card(num(silent), "silent losses") +
         card(num(falseAlarms), "false alarms") + card(num(r.malformed), "malformed lines") +
         card(num(pct.p99) + " ms", "p99 per message") + "</div>\n";
  out +=
      "<section id=\"chart-features\"><h2>Notices against probe conditions</h2>\n"
      "<p class=\"note\">records with outcome ok, per feature: agree, silent loss (condition "
      "without notice), false alarm (notice without condition); bar length grows with the square "
      "root of the count</p>\n" +
      featureChart(r) + "</section>\n";
  out += "<section id=\"chart-timing\"><h2>Timing</h2>\n" + timingChart(r) + "</section>\n";
  for (const Section& s : sections) out += htmlTable(s);
  return out + "</body></html>\n";
}

}  // namespace

std::optional<Format> parseFormat(std::string_view name) {
  if (name == "text") return Format::Text;
  if (name == "markdown") return Format::Markdown;
  if (name == "json") return Format::Json;
  if (name == "html") return Format::Html;
  return std::nullopt;
}

std::string render(const Report& report, Format format) {
  switch (format) {
    case Format::Json:
      return renderJson(report);
    case Format::Markdown:
      return renderMarkdown(buildSections(report));
    case Format::Html:
      return renderHtml(report, buildSections(report));
    case Format::Text:
      break;
  }
  return renderText(buildSections(report));
}

}  // namespace report
