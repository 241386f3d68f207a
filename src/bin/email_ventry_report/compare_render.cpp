// The comparison of two runs in each output format.
#include <vector>

#include "email_ventry_report/compare.h"
#include "email_ventry_report/render.h"
#include "email_ventry_report/render_json.h"

namespace report {
namespace {

constexpr std::string_view kTitle = "Reader fidelity: comparison of two runs";

struct Moved {
  uint64_t newSilent = 0, fixedSilent = 0, newFalseAlarm = 0, fixedFalseAlarm = 0;
};

Moved movedOf(const Comparison& c) {
  Moved m;
  for (const FeatureChange& f : c.features) {
    m.newSilent += f.newSilent;
    m.fixedSilent += f.fixedSilent;
    m.newFalseAlarm += f.newFalseAlarm;
    m.fixedFalseAlarm += f.fixedFalseAlarm;
  }
  return m;
}

uint64_t outcomeChanges(const Comparison& c) {
  uint64_t n = 0;
  for (const auto& [key, change] : c.outcomes) n += change.messages;
  return n;
}

std::string probeWarning(const Comparison& c) {
  return "the probe saw " + count(c.probeChanged.messages) + " of " + count(c.probeCompared) +
         " messages differently; the probe reads only the message bytes, so between two runs "
         "over the same corpus this means the tool itself changed, or the corpus did";
}

std::vector<Section> buildSections(const Comparison& c) {
  std::vector<Section> out;
  const Report& b = c.base;
  const Report& n = c.next;

  if (c.probeChanged.messages > 0) {
    Section s{"probe-changes",      "WARNING: the probe changed",
              probeWarning(c),      {"Probe member", "Messages", "Examples"},
              {false, true, false}, {}};
    for (const auto& [member, change] : c.probeMembers) {
      std::string names;
      for (const NameChange& e : change.examples) names += (names.empty() ? "" : ", ") + e.name;
      s.rows.push_back({member, count(change.messages), names});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"runs",
              "Runs",
              "each run counted on its own, every record",
              {"Measure", "Base", "New", "Change"},
              {false, true, true, true},
              {}};
    auto row = [&s](std::string_view label, uint64_t before, uint64_t after) {
      s.rows.push_back({std::string(label), count(before), count(after), change(before, after)});
    };
    const PairingTotals tb = pairingTotals(b), tn = pairingTotals(n);
    row("message records", b.records, n.records);
    row("read, outcome ok", b.ok, n.ok);
    row("read, reader rejected it (threw)", b.threw, n.threw);
    row("read, could not be processed (failed)", b.failed, n.failed);
    row("entry unreadable", b.unreadable, n.unreadable);
    row("silent losses (all features)", tb.silent, tn.silent);
    row("false alarms (all features)", tb.falseAlarm, tn.falseAlarm);
    row("agreeing pairs (all features)", tb.agree, tn.agree);
    row("malformed lines", b.malformed, n.malformed);
    row(kCutReason, b.cut, n.cut);
    out.push_back(std::move(s));
  }
  {
    Section s{"names",
              "Names",
              "records are matched by name; a name met again in the same run is ignored",
              {"Measure", "Messages"},
              {false, true},
              {}};
    s.rows = {{"in both runs", count(c.matched)},
              {"only in the base run", count(c.onlyBase)},
              {"only in the new run", count(c.onlyNew)},
              {"repeated names, base run", count(c.duplicateBase)},
              {"repeated names, new run", count(c.duplicateNew)}};
    out.push_back(std::move(s));
  }
  auto perFeature = [&out, &c](std::string id, std::string title, uint64_t Pairing::*counted,
                               uint64_t FeatureChange::*added, uint64_t FeatureChange::*fixed) {
    Section s{std::move(id),
              std::move(title),
              "before and after count every record of each run; New and Fixed count messages "
              "both runs have",
              {"Feature", "Before", "After", "Change", "New", "Fixed"},
              {false, true, true, true, true, true},
              {}};
    for (size_t i = 0; i < c.features.size(); ++i) {
      const FeatureChange& f = c.features[i];
      const uint64_t was = c.base.pairings[i].*counted, now = c.next.pairings[i].*counted;
      s.rows.push_back(
          {f.feature, count(was), count(now), change(was, now), count(f.*added), count(f.*fixed)});
    }
    out.push_back(std::move(s));
  };
  perFeature("silent", "Silent losses per feature", &Pairing::silent, &FeatureChange::newSilent,
             &FeatureChange::fixedSilent);
  perFeature("false-alarms", "False alarms per feature", &Pairing::falseAlarm,
             &FeatureChange::newFalseAlarm, &FeatureChange::fixedFalseAlarm);
  {
    Section s{"agree",
              "Agreeing pairs per feature",
              "notice and condition together; every record of each run",
              {"Feature", "Before", "After", "Change"},
              {false, true, true, true},
              {}};
    for (size_t i = 0; i < c.features.size(); ++i) {
      const uint64_t was = c.base.pairings[i].agree, now = c.next.pairings[i].agree;
      s.rows.push_back({c.features[i].feature, count(was), count(now), change(was, now)});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"moved",
              "Messages that moved",
              "",
              {"Feature", "Direction", "Message"},
              {false, false, false},
              {}};
    for (const FeatureChange& f : c.features) {
      auto add = [&s, &f](const char* direction, const Examples& e) {
        for (const std::string& name : e.names) s.rows.push_back({f.feature, direction, name});
      };
      add("new silent loss", f.newSilentExamples);
      add("fixed silent loss", f.fixedSilentExamples);
      add("new false alarm", f.newFalseAlarmExamples);
      add("fixed false alarm", f.fixedFalseAlarmExamples);
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"outcomes",
              "Outcome changes",
              "messages both runs have; unreadable = the entry could not be read as a file",
              {"Before", "After", "Messages"},
              {false, false, true},
              {}};
    Section e{"outcome-examples",
              "Outcome changes, examples",
              "",
              {"Message", "Before", "After"},
              {false, false, false},
              {}};
    for (const auto& [key, change] : c.outcomes) {
      s.rows.push_back({std::string(statusName(key.first)), std::string(statusName(key.second)),
                        count(change.messages)});
      for (const NameChange& x : change.examples) e.rows.push_back({x.name, x.before, x.after});
    }
    out.push_back(std::move(s));
    out.push_back(std::move(e));
  }
  {
    Section s{"got",
              "Reader counts that changed",
              "messages both runs read with outcome ok",
              {"Member", "Messages", "Message", "Before", "After"},
              {false, true, false, true, true},
              {}};
    for (const auto& [member, change] : c.got) {
      // Without examples (--examples 0) the member and its count still show.
      if (change.examples.empty()) {
        s.rows.push_back({member, count(change.messages), "", "", ""});
        continue;
      }
      bool first = true;
      for (const NameChange& x : change.examples) {
        s.rows.push_back(
            {first ? member : "", first ? count(change.messages) : "", x.name, x.before, x.after});
        first = false;
      }
    }
    out.push_back(std::move(s));
  }
  if (c.probeChanged.messages == 0) {
    Section s{"probe-changes",
              "Probe members that changed",
              "over " + count(c.probeCompared) + " messages both runs read with a probe",
              {"Probe member", "Messages", "Examples"},
              {false, true, false},
              {}};
    out.push_back(std::move(s));
  } else {
    Section s{"probe-examples",
              "Probe changes, examples",
              "",
              {"Message", "Changed members"},
              {false, false},
              {}};
    for (const NameChange& x : c.probeChanged.examples) s.rows.push_back({x.name, x.after});
    out.push_back(std::move(s));
  }
  {
    Section s{"one-run", "Names in one run only", "", {"Run", "Message"}, {false, false}, {}};
    for (const std::string& name : c.onlyBaseExamples.names) s.rows.push_back({"base", name});
    for (const std::string& name : c.onlyNewExamples.names) s.rows.push_back({"new", name});
    for (const std::string& name : c.duplicateBaseExamples.names) {
      s.rows.push_back({"base, repeated", name});
    }
    for (const std::string& name : c.duplicateNewExamples.names) {
      s.rows.push_back({"new, repeated", name});
    }
    out.push_back(std::move(s));
  }
  {
    Section s{"malformed",
              "Malformed and cut lines",
              "",
              {"Run", "Where", "Problem"},
              {false, false, false},
              {}};
    for (const MalformedLine& m : b.malformedLines) {
      s.rows.push_back({"base", m.source + ":" + std::to_string(m.line), m.reason});
    }
    for (const MalformedLine& m : n.malformedLines) {
      s.rows.push_back({"new", m.source + ":" + std::to_string(m.line), m.reason});
    }
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<std::string> comparisonMeta(const Comparison& c, const Meta& meta) {
  Meta named = meta;
  if (named.inputs.size() == 2) {
    named.inputs = {"base " + named.inputs[0], "new " + named.inputs[1]};
  }
  return metaLines(named, {"records: base " + count(c.base.records) + ", new " +
                           count(c.next.records) + "; names in both: " + count(c.matched)});
}

Json changeJson(const ChangeCount& change) {
  Json examples = Json::array();
  for (const NameChange& x : change.examples) {
    examples.push_back({{"name", x.name}, {"before", x.before}, {"after", x.after}});
  }
  return {{"messages", change.messages}, {"examples", examples}};
}

Json sideJson(const Report& r) {
  Json pairings = Json::object();
  for (const Pairing& p : r.pairings) {
    pairings["email.read." + p.feature] = {
        {"agree", p.agree}, {"silent", p.silent}, {"falseAlarm", p.falseAlarm}};
  }
  Json out = runCountsJson(r);
  out["pairings"] = pairings;
  out["malformedLines"] = malformedLinesJson(r);
  return out;
}

std::string renderJson(const Comparison& c, const Meta& meta) {
  Json j;
  j["meta"] = {{"base", meta.inputs.empty() ? "" : meta.inputs[0]},
               {"new", meta.inputs.size() < 2 ? "" : meta.inputs[1]},
               {"version", meta.version},
               {"madeAt", meta.madeAt}};
  j["base"] = sideJson(c.base);
  j["new"] = sideJson(c.next);
  j["names"] = {{"matched", c.matched},
                {"onlyBase", c.onlyBase},
                {"onlyNew", c.onlyNew},
                {"duplicateBase", c.duplicateBase},
                {"duplicateNew", c.duplicateNew},
                {"onlyBaseExamples", examplesJson(c.onlyBaseExamples)},
                {"onlyNewExamples", examplesJson(c.onlyNewExamples)},
                {"duplicateBaseExamples", examplesJson(c.duplicateBaseExamples)},
                {"duplicateNewExamples", examplesJson(c.duplicateNewExamples)}};
  Json features = Json::array();
  for (size_t i = 0; i < c.features.size(); ++i) {
    const FeatureChange& f = c.features[i];
    const Pairing& was = c.base.pairings[i];
    const Pairing& now = c.next.pairings[i];
    features.push_back({{"feature", "email.read." + f.feature},
                        {"silent", {{"before", was.silent}, {"after", now.silent}}},
                        {"falseAlarm", {{"before", was.falseAlarm}, {"after", now.falseAlarm}}},
                        {"agree", {{"before", was.agree}, {"after", now.agree}}},
                        {"newSilent", f.newSilent},
                        {"fixedSilent", f.fixedSilent},
                        {"newFalseAlarm", f.newFalseAlarm},
                        {"fixedFalseAlarm", f.fixedFalseAlarm},
                        {"newSilentExamples", examplesJson(f.newSilentExamples)},
                        {"fixedSilentExamples", examplesJson(f.fixedSilentExamples)},
                        {"newFalseAlarmExamples", examplesJson(f.newFalseAlarmExamples)},
                        {"fixedFalseAlarmExamples", examplesJson(f.fixedFalseAlarmExamples)}});
  }
  j["features"] = features;
  Json outcomes = Json::array();
  for (const auto& [key, change] : c.outcomes) {
    Json o = changeJson(change);
    o["before"] = statusName(key.first);
    o["after"] = statusName(key.second);
    outcomes.push_back(o);
  }
  j["outcomes"] = outcomes;
  Json got = Json::object();
  for (const auto& [member, change] : c.got) got[member] = changeJson(change);
  j["got"] = got;
  Json members = Json::object();
  for (const auto& [member, change] : c.probeMembers) members[member] = changeJson(change);
  j["probe"] = {{"compared", c.probeCompared},
                {"changed", c.probeChanged.messages},
                {"members", members},
                {"examples", changeJson(c.probeChanged)["examples"]}};
  return jsonText(j);
}

std::string renderHtml(const Comparison& c, const std::vector<Section>& sections,
                       const Meta& meta) {
  std::string out = htmlPageStart(kTitle, comparisonMeta(c, meta));
  if (c.probeChanged.messages > 0) {
    out += "<p class=\"warning\" id=\"probe-warning\"><b>The probe changed:</b> " +
           htmlEscape(probeWarning(c)) + ".</p>\n";
  }
  const Moved m = movedOf(c);
  out += "<div class=\"cards\">" + htmlCard(count(m.newSilent), "new silent losses") +
         htmlCard(count(m.fixedSilent), "fixed silent losses") +
         htmlCard(count(m.newFalseAlarm), "new false alarms") +
         htmlCard(count(m.fixedFalseAlarm), "fixed false alarms") +
         htmlCard(count(outcomeChanges(c)), "outcome changes") +
         htmlCard(count(c.probeChanged.messages), "probe changes") +
         htmlCard(count(c.onlyBase) + " / " + count(c.onlyNew), "names only in base / new") +
         "</div>\n";
  std::vector<BarGroup> groups;
  for (const FeatureChange& f : c.features) {
    groups.push_back({f.feature, {f.newSilent, f.fixedSilent, f.newFalseAlarm, f.fixedFalseAlarm}});
  }
  out +=
      "<section id=\"chart-moved\"><h2>Messages that moved, per feature</h2>\n"
      "<p class=\"note\">messages both runs have; bar length grows with the square root of the "
      "count</p>\n" +
      barChart(groups,
               {{"silent", "new silent loss"},
                {"fixed", "fixed silent loss"},
                {"false", "new false alarm"},
                {"fixed-false", "fixed false alarm"}},
               "Messages that moved, per feature") +
      "</section>\n";
  for (const Section& s : sections) out += htmlTable(s);
  return out + "</body></html>\n";
}

}  // namespace

std::string renderComparison(const Comparison& c, Format format, const Meta& meta) {
  switch (format) {
    case Format::Json:
      return renderJson(c, meta);
    case Format::Markdown:
      return renderMarkdownPage(kTitle, comparisonMeta(c, meta), buildSections(c));
    case Format::Html:
      return renderHtml(c, buildSections(c), meta);
    case Format::Text:
      break;
  }
  return renderTextPage(kTitle, comparisonMeta(c, meta), buildSections(c));
}

}  // namespace report
