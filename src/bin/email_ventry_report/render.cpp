#include "email_ventry_report/render.h"

#include <algorithm>
#include <vector>

#include "email_ventry_report/render_json.h"

namespace report {
namespace {

constexpr std::string_view kTitle = "Reader fidelity report";

std::vector<Section> buildSections(const Report& r) {
  std::vector<Section> out;
  Percentiles pct = msPercentiles(r);

  {
    Section s{"summary", "Run", "", {"Measure", "Value", "Share"}, {false, true, true}, {}};
    auto row = [&s, &r](const char* label, uint64_t n) {
      s.rows.push_back({label, count(n), percent(n, r.records)});
    };
    s.rows.push_back({"lines read", count(r.lines), ""});
    row("message records", r.records);
    row("read, outcome ok", r.ok);
    row("read, reader rejected it (threw)", r.threw);
    row("read, could not be processed (failed)", r.failed);
    row("entry unreadable", r.unreadable);
    s.rows.push_back({"malformed lines", count(r.malformed), ""});
    s.rows.push_back({std::string(kCutReason), count(r.cut), ""});
    s.rows.push_back({"bytes read", count(r.totalBytes), ""});
    out.push_back(std::move(s));
  }
  {
    Section s{"timing",
              "Time per message",
              "each record holds whole milliseconds spent in the probe and the reader, so 0 "
              "means under 1 ms; too coarse for a rate, so none is given",
              {"Measure", "Value", "Share"},
              {false, true, true},
              {}};
    const uint64_t slow = msAtLeastOne(r);
    s.rows = {{"messages at 1 ms or more", count(slow), percent(slow, r.records)},
              {"ms p50", count(pct.p50), ""},
              {"ms p90", count(pct.p90), ""},
              {"ms p99", count(pct.p99), ""},
              {"ms max", count(pct.max), ""}};
    out.push_back(std::move(s));
  }
  {
    Section s{"pairings",
              "Loss notices against probe conditions",
              "records with outcome ok, the only ones judged; silent loss = probe condition "
              "without the notice, false alarm = "
              "notice without the condition",
              {"Feature", "Probe condition", "Agree", "Both absent", "Silent loss", "False alarm"},
              {false, false, true, true, true, true},
              {}};
    for (const Pairing& p : r.pairings) {
      s.rows.push_back({p.feature, p.condition, count(p.agree), count(p.bothAbsent),
                        count(p.silent), count(p.falseAlarm)});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"recipients",
              "Recipients against the header scan",
              "records with outcome ok; " + count(r.recipientsNotice) +
                  " carry a headers.recipients notice",
              {"Header", "Consistent", "Silent loss", "with notice", "Disagreement", "with notice"},
              {false, true, true, true, true, true},
              {}};
    for (const RecipientCheck& c : r.recipients) {
      s.rows.push_back({c.header, count(c.consistent), count(c.silentLoss),
                        count(c.silentLossWithNotice), count(c.disagreement),
                        count(c.disagreementWithNotice)});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"risks",
              "Unnamed risks",
              "conditions no loss notice covers, over the " + count(r.probed) +
                  " messages read with a probe",
              {"Condition", "Messages", "Share"},
              {false, true, true},
              {}};
    for (const Risk& k : r.risks) {
      s.rows.push_back({k.label, count(k.messages), percent(k.messages, r.probed)});
    }
    auto row = [&s](const char* label, uint64_t n, uint64_t whole) {
      s.rows.push_back({label, count(n), percent(n, whole)});
    };
    row("parseErr and reader threw (agree)", r.parseErrThrew, r.probed);
    row("parseErr but reader read it", r.parseErrOk, r.probed);
    row("reader threw without parseErr", r.threwNoParseErr, r.probed);
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
      s.rows.push_back({count(n), percent(n, whole), key});
    }
    out.push_back(std::move(s));
  };
  groups("errors", "Reader failures (outcome threw)", "Failure text (digits as #)", r.errors,
         r.threw);
  groups("failed", "Messages that could not be processed (outcome failed)",
         "Failure text (digits as #)", r.failures, r.failed);
  groups("unreadable", "Unreadable entries", "Read error", r.readErrors, r.unreadable);
  {
    Section s{"failure-examples",
              "Examples of failures and unreadable entries",
              "",
              {"Kind", "Message", "Text"},
              {false, false, false},
              {}};
    auto add = [&s](const char* kind, const std::vector<NamedText>& examples) {
      for (const NamedText& e : examples) s.rows.push_back({kind, e.name, e.text});
    };
    add("threw", r.threwExamples);
    add("failed", r.failedExamples);
    add("unreadable", r.unreadableExamples);
    out.push_back(std::move(s));
  }
  groups("notices", "Loss notices by feature ID", "Feature ID", r.notices, r.probed);
  groups("topct", "Root media types", "topCt", r.topCt, r.probed);
  {
    Section s{"slowest", "Slowest messages", "", {"ms", "Message"}, {true, false}, {}};
    for (const SlowMessage& m : slowestMessages(r)) s.rows.push_back({count(m.ms), m.name});
    out.push_back(std::move(s));
  }
  {
    Section s{"malformed", "Malformed and cut lines", "", {"Where", "Problem"}, {false, false}, {}};
    const uint64_t all = r.malformed + r.cut;
    if (all > r.malformedLines.size()) {
      s.note = "first " + count(r.malformedLines.size()) + " of " + count(all);
    }
    for (const MalformedLine& m : r.malformedLines) {
      s.rows.push_back({m.source + ":" + std::to_string(m.line), m.reason});
    }
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<std::string> reportMeta(const Report& r, const Meta& meta) {
  return metaLines(meta, {"records: " + count(r.records) + " of " + count(r.lines) + " lines"});
}

Json namedTextsJson(const std::vector<NamedText>& examples) {
  Json out = Json::array();
  for (const NamedText& e : examples) out.push_back({{"name", e.name}, {"text", e.text}});
  return out;
}

Json groupsJson(const GroupCounter& counter) {
  Json out = Json::array();
  for (const auto& [key, n] : sortedGroups(counter)) out.push_back({{"key", key}, {"count", n}});
  return out;
}

Json metaJson(const Meta& meta) {
  return {{"inputs", meta.inputs}, {"version", meta.version}, {"madeAt", meta.madeAt}};
}

std::string renderJson(const Report& r, const Meta& meta) {
  Percentiles pct = msPercentiles(r);
  Json j;
  j["meta"] = metaJson(meta);
  Json run = runCountsJson(r);
  run["bytes"] = r.totalBytes;
  run["msAtLeast1"] = msAtLeastOne(r);
  run["msPercentiles"] = {{"p50", pct.p50}, {"p90", pct.p90}, {"p99", pct.p99}, {"max", pct.max}};
  j["run"] = run;
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
  j["probed"] = r.probed;
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
  j["failures"] = groupsJson(r.failures);
  j["readErrors"] = groupsJson(r.readErrors);
  j["threwExamples"] = namedTextsJson(r.threwExamples);
  j["failedExamples"] = namedTextsJson(r.failedExamples);
  j["unreadableExamples"] = namedTextsJson(r.unreadableExamples);
  j["notices"] = groupsJson(r.notices);
  j["topCt"] = groupsJson(r.topCt);
  Json slow = Json::array();
  for (const SlowMessage& m : slowestMessages(r)) slow.push_back({{"ms", m.ms}, {"name", m.name}});
  j["slowest"] = slow;
  Json histogram = Json::array();
  for (const auto& [ms, n] : r.msHistogram) histogram.push_back({{"ms", ms}, {"count", n}});
  j["msHistogram"] = histogram;
  j["malformedLines"] = malformedLinesJson(r);
  return jsonText(j);
}

std::string featureChart(const Report& r) {
  std::vector<BarGroup> groups;
  for (const Pairing& p : r.pairings)
    groups.push_back({p.feature, {p.agree, p.silent, p.falseAlarm}});
  return barChart(groups, {{"agree", "agree"}, {"silent", "silent loss"}, {"false", "false alarm"}},
                  "Notices against probe conditions");
}

std::string renderHtml(const Report& r, const std::vector<Section>& sections, const Meta& meta) {
  std::string out = htmlPageStart(kTitle, reportMeta(r, meta));
  const PairingTotals totals = pairingTotals(r);
  out += "<div class=\"cards\">" + htmlCard(count(r.records), "message records") +
         htmlCard(count(r.threw), "reader failures") + htmlCard(count(r.failed), "not processed") +
         htmlCard(count(r.unreadable), "unreadable entries") +
         htmlCard(count(totals.silent), "silent losses") +
         htmlCard(count(totals.falseAlarm), "false alarms") +
         htmlCard(count(r.malformed + r.cut), "malformed or cut lines") +
         htmlCard(percent(msAtLeastOne(r), r.records), "messages at 1 ms or more") + "</div>\n";
  out +=
      "<section id=\"chart-features\"><h2>Notices against probe conditions</h2>\n"
      "<p class=\"note\">records with outcome ok, per feature: agree, silent loss (condition "
      "without notice), false alarm (notice without condition); bar length grows with the square "
      "root of the count</p>\n" +
      featureChart(r) + "</section>\n";
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

std::string render(const Report& report, Format format, const Meta& meta) {
  switch (format) {
    case Format::Json:
      return renderJson(report, meta);
    case Format::Markdown:
      return renderMarkdownPage(kTitle, reportMeta(report, meta), buildSections(report));
    case Format::Html:
      return renderHtml(report, buildSections(report), meta);
    case Format::Text:
      break;
  }
  return renderTextPage(kTitle, reportMeta(report, meta), buildSections(report));
}

}  // namespace report
