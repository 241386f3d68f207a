#include "email_ventry_report/compare.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace report {
namespace {

uint32_t narrow(uint64_t n) {
  return n > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                  : static_cast<uint32_t>(n);
}

uint16_t fold(uint64_t digest) {
  return static_cast<uint16_t>(digest ^ (digest >> 16) ^ (digest >> 32) ^ (digest >> 48));
}

void addExample(size_t limit, Examples& examples, std::string_view name) {
  if (examples.names.size() < limit) examples.names.emplace_back(name);
}

void addChange(size_t limit, ChangeCount& change, std::string_view name, std::string before,
               std::string after) {
  ++change.messages;
  if (change.examples.size() < limit) {
    change.examples.push_back({std::string(name), std::move(before), std::move(after)});
  }
}

void emit(const Comparison& c, FindingKind kind, std::string_view name, std::string_view detail) {
  if (c.onFinding) c.onFinding(Finding{kind, name, detail});
}

// The digest slot of a probe member. A record's members come sorted by key (see
// Record::probeMembers), so the slot after the previous one is tried first.
size_t slotOf(Comparison& c, const std::string& key) {
  const size_t shared = BaseEntry::kProbeSlots - 1;
  if (c.slotHint < c.probeKeys.size() && c.probeKeys[c.slotHint] == key) return c.slotHint++;
  for (size_t i = 0; i < c.probeKeys.size(); ++i) {
    if (c.probeKeys[i] == key) {
      c.slotHint = i + 1;
      return i;
    }
  }
  if (c.probeKeys.size() < shared) {
    c.probeKeys.push_back(key);
    c.slotHint = c.probeKeys.size();
    return c.probeKeys.size() - 1;
  }
  return shared;
}

std::array<uint16_t, BaseEntry::kProbeSlots> memberDigests(Comparison& c, const Record& r) {
  std::array<uint16_t, BaseEntry::kProbeSlots> out{};
  c.slotHint = 0;
  for (const ProbeMember& m : r.probeMembers) out[slotOf(c, m.key)] ^= fold(m.digest);
  return out;
}

std::string slotName(const Comparison& c, size_t slot) {
  return slot < c.probeKeys.size() ? c.probeKeys[slot] : std::string("(other members)");
}

std::string statusText(Status status, std::string_view detail) {
  std::string out(statusName(status));
  if (!detail.empty()) out.append(": ").append(detail);
  return out;
}

std::string_view detailOf(const Record& r) {
  return r.status == Status::Unreadable ? std::string_view(r.readError) : std::string_view(r.error);
}

void compareFeatures(Comparison& c, const BaseEntry& before, const Record& r) {
  std::span<const PairedFeature> features = pairedFeatures();
  for (size_t i = 0; i < features.size() && i < c.features.size(); ++i) {
    const Verdict was = before.status == Status::Ok
                            ? verdictOf((before.notices >> i) & 1, (before.conditions >> i) & 1)
                            : Verdict::NotJudged;
    const Verdict now = verdictOf(r, features[i]);
    const bool judgedNow = now == Verdict::Agree || now == Verdict::BothAbsent;
    FeatureChange& f = c.features[i];
    if (now == Verdict::Silent && was != Verdict::Silent) {
      ++f.newSilent;
      addExample(c.exampleLimit, f.newSilentExamples, r.name);
      emit(c, FindingKind::NewSilentLoss, r.name, f.feature);
    } else if (was == Verdict::Silent && judgedNow) {
      ++f.fixedSilent;
      addExample(c.exampleLimit, f.fixedSilentExamples, r.name);
    }
    if (now == Verdict::FalseAlarm && was != Verdict::FalseAlarm) {
      ++f.newFalseAlarm;
      addExample(c.exampleLimit, f.newFalseAlarmExamples, r.name);
      emit(c, FindingKind::NewFalseAlarm, r.name, f.feature);
    } else if (was == Verdict::FalseAlarm && judgedNow) {
      ++f.fixedFalseAlarm;
      addExample(c.exampleLimit, f.fixedFalseAlarmExamples, r.name);
    }
  }
}

void compareCounts(Comparison& c, const BaseEntry& before, const Record& r) {
  auto flag = [&c, &r](const char* member, bool was, bool now) {
    if (was != now) {
      addChange(c.exampleLimit, c.got[member], r.name, was ? "true" : "false",
                now ? "true" : "false");
    }
  };
  auto number = [&c, &r](const char* member, uint32_t was, uint64_t now) {
    if (was != narrow(now)) {
      addChange(c.exampleLimit, c.got[member], r.name, std::to_string(was),
                std::to_string(narrow(now)));
    }
  };
  flag("gotHtml", before.gotHtml, r.gotHtml);
  flag("gotText", before.gotText, r.gotText);
  number("gotAttachments", before.gotAttachments, r.gotAttachments);
  number("gotTo", before.gotTo, r.gotTo);
  number("gotCc", before.gotCc, r.gotCc);
}

void compareProbes(Comparison& c, const BaseEntry& before, const Record& r) {
  ++c.probeCompared;
  if (before.probeDigest == r.probeDigest) return;
  const std::array<uint16_t, BaseEntry::kProbeSlots> now = memberDigests(c, r);
  std::string members;
  for (size_t slot = 0; slot < now.size(); ++slot) {
    if (now[slot] == before.memberDigests[slot]) continue;
    const std::string member = slotName(c, slot);
    addChange(c.exampleLimit, c.probeMembers[member], r.name, "", "");
    if (!members.empty()) members += ", ";
    members += member;
  }
  // The whole digests differ but no member's 16-bit digest does: a member changed whose
  // digests collide (odds about 1 in 65,536 per changed member).
  if (members.empty()) {
    members = "(member not identified)";
    addChange(c.exampleLimit, c.probeMembers[members], r.name, "", "");
  }
  addChange(c.exampleLimit, c.probeChanged, r.name, "", members);
  emit(c, FindingKind::ProbeChanged, r.name, members);
}

void compareMatched(Comparison& c, const BaseEntry& before, const Record& r) {
  ++c.matched;
  if (before.status != r.status) {
    addChange(c.exampleLimit, c.outcomes[{before.status, r.status}], r.name,
              statusText(before.status, before.detail),
              statusText(r.status, cutUtf8(detailOf(r), kMaxTextBytes)));
    if ((r.status == Status::Threw || r.status == Status::Failed) &&
        before.status != Status::Threw && before.status != Status::Failed) {
      emit(c, FindingKind::NewFailure, r.name, r.error);
    } else if (r.status == Status::Unreadable) {
      emit(c, FindingKind::NewUnreadable, r.name, r.readError);
    }
  }
  compareFeatures(c, before, r);
  if (before.status == Status::Ok && r.status == Status::Ok) compareCounts(c, before, r);
  const bool read = before.status != Status::Unreadable && r.status != Status::Unreadable;
  if (read && before.hasProbe && r.hasProbe) compareProbes(c, before, r);
}

}  // namespace

std::string_view findingName(FindingKind kind) {
  switch (kind) {
    case FindingKind::NewSilentLoss:
      return "new silent loss";
    case FindingKind::NewFalseAlarm:
      return "new false alarm";
    case FindingKind::NewFailure:
      return "new failure";
    case FindingKind::NewUnreadable:
      return "new unreadable";
    case FindingKind::ProbeChanged:
      return "probe changed";
    case FindingKind::Missing:
      break;
  }
  return "missing";
}

Comparison makeComparison(size_t exampleLimit) {
  Comparison c;
  c.exampleLimit = exampleLimit;
  c.base = makeReport(exampleLimit);
  c.next = makeReport(exampleLimit);
  for (const PairedFeature& f : pairedFeatures()) {
    FeatureChange change;
    change.feature = f.feature;
    c.features.push_back(std::move(change));
  }
  return c;
}

void addBaseLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                 LineEnd end) {
  const Record* parsed = addLine(c.base, c.baseParser, line, source, lineNumber, end, true);
  if (!parsed) return;
  const Record& r = *parsed;
  const uint64_t sequence = c.baseRecords++;
  auto [it, fresh] = c.entries.try_emplace(r.name);
  if (!fresh) {
    ++c.duplicateBase;
    addExample(c.exampleLimit, c.duplicateBaseExamples, it->first);
    return;
  }
  BaseEntry& e = it->second;
  e.sequence = sequence;
  e.inBase = true;
  e.status = r.status;
  e.detail = cutUtf8(detailOf(r), kMaxTextBytes);
  e.gotHtml = r.gotHtml;
  e.gotText = r.gotText;
  e.gotAttachments = narrow(r.gotAttachments);
  e.gotTo = narrow(r.gotTo);
  e.gotCc = narrow(r.gotCc);
  std::span<const PairedFeature> features = pairedFeatures();
  for (size_t i = 0; i < features.size(); ++i) {
    if (hasNotice(r, features[i].feature)) e.notices |= uint16_t(1u << i);
    if (features[i].seen(r)) e.conditions |= uint16_t(1u << i);
  }
  e.hasProbe = r.hasProbe;
  if (r.hasProbe) {
    e.probeDigest = r.probeDigest;
    e.memberDigests = memberDigests(c, r);
  }
}

void addNewLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                LineEnd end) {
  const Record* parsed = addLine(c.next, c.newParser, line, source, lineNumber, end, true);
  if (!parsed) return;
  const Record& r = *parsed;
  auto [it, fresh] = c.entries.try_emplace(r.name);
  BaseEntry& e = it->second;
  if (fresh) {
    ++c.onlyNew;
    addExample(c.exampleLimit, c.onlyNewExamples, r.name);
    e.inNew = true;
    return;
  }
  if (e.inNew) {
    ++c.duplicateNew;
    addExample(c.exampleLimit, c.duplicateNewExamples, r.name);
    return;
  }
  e.inNew = true;
  if (!e.inBase) return;
  compareMatched(c, e, r);
  e.detail = std::string();  // no longer needed
}

void finishComparison(Comparison& c) {
  std::vector<std::pair<uint64_t, const std::string*>> missing;
  for (const auto& [name, e] : c.entries) {
    if (e.inBase && !e.inNew) missing.emplace_back(e.sequence, &name);
  }
  std::sort(missing.begin(), missing.end());
  c.onlyBase = missing.size();
  for (const auto& [sequence, name] : missing) {
    addExample(c.exampleLimit, c.onlyBaseExamples, *name);
    emit(c, FindingKind::Missing, *name, "");
  }
}

}  // namespace report
