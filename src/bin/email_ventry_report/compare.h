// The comparison of two runs over the same corpus ("what did my change do?"): records are
// matched by name, so a run may be re-ordered or partial. Per paired feature it counts the
// messages that moved in each direction (new and fixed silent losses and false alarms); it
// lists outcome changes (read errors included), changed reader counts and changed probe
// members, and the names only one run has. Each run is also aggregated on its own, for the
// before and after counts.
//
// The two runs are read side by side: a record whose partner is the other run's current
// record is compared at once and forgotten, so two runs of the same list in the same order
// hold no records at all, only the set of names met (NameIndex, about 8 bytes a name, which
// tells a repeated name). Records that fall out of step are held until their partner turns
// up: base records as compact entries by name; new records in a queue, together with what
// the records after them found, because findings and examples follow the new run's order.
// The outcome is the same whatever the order the lines arrive in (all of one run first
// included); `wantsBase` says which run to read next for the least memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "email_ventry_report/name_index.h"
#include "email_ventry_report/record.h"
#include "email_ventry_report/report.h"

namespace report {

// One message that changed, with what it was and what it is (empty when the kind says all).
struct NameChange {
  std::string name;
  std::string before;
  std::string after;
};

struct ChangeCount {
  uint64_t messages = 0;
  std::vector<NameChange> examples;
};

// Messages that moved for one paired feature, among the names both runs have. A silent loss
// or false alarm counts as fixed only when the new run read the message; one whose message
// now fails shows among the outcome changes instead.
struct FeatureChange {
  std::string feature;
  uint64_t newSilent = 0, fixedSilent = 0, newFalseAlarm = 0, fixedFalseAlarm = 0;
  Examples newSilentExamples, fixedSilentExamples, newFalseAlarmExamples, fixedFalseAlarmExamples;
};

// What a CI job may fail on.
enum class FindingKind {
  NewSilentLoss,  // a feature's silent loss the base run did not have for that message
  NewFalseAlarm,
  NewFailure,     // a message that now threw or failed and did not before
  NewUnreadable,  // an entry that was read before and is unreadable now
  ProbeChanged,   // the probe saw the same message differently
  Missing,        // a name of the base run that the new run lacks
};

// "new silent loss", "new false alarm", "new failure", "new unreadable", "probe changed",
// "missing".
std::string_view findingName(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::string_view name;
  std::string_view detail;  // the feature, the new failure text, or the changed members
};

// One run's record of a name, as much as the comparison needs, kept while its partner has
// not turned up.
struct RunEntry {
  static constexpr size_t kProbeSlots = 40;
  uint64_t sequence = 0;                              // position among its run's records
  uint32_t gotAttachments = 0, gotTo = 0, gotCc = 0;  // saturated
  uint16_t notices = 0, conditions = 0;               // bit i: paired feature i
  Status status = Status::Ok;
  bool gotHtml = false, gotText = false, hasProbe = false;
  uint64_t probeDigest = 0;
  std::array<uint16_t, kProbeSlots> memberDigests{};  // by slot, see Comparison::probeKeys
  std::string detail;  // the failure text or read error (a base run's cut to kMaxTextBytes)
};

// A finding or an example met while an earlier new record still waits for its partner:
// applied once that one is settled, so that both keep the new run's order.
struct Effect {
  enum class Kind : uint8_t { Example, Change, Finding };
  Kind kind = Kind::Example;
  uint64_t position = 0;          // the record's place in the queue
  Examples* examples = nullptr;   // Kind::Example
  ChangeCount* change = nullptr;  // Kind::Change
  FindingKind finding = FindingKind::Missing;
  std::string name, before, after;  // `after`: a finding's detail
};

// A new record in the queue: waiting for its base partner, paired but waiting for the base
// run's end (its probe has members the slots may still take, see `probeKeys`), or settled
// with what it found.
struct QueuedRecord {
  enum class State : uint8_t { AwaitPartner, AwaitBaseEnd, Settled };
  State state = State::Settled;
  std::string name;
  RunEntry now, before;
  // Members of `now` that had no slot yet, with their digests.
  std::vector<std::pair<std::string, uint16_t>> unplaced;
  std::vector<Effect> effects;
};

struct Comparison {
  size_t exampleLimit = 5;
  Report base, next;  // each run on its own

  uint64_t matched = 0;  // names both runs have
  uint64_t onlyBase = 0, onlyNew = 0;
  Examples onlyBaseExamples, onlyNewExamples;
  // Records whose name the same run had already given; the first record of a name counts.
  uint64_t duplicateBase = 0, duplicateNew = 0;
  Examples duplicateBaseExamples, duplicateNewExamples;

  std::vector<FeatureChange> features;
  std::map<std::pair<Status, Status>, ChangeCount> outcomes;  // (before, after)
  std::map<std::string, ChangeCount> got;                     // "gotTo" -> changes
  uint64_t probeCompared = 0;                       // matched names both runs read with a probe
  ChangeCount probeChanged;                         // examples name the changed members
  std::map<std::string, ChangeCount> probeMembers;  // member -> messages where it changed

  // Called for every finding as it is met (may be empty).
  std::function<void(const Finding&)> onFinding;

  // The state behind the above.
  RecordParser baseParser, newParser;
  NameIndex names;  // every name met in either run
  // Probe member name per digest slot, in the order the base run's records give them, then
  // the new run's; the last slot is shared by any further members.
  std::vector<std::string> probeKeys;
  size_t slotHint = 0;
  uint64_t baseRecords = 0, newRecords = 0;
  bool baseEnded = false, newEnded = false;
  // The base record just read, while it may be the next new record's partner.
  const Record* baseCurrent = nullptr;  // (in baseParser)
  uint64_t baseCurrentSequence = 0;
  std::unordered_map<std::string, RunEntry> held;  // earlier base records not yet met
  std::deque<QueuedRecord> queue;
  uint64_t queueStart = 0;                             // the queue position of queue.front()
  std::unordered_map<std::string, uint64_t> awaiting;  // name -> queue position
  size_t awaitingBaseEnd = 0;                          // queued records in AwaitBaseEnd
  uint64_t readAhead = 0;  // base records still to read for the newest waiting record
  // Per list of examples, the queue positions of the examples waiting there that the list may
  // still take: the earliest, as many as it has room for.
  std::unordered_map<const void*, std::multiset<uint64_t>> queuedExamples;
  // Once the new run has ended: base names it lacks, in base order, waiting for the queue to
  // empty (only those an example or a finding may still need); after that they are told as
  // they come.
  std::vector<std::string> missingNames;
  bool missingOpen = false;
};

Comparison makeComparison(size_t exampleLimit);

// The runs' lines, in any interleaving; `finishBase` and `finishNew` when a run has no more
// lines (`finishComparison` ends both).
void addBaseLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                 LineEnd end = LineEnd::Ended);
void addNewLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                LineEnd end = LineEnd::Ended);
void finishBase(Comparison& c);
void finishNew(Comparison& c);
void finishComparison(Comparison& c);

// Whether reading the base run's next line (rather than the new run's) keeps the least held:
// the base run is kept one record ahead, read further while a new record waits for its
// partner (a bounded stretch) and to its end when a held pair needs that.
bool wantsBase(const Comparison& c);

}  // namespace report
