// The comparison of two runs over the same corpus ("what did my change do?"): records are
// matched by name, so a run may be re-ordered or partial. Per paired feature it counts the
// messages that moved in each direction (new and fixed silent losses and false alarms); it
// lists outcome changes (read errors included), changed reader counts and changed probe
// members, and the names only one run has. Each run is also aggregated on its own, for the
// before and after counts.
//
// The base run is held as one compact entry per distinct name (measured at about 280 bytes
// per name with the hash map's own share, plus the name beyond 15 bytes; see docs/report.md);
// the new run streams past it. Findings a CI job may fail on are handed to a callback as they
// are met.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

// The base run's record of one name, as much as the comparison needs.
struct BaseEntry {
  static constexpr size_t kProbeSlots = 40;
  uint64_t sequence = 0;                              // position among the base run's records
  uint32_t gotAttachments = 0, gotTo = 0, gotCc = 0;  // saturated
  uint16_t notices = 0, conditions = 0;               // bit i: paired feature i
  Status status = Status::Ok;
  bool inBase = false, inNew = false, gotHtml = false, gotText = false, hasProbe = false;
  uint64_t probeDigest = 0;
  std::array<uint16_t, kProbeSlots> memberDigests{};  // by slot, see Comparison::probeKeys
  std::string detail;                                 // the failure text or read error
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
  std::unordered_map<std::string, BaseEntry> entries;
  std::vector<std::string> probeKeys;  // member name per digest slot; the last slot is shared
  size_t slotHint = 0;
  uint64_t baseRecords = 0;
};

Comparison makeComparison(size_t exampleLimit);

// The base run's lines first, then the new run's; `finishComparison` once both are read.
void addBaseLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                 LineEnd end = LineEnd::Ended);
void addNewLine(Comparison& c, std::string_view line, std::string_view source, uint64_t lineNumber,
                LineEnd end = LineEnd::Ended);
void finishComparison(Comparison& c);

}  // namespace report
