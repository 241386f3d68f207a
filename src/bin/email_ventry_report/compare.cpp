#include "email_ventry_report/compare.h"

#include <algorithm>
#include <limits>

namespace report {
namespace {

// How many base records are read past the current one looking for a waiting new record's
// partner before the new run is read on: a reordered stretch shorter than this costs nothing
// but the records read ahead.
constexpr uint64_t kReadAhead = 1024;

constexpr size_t kSharedSlot = RunEntry::kProbeSlots - 1;

using Unplaced = std::vector<std::pair<std::string, uint16_t>>;

uint32_t narrow(uint64_t n) {
  return n > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                  : static_cast<uint32_t>(n);
}

uint16_t fold(uint64_t digest) {
  return static_cast<uint16_t>(digest ^ (digest >> 16) ^ (digest >> 32) ^ (digest >> 48));
}

std::string_view detailOf(const Record& r) {
  return r.status == Status::Unreadable ? std::string_view(r.readError) : std::string_view(r.error);
}

std::string statusText(Status status, std::string_view detail) {
  std::string out(statusName(status));
  if (!detail.empty()) out.append(": ").append(detail);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Findings and examples, told at once or kept with a queued record.

struct Sink {
  Comparison& c;
  std::vector<Effect>* deferred = nullptr;  // null: told at once
  uint64_t position = 0;                    // the record's place in the queue
};

void emit(const Comparison& c, FindingKind kind, std::string_view name, std::string_view detail) {
  if (c.onFinding) c.onFinding(Finding{kind, name, detail});
}

// Whether an example at `position` may still be taken by a list holding `taken`: the list
// keeps room for the earliest waiting ones only (records settle out of order while they wait
// for partners), so a later one gives way.
bool keepsExample(Comparison& c, const void* list, size_t taken, uint64_t position) {
  std::multiset<uint64_t>& waiting = c.queuedExamples[list];
  if (taken + waiting.size() >= c.exampleLimit) {
    if (waiting.empty() || position >= *waiting.rbegin()) return false;
    waiting.erase(std::prev(waiting.end()));
  }
  waiting.insert(position);
  return true;
}

// After a list took an example at once: waiting ones beyond its room give way.
void trimWaiting(Comparison& c, const void* list, size_t taken) {
  auto it = c.queuedExamples.find(list);
  if (it == c.queuedExamples.end()) return;
  while (!it->second.empty() && taken + it->second.size() > c.exampleLimit) {
    it->second.erase(std::prev(it->second.end()));
  }
}

// Whether a waiting example is still to be taken (it may have given way since).
bool takeWaiting(Comparison& c, const void* list, uint64_t position) {
  auto it = c.queuedExamples.find(list);
  if (it == c.queuedExamples.end()) return false;
  auto at = it->second.find(position);
  if (at == it->second.end()) return false;
  it->second.erase(at);
  return true;
}

void example(Sink& s, Examples& list, std::string_view name) {
  if (!s.deferred) {
    if (list.names.size() < s.c.exampleLimit) list.names.emplace_back(name);
    trimWaiting(s.c, &list, list.names.size());
  } else if (keepsExample(s.c, &list, list.names.size(), s.position)) {
    Effect e;
    e.kind = Effect::Kind::Example;
    e.position = s.position;
    e.examples = &list;
    e.name = name;
    s.deferred->push_back(std::move(e));
  }
}

void change(Sink& s, ChangeCount& count, std::string_view name, std::string before,
            std::string after) {
  ++count.messages;
  if (!s.deferred) {
    if (count.examples.size() < s.c.exampleLimit) {
      count.examples.push_back({std::string(name), std::move(before), std::move(after)});
    }
    trimWaiting(s.c, &count, count.examples.size());
  } else if (keepsExample(s.c, &count, count.examples.size(), s.position)) {
    Effect e;
    e.kind = Effect::Kind::Change;
    e.position = s.position;
    e.change = &count;
    e.name = name;
    e.before = std::move(before);
    e.after = std::move(after);
    s.deferred->push_back(std::move(e));
  }
}

void finding(Sink& s, FindingKind kind, std::string_view name, std::string_view detail) {
  if (!s.c.onFinding) return;
  if (!s.deferred) {
    emit(s.c, kind, name, detail);
    return;
  }
  Effect e;
  e.kind = Effect::Kind::Finding;
  e.position = s.position;
  e.finding = kind;
  e.name = name;
  e.after = detail;
  s.deferred->push_back(std::move(e));
}

void apply(Comparison& c, Effect& e) {
  switch (e.kind) {
    case Effect::Kind::Example:
      if (takeWaiting(c, e.examples, e.position)) e.examples->names.push_back(std::move(e.name));
      break;
    case Effect::Kind::Change:
      if (takeWaiting(c, e.change, e.position)) {
        e.change->examples.push_back({std::move(e.name), std::move(e.before), std::move(e.after)});
      }
      break;
    case Effect::Kind::Finding:
      emit(c, e.finding, e.name, e.after);
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Probe member slots.

// The digest slot of a probe member already given one, else -1. A record's members come
// sorted by key (see Record::probeMembers), so the slot after the previous one is tried first.
int knownSlot(Comparison& c, const std::string& key) {
  if (c.slotHint < c.probeKeys.size() && c.probeKeys[c.slotHint] == key) {
    return static_cast<int>(c.slotHint++);
  }
  for (size_t i = 0; i < c.probeKeys.size(); ++i) {
    if (c.probeKeys[i] == key) {
      c.slotHint = i + 1;
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool slotsFull(const Comparison& c) {
  return c.probeKeys.size() >= kSharedSlot;
}

// The slot of a member: its own, the next free one (with `take`), or the shared one once all
// are taken; -1 when it has none yet and may not take one.
int slotOf(Comparison& c, const std::string& key, bool take) {
  const int known = knownSlot(c, key);
  if (known >= 0) return known;
  if (slotsFull(c)) return static_cast<int>(kSharedSlot);
  if (!take) return -1;
  c.probeKeys.push_back(key);
  c.slotHint = c.probeKeys.size();
  return static_cast<int>(c.probeKeys.size() - 1);
}

// The base run's records give the slots their members, in base order, as they are read.
void takeSlots(Comparison& c, const Record& r) {
  if (!r.hasProbe || slotsFull(c)) return;
  c.slotHint = 0;
  for (const ProbeMember& m : r.probeMembers) slotOf(c, m.key, true);
}

// A record's member digests by slot. Members without a slot go to `unplaced` (or, with `take`,
// take the next slots, in key order).
std::array<uint16_t, RunEntry::kProbeSlots> slotDigests(Comparison& c, const Record& r, bool take,
                                                        Unplaced* unplaced) {
  std::array<uint16_t, RunEntry::kProbeSlots> out{};
  c.slotHint = 0;
  for (const ProbeMember& m : r.probeMembers) {
    const int slot = slotOf(c, m.key, take);
    if (slot >= 0) {
      out[static_cast<size_t>(slot)] ^= fold(m.digest);
    } else if (unplaced) {
      unplaced->emplace_back(m.key, fold(m.digest));
    }
  }
  return out;
}

std::string slotName(const Comparison& c, size_t slot) {
  return slot < c.probeKeys.size() ? c.probeKeys[slot] : std::string("(other members)");
}

// ---------------------------------------------------------------------------------------------
// One side of a pair: a record just read, or a kept entry.

struct Side {
  std::string_view name;
  Status status = Status::Ok;
  std::string_view detail;
  bool detailCut = false;  // a kept base entry's text is cut already
  uint16_t notices = 0, conditions = 0;
  bool gotHtml = false, gotText = false, hasProbe = false;
  uint32_t gotAttachments = 0, gotTo = 0, gotCc = 0;
  uint64_t probeDigest = 0;
  const Record* record = nullptr;
  const RunEntry* entry = nullptr;
  const Unplaced* unplaced = nullptr;  // with `entry`: its members without a slot yet
};

void featureBits(const Record& r, uint16_t& notices, uint16_t& conditions) {
  notices = conditions = 0;
  std::span<const PairedFeature> features = pairedFeatures();
  for (size_t i = 0; i < features.size(); ++i) {
    if (hasNotice(r, features[i].feature)) notices |= uint16_t(1u << i);
    if (features[i].seen(r)) conditions |= uint16_t(1u << i);
  }
}

Side sideOf(const Record& r) {
  Side s;
  s.name = r.name;
  s.status = r.status;
  s.detail = detailOf(r);
  featureBits(r, s.notices, s.conditions);
  s.gotHtml = r.gotHtml;
  s.gotText = r.gotText;
  s.hasProbe = r.hasProbe;
  s.gotAttachments = narrow(r.gotAttachments);
  s.gotTo = narrow(r.gotTo);
  s.gotCc = narrow(r.gotCc);
  s.probeDigest = r.probeDigest;
  s.record = &r;
  return s;
}

Side sideOf(std::string_view name, const RunEntry& e, bool detailCut,
            const Unplaced* unplaced = nullptr) {
  Side s;
  s.unplaced = unplaced;
  s.name = name;
  s.status = e.status;
  s.detail = e.detail;
  s.detailCut = detailCut;
  s.notices = e.notices;
  s.conditions = e.conditions;
  s.gotHtml = e.gotHtml;
  s.gotText = e.gotText;
  s.hasProbe = e.hasProbe;
  s.gotAttachments = e.gotAttachments;
  s.gotTo = e.gotTo;
  s.gotCc = e.gotCc;
  s.probeDigest = e.probeDigest;
  s.entry = &e;
  return s;
}

// A record kept as an entry: a base record's text cut as it will be shown, a new record's
// whole (its findings carry it). A new record's members without a slot yet go to `unplaced`
// (a base record's all have theirs, see takeSlots).
RunEntry entryOf(Comparison& c, const Record& r, uint64_t sequence, bool base,
                 Unplaced* unplaced = nullptr) {
  RunEntry e;
  e.sequence = sequence;
  e.status = r.status;
  e.detail = base ? cutUtf8(detailOf(r), kMaxTextBytes) : std::string(detailOf(r));
  e.gotHtml = r.gotHtml;
  e.gotText = r.gotText;
  e.gotAttachments = narrow(r.gotAttachments);
  e.gotTo = narrow(r.gotTo);
  e.gotCc = narrow(r.gotCc);
  featureBits(r, e.notices, e.conditions);
  e.hasProbe = r.hasProbe;
  if (r.hasProbe) {
    e.probeDigest = r.probeDigest;
    e.memberDigests = slotDigests(c, r, false, unplaced);
  }
  return e;
}

// Whether the side's members all have their slots for good: every member has one, or all are
// taken (further members share the last), or the base run has ended (then the new run's
// members take the free ones as they are met, as they always did).
bool slotsSettled(Comparison& c, const Side& s) {
  if (slotsFull(c) || c.baseEnded) return true;
  if (s.entry) {
    if (!s.unplaced) return true;
    for (const auto& [key, digest] : *s.unplaced) {
      if (knownSlot(c, key) < 0) return false;
    }
    return true;
  }
  c.slotHint = 0;
  for (const ProbeMember& m : s.record->probeMembers) {
    if (knownSlot(c, m.key) < 0) return false;
  }
  return true;
}

std::array<uint16_t, RunEntry::kProbeSlots> digestsOf(Comparison& c, const Side& s) {
  if (s.record) return slotDigests(c, *s.record, true, nullptr);
  std::array<uint16_t, RunEntry::kProbeSlots> out = s.entry->memberDigests;
  if (s.unplaced) {
    for (const auto& [key, digest] : *s.unplaced) {
      out[static_cast<size_t>(slotOf(c, key, true))] ^= digest;
    }
  }
  return out;
}

bool probesCompared(const Side& before, const Side& now) {
  const bool read = before.status != Status::Unreadable && now.status != Status::Unreadable;
  return read && before.hasProbe && now.hasProbe;
}

// ---------------------------------------------------------------------------------------------
// A matched pair.

Verdict verdictOfSide(const Side& s, size_t feature) {
  if (s.status != Status::Ok) return Verdict::NotJudged;
  return verdictOf(((s.notices >> feature) & 1) != 0, ((s.conditions >> feature) & 1) != 0);
}

void compareFeatures(Sink& out, const Side& before, const Side& now) {
  Comparison& c = out.c;
  for (size_t i = 0; i < pairedFeatures().size() && i < c.features.size(); ++i) {
    const Verdict was = verdictOfSide(before, i);
    const Verdict is = verdictOfSide(now, i);
    const bool judgedNow = is == Verdict::Agree || is == Verdict::BothAbsent;
    FeatureChange& f = c.features[i];
    if (is == Verdict::Silent && was != Verdict::Silent) {
      ++f.newSilent;
      example(out, f.newSilentExamples, now.name);
      finding(out, FindingKind::NewSilentLoss, now.name, f.feature);
    } else if (was == Verdict::Silent && judgedNow) {
      ++f.fixedSilent;
      example(out, f.fixedSilentExamples, now.name);
    }
    if (is == Verdict::FalseAlarm && was != Verdict::FalseAlarm) {
      ++f.newFalseAlarm;
      example(out, f.newFalseAlarmExamples, now.name);
      finding(out, FindingKind::NewFalseAlarm, now.name, f.feature);
    } else if (was == Verdict::FalseAlarm && judgedNow) {
      ++f.fixedFalseAlarm;
      example(out, f.fixedFalseAlarmExamples, now.name);
    }
  }
}

void compareCounts(Sink& out, const Side& before, const Side& now) {
  Comparison& c = out.c;
  auto flag = [&](const char* member, bool was, bool is) {
    if (was != is)
      change(out, c.got[member], now.name, was ? "true" : "false", is ? "true" : "false");
  };
  auto number = [&](const char* member, uint32_t was, uint32_t is) {
    if (was != is) change(out, c.got[member], now.name, std::to_string(was), std::to_string(is));
  };
  flag("gotHtml", before.gotHtml, now.gotHtml);
  flag("gotText", before.gotText, now.gotText);
  number("gotAttachments", before.gotAttachments, now.gotAttachments);
  number("gotTo", before.gotTo, now.gotTo);
  number("gotCc", before.gotCc, now.gotCc);
}

void compareProbes(Sink& out, const Side& before, const Side& now) {
  Comparison& c = out.c;
  ++c.probeCompared;
  if (before.probeDigest == now.probeDigest) return;
  const std::array<uint16_t, RunEntry::kProbeSlots> was = digestsOf(c, before);
  const std::array<uint16_t, RunEntry::kProbeSlots> is = digestsOf(c, now);
  std::string members;
  for (size_t slot = 0; slot < is.size(); ++slot) {
    if (is[slot] == was[slot]) continue;
    const std::string member = slotName(c, slot);
    change(out, c.probeMembers[member], now.name, "", "");
    if (!members.empty()) members += ", ";
    members += member;
  }
  // The whole digests differ but no member's 16-bit digest does: a member changed whose
  // digests collide (odds about 1 in 65,536 per changed member).
  if (members.empty()) {
    members = "(member not identified)";
    change(out, c.probeMembers[members], now.name, "", "");
  }
  change(out, c.probeChanged, now.name, "", members);
  finding(out, FindingKind::ProbeChanged, now.name, members);
}

// Compares a pair, or returns false (having changed nothing) when the slots of the new
// record's members may still change: then the pair waits for the base run's end.
bool comparePair(Sink& out, const Side& before, const Side& now) {
  Comparison& c = out.c;
  if (probesCompared(before, now) && before.probeDigest != now.probeDigest &&
      !slotsSettled(c, now)) {
    return false;
  }
  ++c.matched;
  if (before.status != now.status) {
    change(out, c.outcomes[{before.status, now.status}], now.name,
           statusText(before.status, before.detailCut ? std::string(before.detail)
                                                      : cutUtf8(before.detail, kMaxTextBytes)),
           statusText(now.status, cutUtf8(now.detail, kMaxTextBytes)));
    const bool failedNow = now.status == Status::Threw || now.status == Status::Failed;
    const bool failedBefore = before.status == Status::Threw || before.status == Status::Failed;
    if (failedNow && !failedBefore) {
      finding(out, FindingKind::NewFailure, now.name, now.detail);
    } else if (now.status == Status::Unreadable) {
      finding(out, FindingKind::NewUnreadable, now.name, now.detail);
    }
  }
  compareFeatures(out, before, now);
  if (before.status == Status::Ok && now.status == Status::Ok) compareCounts(out, before, now);
  if (probesCompared(before, now)) compareProbes(out, before, now);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The queue of new records.

QueuedRecord& queued(Comparison& c, uint64_t position) {
  return c.queue[static_cast<size_t>(position - c.queueStart)];
}

void tellMissing(Comparison& c, std::string_view name) {
  if (c.onlyBaseExamples.names.size() < c.exampleLimit) c.onlyBaseExamples.names.emplace_back(name);
  emit(c, FindingKind::Missing, name, "");
}

// A base name the new run lacks (the new run has ended): told now when nothing is queued,
// else once the queue has emptied. The count is taken at once.
void addMissing(Comparison& c, std::string_view name) {
  ++c.onlyBase;
  if (c.missingOpen) {
    tellMissing(c, name);
  } else if (c.onFinding || c.missingNames.size() < c.exampleLimit) {
    c.missingNames.emplace_back(name);
  }
}

// Applies the settled records at the head of the queue.
void flushQueue(Comparison& c) {
  while (!c.queue.empty() && c.queue.front().state == QueuedRecord::State::Settled) {
    for (Effect& e : c.queue.front().effects) apply(c, e);
    c.queue.pop_front();
    ++c.queueStart;
  }
  if (c.queue.empty() && c.newEnded && !c.missingOpen) {
    c.missingOpen = true;
    // addMissing counted these already.
    for (const std::string& name : c.missingNames) tellMissing(c, name);
    c.missingNames.clear();
    c.missingNames.shrink_to_fit();
  }
}

// A queued new record and its base partner.
void settle(Comparison& c, uint64_t position, const Side& before) {
  QueuedRecord& q = queued(c, position);
  Sink out{c, &q.effects, position};
  if (position == c.queueStart) out.deferred = nullptr;
  const Side now = sideOf(q.name, q.now, false, &q.unplaced);
  if (comparePair(out, before, now)) {
    q.state = QueuedRecord::State::Settled;
    return;
  }
  // Kept until the base run's end, the partner with it.
  if (before.record) {
    q.before = entryOf(c, *before.record, 0, true);
  } else {
    q.before = *before.entry;
  }
  q.state = QueuedRecord::State::AwaitBaseEnd;
  ++c.awaitingBaseEnd;
}

// The queue entry for a record whose findings must wait for an earlier one.
QueuedRecord& enqueue(Comparison& c, std::string_view name, QueuedRecord::State state) {
  QueuedRecord& q = c.queue.emplace_back();
  q.state = state;
  q.name = name;
  return q;
}

// A new record paired just now with `before`.
void pairNow(Comparison& c, const Side& before, const Record& r, uint64_t sequence) {
  const Side now = sideOf(r);
  if (c.queue.empty()) {
    Sink out{c, nullptr};
    if (comparePair(out, before, now)) return;
  } else {
    std::vector<Effect> effects;
    Sink out{c, &effects, c.queueStart + c.queue.size()};
    if (comparePair(out, before, now)) {
      if (!effects.empty())
        enqueue(c, r.name, QueuedRecord::State::Settled).effects = std::move(effects);
      return;
    }
  }
  QueuedRecord& q = enqueue(c, r.name, QueuedRecord::State::AwaitBaseEnd);
  q.now = entryOf(c, r, sequence, false, &q.unplaced);
  q.before = before.record ? entryOf(c, *before.record, 0, true) : *before.entry;
  ++c.awaitingBaseEnd;
}

// Keeps the current base record by name (the next one is about to be read into its place).
void holdCurrent(Comparison& c) {
  if (!c.baseCurrent) return;
  const Record& r = *c.baseCurrent;
  c.held.try_emplace(r.name, entryOf(c, r, c.baseCurrentSequence, true));
  c.baseCurrent = nullptr;
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
  // The parser is about to reuse the current record's place.
  holdCurrent(c);
  const Record* parsed = addLine(c.base, c.baseParser, line, source, lineNumber, end, true);
  if (!parsed) return;
  const Record& r = *parsed;
  const uint64_t sequence = c.baseRecords++;
  if (c.readAhead > 0) --c.readAhead;
  if (auto waiting = c.awaiting.find(r.name); waiting != c.awaiting.end()) {
    // A new record waits for this one (so no earlier base record had its name).
    takeSlots(c, r);
    const uint64_t position = waiting->second;
    c.awaiting.erase(waiting);
    settle(c, position, sideOf(r));
    flushQueue(c);
    return;
  }
  if (!c.names.insert(r.name, 0, lineNumber)) {
    ++c.duplicateBase;
    if (c.duplicateBaseExamples.names.size() < c.exampleLimit) {
      c.duplicateBaseExamples.names.push_back(r.name);
    }
    return;
  }
  takeSlots(c, r);
  if (c.newEnded) {
    addMissing(c, r.name);
    return;
  }
  c.baseCurrent = &r;
  c.baseCurrentSequence = sequence;
}

void addNewLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                LineEnd end) {
  const Record* parsed = addLine(c.next, c.newParser, line, source, lineNumber, end, true);
  if (!parsed) return;
  const Record& r = *parsed;
  const uint64_t sequence = c.newRecords++;
  if (c.baseCurrent && c.baseCurrent->name == r.name) {
    // In step: the common case.
    const Record& partner = *c.baseCurrent;
    c.baseCurrent = nullptr;
    pairNow(c, sideOf(partner), r, sequence);
    return;
  }
  if (auto held = c.held.find(r.name); held != c.held.end()) {
    const RunEntry before = std::move(held->second);
    c.held.erase(held);
    pairNow(c, sideOf(r.name, before, true), r, sequence);
    return;
  }
  // A name met before (in this run: in the base run it would be held), one whose base record
  // is still to come, or one the base run lacks.
  const bool fresh = c.names.insert(r.name, 1, lineNumber);
  std::vector<Effect> effects;
  Sink out{c, c.queue.empty() ? nullptr : &effects, c.queueStart + c.queue.size()};
  if (!fresh) {
    ++c.duplicateNew;
    example(out, c.duplicateNewExamples, r.name);
  } else if (c.baseEnded) {
    ++c.onlyNew;
    example(out, c.onlyNewExamples, r.name);
  } else {
    QueuedRecord& q = enqueue(c, r.name, QueuedRecord::State::AwaitPartner);
    q.now = entryOf(c, r, sequence, false, &q.unplaced);
    c.awaiting.emplace(r.name, c.queueStart + c.queue.size() - 1);
    c.readAhead = kReadAhead;
    return;
  }
  if (!effects.empty())
    enqueue(c, r.name, QueuedRecord::State::Settled).effects = std::move(effects);
}

void finishBase(Comparison& c) {
  if (c.baseEnded) return;
  c.baseEnded = true;
  // Every queued record can be settled now, in the new run's order.
  Sink out{c, nullptr};
  while (!c.queue.empty()) {
    QueuedRecord& q = c.queue.front();
    if (q.state == QueuedRecord::State::AwaitPartner) {
      ++c.onlyNew;
      example(out, c.onlyNewExamples, q.name);
    } else if (q.state == QueuedRecord::State::AwaitBaseEnd) {
      comparePair(out, sideOf(q.name, q.before, true), sideOf(q.name, q.now, false, &q.unplaced));
    }
    for (Effect& e : q.effects) apply(c, e);
    c.queue.pop_front();
    ++c.queueStart;
  }
  c.awaiting.clear();
  c.awaitingBaseEnd = 0;
  flushQueue(c);
}

void finishNew(Comparison& c) {
  if (c.newEnded) return;
  c.newEnded = true;
  // The base records not met are missing, in base order.
  std::vector<std::pair<uint64_t, std::string_view>> missing;
  for (const auto& [name, e] : c.held) missing.emplace_back(e.sequence, name);
  if (c.baseCurrent) missing.emplace_back(c.baseCurrentSequence, c.baseCurrent->name);
  std::sort(missing.begin(), missing.end());
  for (const auto& [sequence, name] : missing) addMissing(c, name);
  c.held.clear();
  c.baseCurrent = nullptr;
  flushQueue(c);
}

void finishComparison(Comparison& c) {
  finishNew(c);
  finishBase(c);
}

bool wantsBase(const Comparison& c) {
  if (c.baseEnded) return false;
  if (c.newEnded || c.awaitingBaseEnd > 0) return true;
  if (!c.awaiting.empty() && c.readAhead > 0) return true;
  return c.baseCurrent == nullptr;
}

}  // namespace report
