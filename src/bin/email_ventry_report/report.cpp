#include "email_ventry_report/report.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

namespace report {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kIdPrefix = "email.read.";
constexpr size_t kMaxKeyBytes = 160;

// The fields of a message record the report looks at.
struct Record {
  std::string name;
  uint64_t bytes = 0;
  uint64_t ms = 0;
  bool ok = false;
  std::string error;
  std::vector<std::string> lossIds;
  uint64_t gotAttachments = 0, gotTo = 0, gotCc = 0;
  // Probe members.
  bool hdrTo = false, hdrCc = false, hdrToEmpty = false, hdrCcEmpty = false, hdrDate = false;
  bool encWordSubject = false, encWordAny = false, parseErr = false;
  std::string topCt;
  uint64_t plainNonempty = 0, htmlNonempty = 0, calUnnamed = 0, otherTextualUnnamed = 0;
  uint64_t rfc822Unnamed = 0, cidParts = 0, attachDecl = 0, oversize = 0;
  bool remoteRefsInHtml = false, scriptInHtml = false, undeclNonAscii = false;
  bool formatFlowed = false, signedMsg = false, encrypted = false, reportMsg = false;
};

// Reads members out of a JSON object, remembering the first problem met.
class FieldReader {
 public:
  FieldReader(const Json& object, std::string prefix)
      : object_(object), prefix_(std::move(prefix)) {}

  void text(const char* key, std::string& out) {
    if (const Json* v = find(key, "a string"); v && v->is_string()) {
      out = v->get<std::string>();
    } else if (v) {
      fail(key, "a string");
    }
  }
  void flag(const char* key, bool& out) {
    if (const Json* v = find(key, "a boolean"); v && v->is_boolean()) {
      out = v->get<bool>();
    } else if (v) {
      fail(key, "a boolean");
    }
  }
  // Unsigned integers. With `wide`, a number beyond 64 bits (which the JSON parser can only
  // hold as a float) is taken and saturates; the record's milliseconds may be that wide.
  void count(const char* key, uint64_t& out, bool wide = false) {
    const Json* v = find(key, "a number");
    if (!v) return;
    if (v->is_number_unsigned()) {
      out = v->get<uint64_t>();
    } else if (wide && v->is_number_float() && v->get<double>() >= 18446744073709551615.0) {
      out = std::numeric_limits<uint64_t>::max();
    } else {
      fail(key, "an unsigned number");
    }
  }
  const Json* member(const char* key, const char* what) { return find(key, what); }
  void fail(const char* key, const char* what) {
    if (problem_.empty()) problem_ = prefix_ + key + " is not " + what;
  }
  const std::string& problem() const { return problem_; }

 private:
  const Json* find(const char* key, const char* what) {
    auto it = object_.find(key);
    if (it == object_.end()) {
      if (problem_.empty()) problem_ = "missing " + prefix_ + key + " (" + what + ")";
      return nullptr;
    }
    return &*it;
  }
  const Json& object_;
  std::string prefix_;
  std::string problem_;
};

// A message record nests three levels deep. Deeper lines are refused before parsing: the
// parser would otherwise build one value per bracket, hundreds of bytes of memory for every
// byte of a line like "[[[[...".
constexpr int kMaxDepth = 8;

bool nestedTooDeep(std::string_view line) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// Parses one line into a record, or returns why it is not one.
std::variant<Record, std::string> parseRecord(std::string_view line) {
  if (nestedTooDeep(line)) return std::string("nested too deeply");
  Json json = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return std::string("not valid JSON");
  if (!json.is_object()) return std::string("not a JSON object");

  Record r;
  FieldReader top(json, "");
  top.text("name", r.name);
  top.count("bytes", r.bytes);
  top.count("ms", r.ms, /*wide=*/true);
  std::string outcome;
  top.text("outcome", outcome);
  if (top.problem().empty()) {
    if (outcome == "ok") {
      r.ok = true;
    } else if (outcome == "threw") {
      top.text("error", r.error);
    } else {
      return std::string("outcome is neither \"ok\" nor \"threw\"");
    }
  }
  if (const Json* loss = top.member("loss", "an array")) {
    if (!loss->is_array()) {
      top.fail("loss", "an array");
    } else {
      for (const Json& entry : *loss) {
        auto id = entry.is_object() ? entry.find("id") : entry.end();
        if (!entry.is_object() || id == entry.end() || !id->is_string()) {
          top.fail("loss", "an array of {\"id\":...} objects");
          break;
        }
        r.lossIds.push_back(id->get<std::string>());
      }
    }
  }
  top.count("gotAttachments", r.gotAttachments);
  top.count("gotTo", r.gotTo);
  top.count("gotCc", r.gotCc);
  const Json* probe = top.member("probe", "an object");
  if (probe && !probe->is_object()) top.fail("probe", "an object");
  if (!top.problem().empty()) return top.problem();

  FieldReader p(*probe, "probe.");
  p.flag("hdrTo", r.hdrTo);
  p.flag("hdrCc", r.hdrCc);
  p.flag("hdrToEmpty", r.hdrToEmpty);
  p.flag("hdrCcEmpty", r.hdrCcEmpty);
  p.flag("hdrDate", r.hdrDate);
  p.flag("encWordSubject", r.encWordSubject);
  p.flag("encWordAny", r.encWordAny);
  p.flag("parseErr", r.parseErr);
  p.text("topCt", r.topCt);
  p.count("plainNonempty", r.plainNonempty);
  p.count("htmlNonempty", r.htmlNonempty);
  p.count("calUnnamed", r.calUnnamed);
  p.count("otherTextualUnnamed", r.otherTextualUnnamed);
  p.count("rfc822Unnamed", r.rfc822Unnamed);
  p.count("cidParts", r.cidParts);
  p.count("attachDecl", r.attachDecl);
  p.count("oversize", r.oversize);
  p.flag("remoteRefsInHtml", r.remoteRefsInHtml);
  p.flag("scriptInHtml", r.scriptInHtml);
  p.flag("undeclNonAscii", r.undeclNonAscii);
  p.flag("formatFlowed", r.formatFlowed);
  p.flag("signed", r.signedMsg);
  p.flag("encrypted", r.encrypted);
  p.flag("report", r.reportMsg);
  if (!p.problem().empty()) return p.problem();
  return r;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a code point.
std::string cutUtf8(std::string_view s, size_t limit) {
  if (s.size() <= limit) return std::string(s);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return std::string(s.substr(0, end)) + "…";
}

void addExample(const Report& report, Examples& examples, const std::string& name) {
  if (examples.names.size() < report.exampleLimit) examples.names.push_back(name);
}

void countGroup(GroupCounter& counter, std::string_view key) {
  std::string k = cutUtf8(key, kMaxKeyBytes);
  auto it = counter.counts.find(k);
  if (it != counter.counts.end()) {
    ++it->second;
  } else if (counter.counts.size() < GroupCounter::kMaxKeys) {
    counter.counts.emplace(std::move(k), 1);
  } else {
    ++counter.other;
  }
}

// "Parse: bad byte at 12" and "Parse: bad byte at 40" fall into one group.
std::string errorGroup(std::string_view error) {
  std::string out;
  bool inDigits = false;
  for (char c : error) {
    bool digit = c >= '0' && c <= '9';
    if (digit && !inDigits) out += '#';
    if (!digit) out += c;
    inDigits = digit;
  }
  return out;
}

bool slowerFirst(const SlowMessage& a, const SlowMessage& b) {
  return a.ms != b.ms ? a.ms > b.ms : a.sequence < b.sequence;
}

void noteTiming(Report& report, const Record& r) {
  report.totalBytes = saturatingAdd(report.totalBytes, r.bytes);
  report.totalMs = saturatingAdd(report.totalMs, r.ms);
  ++report.msHistogram[r.ms];
  // `slowest` is a heap whose front is the fastest kept entry.
  SlowMessage entry{r.ms, r.name, report.records};
  if (report.slowest.size() < Report::kSlowestKept) {
    report.slowest.push_back(std::move(entry));
    std::push_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
  } else if (slowerFirst(entry, report.slowest.front())) {
    std::pop_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
    report.slowest.back() = std::move(entry);
    std::push_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
  }
}

bool hasNotice(const Record& r, std::string_view feature) {
  for (const std::string& id : r.lossIds) {
    std::string_view v = id;
    if (v.size() == kIdPrefix.size() + feature.size() &&
        v.substr(0, kIdPrefix.size()) == kIdPrefix && v.substr(kIdPrefix.size()) == feature) {
      return true;
    }
  }
  return false;
}

// Whether the probe saw each paired condition, in the order of `makeReport`.
std::vector<bool> probeConditions(const Record& r) {
  return {r.calUnnamed > 0, r.otherTextualUnnamed > 0,
          r.cidParts > 0,   r.rfc822Unnamed > 0,
          r.oversize > 0,   r.undeclNonAscii,
          r.formatFlowed,   r.plainNonempty > 1 || r.htmlNonempty > 1,
          r.hdrDate};
}

void notePairings(Report& report, const Record& r) {
  std::vector<bool> conditions = probeConditions(r);
  for (size_t i = 0; i < report.pairings.size(); ++i) {
    Pairing& p = report.pairings[i];
    bool notice = hasNotice(r, p.feature);
    if (notice && conditions[i]) {
      ++p.agree;
    } else if (!notice && !conditions[i]) {
      ++p.bothAbsent;
    } else if (conditions[i]) {
      ++p.silent;
      addExample(report, p.silentExamples, r.name);
    } else {
      ++p.falseAlarm;
      addExample(report, p.falseAlarmExamples, r.name);
    }
  }

  bool recipientsNotice = hasNotice(r, "headers.recipients");
  if (recipientsNotice) ++report.recipientsNotice;
  struct Seen {
    bool present, empty;
    uint64_t got;
  };
  const Seen seen[2] = {{r.hdrTo, r.hdrToEmpty, r.gotTo}, {r.hdrCc, r.hdrCcEmpty, r.gotCc}};
  for (size_t i = 0; i < report.recipients.size() && i < 2; ++i) {
    RecipientCheck& c = report.recipients[i];
    bool withText = seen[i].present && !seen[i].empty;
    if (withText && seen[i].got == 0) {
      ++c.silentLoss;
      if (recipientsNotice) ++c.silentLossWithNotice;
      addExample(report, c.silentExamples, r.name);
    } else if (!withText && seen[i].got > 0) {
      ++c.disagreement;
      if (recipientsNotice) ++c.disagreementWithNotice;
      addExample(report, c.disagreementExamples, r.name);
    } else {
      ++c.consistent;
    }
  }

  if (r.gotAttachments == r.attachDecl) {
    ++report.attachEqual;
  } else if (r.gotAttachments < r.attachDecl) {
    ++report.attachFewer;
    addExample(report, report.attachFewerExamples, r.name);
  } else {
    ++report.attachMore;
    addExample(report, report.attachMoreExamples, r.name);
  }
}

void noteRisks(Report& report, const Record& r) {
  const bool flags[] = {r.signedMsg,    r.encrypted,  r.reportMsg,     r.remoteRefsInHtml,
                        r.scriptInHtml, r.encWordAny, r.encWordSubject};
  for (size_t i = 0; i < report.risks.size() && i < std::size(flags); ++i) {
    if (flags[i]) {
      ++report.risks[i].messages;
      addExample(report, report.risks[i].examples, r.name);
    }
  }
  if (r.parseErr && !r.ok) {
    ++report.parseErrThrew;
  } else if (r.parseErr) {
    ++report.parseErrOk;
    addExample(report, report.parseErrOkExamples, r.name);
  } else if (!r.ok) {
    ++report.threwNoParseErr;
    addExample(report, report.threwNoParseErrExamples, r.name);
  }
  countGroup(report.topCt, r.topCt.empty() ? std::string_view("(none)") : r.topCt);
}

}  // namespace

Report makeReport(size_t exampleLimit) {
  Report report;
  report.exampleLimit = exampleLimit;
  const std::pair<const char*, const char*> pairings[] = {
      {"calendar.detect", "calUnnamed > 0"},
      {"mime.textual-part", "otherTextualUnnamed > 0"},
      {"mime.related-cid", "cidParts > 0"},
      {"mime.message-rfc822", "rfc822Unnamed > 0"},
      {"attachments.oversize", "oversize > 0"},
      {"mime.charset-fallback", "undeclNonAscii"},
      {"mime.format-flowed", "formatFlowed"},
      {"mime.nested", "plainNonempty > 1 or htmlNonempty > 1"},
      {"headers.date", "hdrDate"},
  };
  for (const auto& [feature, condition] : pairings) {
    Pairing p;
    p.feature = feature;
    p.condition = condition;
    report.pairings.push_back(std::move(p));
  }
  for (const char* header : {"To", "Cc"}) {
    RecipientCheck c;
    c.header = header;
    report.recipients.push_back(std::move(c));
  }
  for (const char* label : {"signed", "encrypted", "report", "remoteRefsInHtml", "scriptInHtml",
                            "encWordAny", "encWordSubject"}) {
    Risk k;
    k.label = label;
    report.risks.push_back(std::move(k));
  }
  return report;
}

void addMalformed(Report& report, std::string_view source, uint64_t lineNumber,
                  std::string_view reason) {
  ++report.malformed;
  if (report.malformedLines.size() < Report::kMalformedKept) {
    report.malformedLines.push_back({std::string(source), lineNumber, std::string(reason)});
  }
}

void addLine(Report& report, std::string_view line, std::string_view source, uint64_t lineNumber) {
  ++report.lines;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    addMalformed(report, source, lineNumber, "empty line");
    return;
  }
  auto parsed = parseRecord(line);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    addMalformed(report, source, lineNumber, *problem);
    return;
  }
  const Record& r = std::get<Record>(parsed);
  noteTiming(report, r);
  ++report.records;
  if (r.ok) {
    ++report.ok;
    notePairings(report, r);
  } else {
    ++report.threw;
    countGroup(report.errors, errorGroup(r.error));
  }
  noteRisks(report, r);
  // Each feature ID counts once per message, however often the reader repeated it.
  std::vector<std::string_view> ids(r.lossIds.begin(), r.lossIds.end());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  for (std::string_view id : ids) countGroup(report.notices, id);
}

Percentiles msPercentiles(const Report& report) {
  Percentiles out;
  uint64_t total = 0;
  for (const auto& [ms, n] : report.msHistogram) total += n;
  if (total == 0) return out;
  // Nearest rank: the smallest value whose cumulative count reaches ceil(p/100 * total).
  auto rank = [total](unsigned p) {
    unsigned __int128 r = (static_cast<unsigned __int128>(total) * p + 99) / 100;
    return r == 0 ? uint64_t{1} : static_cast<uint64_t>(r);
  };
  const uint64_t ranks[3] = {rank(50), rank(90), rank(99)};
  uint64_t* outs[3] = {&out.p50, &out.p90, &out.p99};
  uint64_t seen = 0;
  size_t next = 0;
  for (const auto& [ms, n] : report.msHistogram) {
    seen += n;
    while (next < 3 && seen >= ranks[next]) *outs[next++] = ms;
  }
  out.max = report.msHistogram.rbegin()->first;
  return out;
}

std::vector<SlowMessage> slowestMessages(const Report& report) {
  std::vector<SlowMessage> out = report.slowest;
  std::sort(out.begin(), out.end(), slowerFirst);
  return out;
}

std::vector<std::pair<std::string, uint64_t>> sortedGroups(const GroupCounter& counter) {
  std::vector<std::pair<std::string, uint64_t>> out(counter.counts.begin(), counter.counts.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (counter.other > 0) out.emplace_back("(other)", counter.other);
  return out;
}

}  // namespace report
