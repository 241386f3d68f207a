#include "email_ventry_report/report.h"

#include <algorithm>
#include <limits>

namespace report {
namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

void addExample(const Report& report, Examples& examples, const std::string& name) {
  if (examples.names.size() < report.exampleLimit) examples.names.push_back(name);
}

void addExample(const Report& report, std::vector<NamedText>& examples, const std::string& name,
                std::string_view text) {
  if (examples.size() < report.exampleLimit) {
    examples.push_back({name, cutUtf8(text, kMaxTextBytes)});
  }
}

void countGroup(GroupCounter& counter, std::string_view key) {
  if (key.size() <= kMaxTextBytes) {
    // The common case, without making a string.
    if (auto it = counter.counts.find(key); it != counter.counts.end()) {
      ++it->second;
      return;
    }
  }
  std::string k = cutUtf8(key, kMaxTextBytes);
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
  ++report.msHistogram[r.ms];
  // `slowest` is a heap whose front is the fastest kept entry. The name is copied only when
  // the entry is kept.
  SlowMessage entry{r.ms, std::string(), report.records};
  if (report.slowest.size() < Report::kSlowestKept) {
    entry.name = r.name;
    report.slowest.push_back(std::move(entry));
    std::push_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
  } else if (slowerFirst(entry, report.slowest.front())) {
    entry.name = r.name;
    std::pop_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
    report.slowest.back() = std::move(entry);
    std::push_heap(report.slowest.begin(), report.slowest.end(), slowerFirst);
  }
}

void notePairings(Report& report, const Record& r) {
  std::span<const PairedFeature> features = pairedFeatures();
  for (size_t i = 0; i < report.pairings.size() && i < features.size(); ++i) {
    Pairing& p = report.pairings[i];
    switch (verdictOf(r, features[i])) {
      case Verdict::Agree:
        ++p.agree;
        break;
      case Verdict::BothAbsent:
        ++p.bothAbsent;
        break;
      case Verdict::Silent:
        ++p.silent;
        addExample(report, p.silentExamples, r.name);
        break;
      case Verdict::FalseAlarm:
        ++p.falseAlarm;
        addExample(report, p.falseAlarmExamples, r.name);
        break;
      case Verdict::NotJudged:
        break;
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
  ++report.probed;
  const bool flags[] = {r.signedMsg,    r.encrypted,  r.reportMsg,     r.remoteRefsInHtml,
                        r.scriptInHtml, r.encWordAny, r.encWordSubject};
  for (size_t i = 0; i < report.risks.size() && i < std::size(flags); ++i) {
    if (flags[i]) {
      ++report.risks[i].messages;
      addExample(report, report.risks[i].examples, r.name);
    }
  }
  countGroup(report.topCt, r.topCt.empty() ? std::string_view("(none)") : r.topCt);
  // A rejection is the reader's (threw); a message that could not be processed says nothing
  // about whether it parses.
  if (r.status == Status::Failed) return;
  const bool threw = r.status == Status::Threw;
  if (r.parseErr && threw) {
    ++report.parseErrThrew;
  } else if (r.parseErr) {
    ++report.parseErrOk;
    addExample(report, report.parseErrOkExamples, r.name);
  } else if (threw) {
    ++report.threwNoParseErr;
    addExample(report, report.threwNoParseErrExamples, r.name);
  }
}

}  // namespace

std::string cutUtf8(std::string_view s, size_t limit) {
  if (s.size() <= limit) return std::string(s);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return std::string(s.substr(0, end)) + "…";
}

Report makeReport(size_t exampleLimit) {
  Report report;
  report.exampleLimit = exampleLimit;
  for (const PairedFeature& f : pairedFeatures()) {
    Pairing p;
    p.feature = f.feature;
    p.condition = f.condition;
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
                  std::string_view reason, LineEnd end) {
  std::string why(reason);
  if (end == LineEnd::Missing) {
    ++report.cut;
    why = kCutReason;
  } else {
    ++report.malformed;
  }
  if (report.malformedLines.size() < Report::kMalformedKept) {
    report.malformedLines.push_back({std::string(source), lineNumber, std::move(why)});
  }
}

void addOverlong(Report& report, std::string_view source, uint64_t lineNumber, LineEnd end) {
  ++report.lines;
  addMalformed(report, source, lineNumber, "line longer than 16 MiB", end);
}

void addRecord(Report& report, const Record& r) {
  noteTiming(report, r);
  ++report.records;
  switch (r.status) {
    case Status::Ok:
      ++report.ok;
      notePairings(report, r);
      break;
    case Status::Threw:
      ++report.threw;
      countGroup(report.errors, errorGroup(r.error));
      addExample(report, report.threwExamples, r.name, r.error);
      break;
    case Status::Failed:
      ++report.failed;
      countGroup(report.failures, errorGroup(r.error));
      addExample(report, report.failedExamples, r.name, r.error);
      break;
    case Status::Unreadable:
      ++report.unreadable;
      countGroup(report.readErrors, r.readError);
      addExample(report, report.unreadableExamples, r.name, r.readError);
      // There was no message: nothing to pair, no probe or notice to count.
      return;
  }
  if (r.hasProbe) noteRisks(report, r);
  // Each feature ID counts once per message, however often the reader repeated it.
  std::vector<std::string_view> ids(r.lossIds.begin(), r.lossIds.end());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  for (std::string_view id : ids) countGroup(report.notices, id);
}

const Record* addLine(Report& report, RecordParser& parser, std::string_view line,
                      std::string_view source, uint64_t lineNumber, LineEnd end, bool digests) {
  ++report.lines;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    addMalformed(report, source, lineNumber, "empty line", end);
    return nullptr;
  }
  const ParsedLine parsed = parser.parse(line, digests);
  if (!parsed.record) {
    addMalformed(report, source, lineNumber, parsed.problem, end);
    return nullptr;
  }
  addRecord(report, *parsed.record);
  return parsed.record;
}

void addLine(Report& report, std::string_view line, std::string_view source, uint64_t lineNumber,
             LineEnd end) {
  RecordParser parser;
  addLine(report, parser, line, source, lineNumber, end);
}

PairingTotals pairingTotals(const Report& report) {
  PairingTotals t;
  for (const Pairing& p : report.pairings) {
    t.silent += p.silent;
    t.falseAlarm += p.falseAlarm;
    t.agree += p.agree;
  }
  return t;
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

uint64_t msAtLeastOne(const Report& report) {
  uint64_t n = 0;
  for (const auto& [ms, count] : report.msHistogram) {
    if (ms > 0) n += count;
  }
  return n;
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
