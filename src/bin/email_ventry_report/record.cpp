#include "email_ventry_report/record.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace report {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kIdPrefix = "email.read.";

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

// FNV-1a, 64 bits.
uint64_t digestOf(std::string_view text) {
  uint64_t h = 14695981039346656037ull;
  for (char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

void readProbe(Record& r, FieldReader& p) {
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
}

uint64_t mixDigest(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h;
}

// A digest of a JSON value that tells different values apart (up to collisions) without
// writing them out. A record nests at most kMaxDepth levels, so the recursion is bounded.
uint64_t digestValue(const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean:
      return mixDigest(1, v.get<bool>() ? 1 : 0);
    case Json::value_t::number_unsigned:
      return mixDigest(2, v.get<uint64_t>());
    case Json::value_t::number_integer:
      return mixDigest(3, static_cast<uint64_t>(v.get<int64_t>()));
    case Json::value_t::number_float:
      return mixDigest(4, std::bit_cast<uint64_t>(v.get<double>()));
    case Json::value_t::string:
      return mixDigest(5, digestOf(v.get_ref<const std::string&>()));
    case Json::value_t::array: {
      uint64_t h = mixDigest(6, v.size());
      for (const Json& e : v) h = mixDigest(h, digestValue(e));
      return h;
    }
    case Json::value_t::object: {
      uint64_t h = mixDigest(7, v.size());
      for (auto it = v.begin(); it != v.end(); ++it) {
        h = mixDigest(mixDigest(h, digestOf(it.key())), digestValue(it.value()));
      }
      return h;
    }
    default:
      return mixDigest(0, 0);
  }
}

void digestProbe(const Json& probe, Record& r) {
  // The parsed object keeps its members sorted by key, so the whole digest does not depend
  // on the order the record wrote them in.
  uint64_t whole = mixDigest(7, probe.size());
  r.probeMembers.reserve(probe.size());
  for (auto it = probe.begin(); it != probe.end(); ++it) {
    const uint64_t member = digestValue(it.value());
    whole = mixDigest(mixDigest(whole, digestOf(it.key())), member);
    r.probeMembers.push_back({it.key(), member});
  }
  r.probeDigest = whole;
}

bool hasCalendar(const Record& r) {
  return r.calUnnamed > 0;
}
bool hasTextual(const Record& r) {
  return r.otherTextualUnnamed > 0;
}
bool hasCid(const Record& r) {
  return r.cidParts > 0;
}
bool hasRfc822(const Record& r) {
  return r.rfc822Unnamed > 0;
}
bool hasOversize(const Record& r) {
  return r.oversize > 0;
}
bool hasUndeclared(const Record& r) {
  return r.undeclNonAscii;
}
bool hasFlowed(const Record& r) {
  return r.formatFlowed;
}
bool hasNested(const Record& r) {
  return r.plainNonempty > 1 || r.htmlNonempty > 1;
}
bool hasDate(const Record& r) {
  return r.hdrDate;
}

constexpr std::array<PairedFeature, 9> kPaired = {{
    {"calendar.detect", "calUnnamed > 0", hasCalendar},
    {"mime.textual-part", "otherTextualUnnamed > 0", hasTextual},
    {"mime.related-cid", "cidParts > 0", hasCid},
    {"mime.message-rfc822", "rfc822Unnamed > 0", hasRfc822},
    {"attachments.oversize", "oversize > 0", hasOversize},
    {"mime.charset-fallback", "undeclNonAscii", hasUndeclared},
    {"mime.format-flowed", "formatFlowed", hasFlowed},
    {"mime.nested", "plainNonempty > 1 or htmlNonempty > 1", hasNested},
    {"headers.date", "hdrDate", hasDate},
}};

// ---------------------------------------------------------------------------------------------
// The streaming reading of a record in its plain form.

namespace od = simdjson::ondemand;

// Lines above this size are read with a parser of their own, freed right after, so that one
// huge line does not leave its buffers (several times its size) behind.
constexpr size_t kKeptLineCapacity = size_t{1} << 20;

// JSON forbids raw control bytes inside strings; outside them only blanks may appear. Either
// way a line holding one is left to the tree reading (which knows which it is).
bool hasControlByte(std::string_view line) {
  unsigned char any = 0;
  for (char c : line) any |= static_cast<unsigned char>(c) < 0x20 ? 1 : 0;
  return any != 0;
}

// The key of a field as written, or false when it holds an escape (then only the tree reading
// knows what it says). The document was checked for whole strings before, so a closing quote
// follows.
bool plainKey(od::field& field, std::string_view& key) {
  const char* start = field.key().raw();
  const char* p = start;
  while (*p != '"') {
    if (*p == '\\') return false;
    ++p;
  }
  key = std::string_view(start, static_cast<size_t>(p - start));
  return true;
}

// A string value, unescaped. An escaped lone surrogate comes out as bytes that are not UTF-8:
// the tree reading refuses such a line, so this one does not take it either.
bool readString(od::value& v, std::string_view& out) {
  const std::string_view raw = v.raw_json_token();
  if (v.get_string().get(out)) return false;
  return raw.find('\\') == std::string_view::npos ||
         simdjson::validate_utf8(out.data(), out.size());
}

enum class TopKey : int {
  Other = -1,
  Name,
  Bytes,
  Ms,
  Outcome,
  Error,
  ReadError,
  Loss,
  GotHtml,
  GotText,
  GotAttachments,
  GotTo,
  GotCc,
  Probe,
};

constexpr std::array<std::string_view, 13> kTopKeys = {
    "name",    "bytes",          "ms",    "outcome", "error", "readError", "loss", "gotHtml",
    "gotText", "gotAttachments", "gotTo", "gotCc",   "probe"};

int classifyTop(std::string_view key) {
  for (size_t i = 0; i < kTopKeys.size(); ++i) {
    if (kTopKeys[i] == key) return static_cast<int>(i);
  }
  return -1;
}

// The probe members the report reads, each with its type and place in the record.
struct ProbeField {
  std::string_view key;
  bool Record::*flag = nullptr;
  uint64_t Record::*count = nullptr;
  std::string Record::*text = nullptr;
};

constexpr std::array<ProbeField, 24> kProbeFields = {{
    {"hdrTo", &Record::hdrTo},
    {"hdrCc", &Record::hdrCc},
    {"hdrToEmpty", &Record::hdrToEmpty},
    {"hdrCcEmpty", &Record::hdrCcEmpty},
    {"hdrDate", &Record::hdrDate},
    {"encWordSubject", &Record::encWordSubject},
    {"encWordAny", &Record::encWordAny},
    {"parseErr", &Record::parseErr},
    {"topCt", nullptr, nullptr, &Record::topCt},
    {"plainNonempty", nullptr, &Record::plainNonempty},
    {"htmlNonempty", nullptr, &Record::htmlNonempty},
    {"calUnnamed", nullptr, &Record::calUnnamed},
    {"otherTextualUnnamed", nullptr, &Record::otherTextualUnnamed},
    {"rfc822Unnamed", nullptr, &Record::rfc822Unnamed},
    {"cidParts", nullptr, &Record::cidParts},
    {"attachDecl", nullptr, &Record::attachDecl},
    {"oversize", nullptr, &Record::oversize},
    {"remoteRefsInHtml", &Record::remoteRefsInHtml},
    {"scriptInHtml", &Record::scriptInHtml},
    {"undeclNonAscii", &Record::undeclNonAscii},
    {"formatFlowed", &Record::formatFlowed},
    {"signed", &Record::signedMsg},
    {"encrypted", &Record::encrypted},
    {"report", &Record::reportMsg},
}};

int classifyProbe(std::string_view key) {
  for (size_t i = 0; i < kProbeFields.size(); ++i) {
    if (kProbeFields[i].key == key) return static_cast<int>(i);
  }
  return -1;
}

// The keys met at each position of the previous line: records write their members in one
// order, so a key is usually the one met at its position last time and is recognised with one
// comparison.
struct KeyCache {
  struct Entry {
    std::string key;
    int known = -1;       // index among the members read, or -1
    uint64_t digest = 0;  // digestOf(key)
  };
  std::vector<Entry> entries;

  // The entry for `key` at `position`; `hit` turns false when it differs from last time.
  const Entry& at(size_t position, std::string_view key, int (*classify)(std::string_view),
                  bool& hit) {
    if (position < entries.size() && entries[position].key == key) return entries[position];
    hit = false;
    if (position >= entries.size()) entries.resize(position + 1);
    Entry& e = entries[position];
    e.key.assign(key);
    e.known = classify(key);
    e.digest = digestOf(key);
    return e;
  }
};

void clearProbeFields(Record& r) {
  for (const ProbeField& f : kProbeFields) {
    if (f.flag) r.*f.flag = false;
    if (f.count) r.*f.count = 0;
    if (f.text) (r.*f.text).clear();
  }
}

}  // namespace

struct RecordParser::State {
  od::parser parser;
  std::vector<char> lineBuffer;
  Record record;
  std::string problem;

  KeyCache topKeys, probeKeys;
  // The probe's members of the line being read, in line order, and the order that sorts them
  // by key (kept while the keys come in the same order as in the line before).
  std::vector<std::pair<std::string_view, uint64_t>> members;
  std::vector<uint32_t> sorted;
  size_t sortedFor = 0;              // how many keys `sorted` was made for (0: none)
  bool recordMembersSorted = false;  // record.probeMembers holds the keys in `sorted` order
  std::vector<uint64_t> scratch;     // element digests of the arrays being read

  bool readFast(std::string_view line, bool digests);
  bool readDocument(od::document& doc, bool digests);
  bool readLoss(od::value& v);
  bool readProbe(od::value& v, bool digests);
  bool fillDigests();
  bool walk(od::value& v, int depth, uint64_t* digest);
};

// Reads a value the record does not look into, whole, so that the line is known to be valid
// JSON; with `digest`, its digest as digestValue gives it. `depth` counts the containers
// around the value; deeper nesting than a record's, and objects whose digest is wanted (their
// members would have to be sorted), are left to the tree reading.
bool RecordParser::State::walk(od::value& v, int depth, uint64_t* digest) {
  od::json_type type;
  if (v.type().get(type)) return false;
  switch (type) {
    case od::json_type::array: {
      if (depth + 1 > kMaxDepth) return false;
      od::array array;
      if (v.get_array().get(array)) return false;
      const size_t first = scratch.size();
      for (auto item : array) {
        od::value element;
        if (item.get(element)) return false;
        uint64_t d = 0;
        if (!walk(element, depth + 1, digest ? &d : nullptr)) return false;
        if (digest) scratch.push_back(d);
      }
      if (digest) {
        uint64_t h = mixDigest(6, scratch.size() - first);
        for (size_t i = first; i < scratch.size(); ++i) h = mixDigest(h, scratch[i]);
        *digest = h;
        scratch.resize(first);
      }
      return true;
    }
    case od::json_type::object: {
      if (depth + 1 > kMaxDepth || digest) return false;
      od::object object;
      if (v.get_object().get(object)) return false;
      for (auto item : object) {
        od::field field;
        std::string_view key;
        if (std::move(item).get(field) || !plainKey(field, key)) return false;
        if (!walk(field.value(), depth + 1, nullptr)) return false;
      }
      return true;
    }
    case od::json_type::number: {
      uint64_t n = 0;
      if (v.get_uint64().get(n)) return false;
      if (digest) *digest = mixDigest(2, n);
      return true;
    }
    case od::json_type::string: {
      std::string_view s;
      if (!readString(v, s)) return false;
      if (digest) *digest = mixDigest(5, digestOf(s));
      return true;
    }
    case od::json_type::boolean: {
      bool b = false;
      if (v.get_bool().get(b)) return false;
      if (digest) *digest = mixDigest(1, b ? 1 : 0);
      return true;
    }
    case od::json_type::null: {
      bool isNull = false;
      if (v.is_null().get(isNull) || !isNull) return false;
      if (digest) *digest = mixDigest(0, 0);
      return true;
    }
  }
  return false;
}

bool RecordParser::State::readLoss(od::value& v) {
  od::array array;
  if (v.get_array().get(array)) return false;
  for (auto item : array) {
    od::value entry;
    od::object object;
    if (item.get(entry) || entry.get_object().get(object)) return false;
    bool haveId = false;
    for (auto member : object) {
      od::field field;
      std::string_view key;
      if (std::move(member).get(field) || !plainKey(field, key)) return false;
      if (key == "id") {
        std::string_view id;
        if (haveId || !readString(field.value(), id)) return false;
        record.lossIds.emplace_back(id);
        haveId = true;
      } else if (!walk(field.value(), 3, nullptr)) {
        return false;
      }
    }
    if (!haveId) return false;
  }
  return true;
}

bool RecordParser::State::readProbe(od::value& v, bool digests) {
  od::object object;
  if (v.get_object().get(object)) return false;
  Record& r = record;
  uint32_t seen = 0;
  size_t position = 0;
  bool sameKeys = true;
  members.clear();
  for (auto member : object) {
    od::field field;
    std::string_view key;
    if (std::move(member).get(field) || !plainKey(field, key)) return false;
    const KeyCache::Entry& entry = probeKeys.at(position++, key, classifyProbe, sameKeys);
    if (!sameKeys) sortedFor = 0;  // the order below no longer fits the cached keys
    od::value& value = field.value();
    uint64_t digest = 0;
    if (entry.known < 0) {
      if (!walk(value, 2, digests ? &digest : nullptr)) return false;
    } else {
      const uint32_t bit = uint32_t{1} << entry.known;
      if (seen & bit) return false;
      seen |= bit;
      const ProbeField& f = kProbeFields[static_cast<size_t>(entry.known)];
      if (f.flag) {
        bool b = false;
        if (value.get_bool().get(b)) return false;
        r.*f.flag = b;
        digest = mixDigest(1, b ? 1 : 0);
      } else if (f.count) {
        uint64_t n = 0;
        if (value.get_uint64().get(n)) return false;
        r.*f.count = n;
        digest = mixDigest(2, n);
      } else {
        std::string_view s;
        if (!readString(value, s)) return false;
        (r.*f.text).assign(s);
        digest = mixDigest(5, digestOf(s));
      }
    }
    if (digests) members.emplace_back(key, digest);
  }
  if (seen != (uint32_t{1} << kProbeFields.size()) - 1) return false;
  if (!digests) return true;
  if (sortedFor != members.size()) {
    sorted.resize(members.size());
    for (uint32_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
    std::sort(sorted.begin(), sorted.end(),
              [this](uint32_t a, uint32_t b) { return members[a].first < members[b].first; });
    sortedFor = 0;
    recordMembersSorted = false;
    for (size_t i = 1; i < sorted.size(); ++i) {
      // A repeated member: the tree keeps the last one, left to it.
      if (members[sorted[i - 1]].first == members[sorted[i]].first) return false;
    }
    sortedFor = members.size();
  }
  return fillDigests();
}

// The whole probe's digest and the members' digests, sorted by key, as digestProbe gives them.
bool RecordParser::State::fillDigests() {
  Record& r = record;
  uint64_t whole = mixDigest(7, members.size());
  if (!recordMembersSorted) {
    r.probeMembers.resize(members.size());
    for (size_t i = 0; i < sorted.size(); ++i)
      r.probeMembers[i].key.assign(members[sorted[i]].first);
    recordMembersSorted = true;
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    const size_t at = sorted[i];
    const uint64_t keyDigest = probeKeys.entries[at].digest;
    whole = mixDigest(mixDigest(whole, keyDigest), members[at].second);
    r.probeMembers[i].digest = members[at].second;
  }
  r.probeDigest = whole;
  return true;
}

bool RecordParser::State::readDocument(od::document& doc, bool digests) {
  od::object top;
  if (doc.get_object().get(top)) return false;
  Record& r = record;
  r.lossIds.clear();
  uint32_t seen = 0;
  size_t position = 0;
  bool sameKeys = true;
  std::string_view outcome, error, readError;
  bool errorIsText = false;
  for (auto member : top) {
    od::field field;
    std::string_view key;
    if (std::move(member).get(field) || !plainKey(field, key)) return false;
    const int known = topKeys.at(position++, key, classifyTop, sameKeys).known;
    od::value& value = field.value();
    if (known >= 0) {
      const uint32_t bit = uint32_t{1} << known;
      if (seen & bit) return false;  // repeated: the tree keeps the last one
      seen |= bit;
    }
    bool ok = true;
    switch (static_cast<TopKey>(known)) {
      case TopKey::Name: {
        std::string_view name;
        ok = readString(value, name);
        r.name.assign(name);
        break;
      }
      case TopKey::Bytes:
        ok = !value.get_uint64().get(r.bytes);
        break;
      case TopKey::Ms:
        ok = !value.get_uint64().get(r.ms);
        break;
      case TopKey::Outcome:
        ok = readString(value, outcome);
        break;
      case TopKey::Error: {
        // Read only for a failed outcome; otherwise any value will do.
        od::json_type type;
        ok = !value.type().get(type);
        errorIsText = ok && type == od::json_type::string;
        ok = ok && (errorIsText ? readString(value, error) : walk(value, 1, nullptr));
        break;
      }
      case TopKey::ReadError:
        ok = readString(value, readError);
        break;
      case TopKey::Loss:
        ok = readLoss(value);
        break;
      case TopKey::GotHtml:
        ok = !value.get_bool().get(r.gotHtml);
        break;
      case TopKey::GotText:
        ok = !value.get_bool().get(r.gotText);
        break;
      case TopKey::GotAttachments:
        ok = !value.get_uint64().get(r.gotAttachments);
        break;
      case TopKey::GotTo:
        ok = !value.get_uint64().get(r.gotTo);
        break;
      case TopKey::GotCc:
        ok = !value.get_uint64().get(r.gotCc);
        break;
      case TopKey::Probe:
        ok = readProbe(value, digests);
        break;
      case TopKey::Other:
        ok = walk(value, 1, nullptr);
        break;
    }
    if (!ok) return false;
  }
  // Nothing may follow the object.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return false;

  constexpr auto bit = [](TopKey k) { return uint32_t{1} << static_cast<int>(k); };
  constexpr uint32_t required = bit(TopKey::Name) | bit(TopKey::Bytes) | bit(TopKey::Ms) |
                                bit(TopKey::Outcome) | bit(TopKey::Loss) | bit(TopKey::GotHtml) |
                                bit(TopKey::GotText) | bit(TopKey::GotAttachments) |
                                bit(TopKey::GotTo) | bit(TopKey::GotCc);
  if ((seen & required) != required) return false;
  r.error.clear();
  if (outcome == "ok") {
    r.status = Status::Ok;
  } else if (outcome == "threw" || outcome == "failed") {
    r.status = outcome == "threw" ? Status::Threw : Status::Failed;
    if (!errorIsText) return false;
    r.error.assign(error);
  } else {
    return false;
  }
  r.readError.clear();
  if (seen & bit(TopKey::ReadError)) {
    r.readError.assign(readError);
    r.status = Status::Unreadable;
  }
  r.hasProbe = (seen & bit(TopKey::Probe)) != 0;
  // A message that could not be processed keeps its probe only when the probe finished.
  if (!r.hasProbe && r.status != Status::Failed) return false;
  if (!r.hasProbe) clearProbeFields(r);
  if (!r.hasProbe || !digests) {
    r.probeDigest = 0;
    if (!r.probeMembers.empty()) {
      r.probeMembers.clear();
      recordMembersSorted = false;
    }
  }
  return true;
}

bool RecordParser::State::readFast(std::string_view line, bool digests) {
  if (hasControlByte(line)) return false;
  const bool big = line.size() > kKeptLineCapacity;
  std::vector<char> bigBuffer;
  std::vector<char>& buffer = big ? bigBuffer : lineBuffer;
  // The reader may look up to SIMDJSON_PADDING bytes past the line's end.
  const size_t padded = line.size() + simdjson::SIMDJSON_PADDING;
  if (buffer.size() < padded) buffer.resize(padded);
  line.copy(buffer.data(), line.size());
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(line.size()),
            buffer.begin() + static_cast<std::ptrdiff_t>(padded), '\0');
  std::unique_ptr<od::parser> bigParser;
  od::parser& p = big ? *(bigParser = std::make_unique<od::parser>()) : parser;
  od::document doc;
  if (p.iterate(buffer.data(), line.size(), buffer.size()).get(doc)) return false;
  return readDocument(doc, digests);
}

std::string_view statusName(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::Threw:
      return "threw";
    case Status::Failed:
      return "failed";
    case Status::Unreadable:
      break;
  }
  return "unreadable";
}

std::variant<Record, std::string> parseRecordTree(std::string_view line, bool digests) {
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
      r.status = Status::Ok;
    } else if (outcome == "threw") {
      r.status = Status::Threw;
      top.text("error", r.error);
    } else if (outcome == "failed") {
      r.status = Status::Failed;
      top.text("error", r.error);
    } else {
      return std::string("outcome is neither \"ok\", \"threw\" nor \"failed\"");
    }
  }
  // An entry that could not be read as a regular file names the system's reason.
  if (json.contains("readError")) {
    top.text("readError", r.readError);
    r.status = Status::Unreadable;
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
  top.flag("gotHtml", r.gotHtml);
  top.flag("gotText", r.gotText);
  top.count("gotAttachments", r.gotAttachments);
  top.count("gotTo", r.gotTo);
  top.count("gotCc", r.gotCc);
  // A message that could not be processed keeps its probe only when the probe finished.
  const bool probeOptional = r.status == Status::Failed && !json.contains("probe");
  const Json* probe = probeOptional ? nullptr : top.member("probe", "an object");
  if (probe && !probe->is_object()) top.fail("probe", "an object");
  if (!top.problem().empty()) return top.problem();
  if (!probe) return r;

  r.hasProbe = true;
  FieldReader p(*probe, "probe.");
  readProbe(r, p);
  if (!p.problem().empty()) return p.problem();
  if (digests) digestProbe(*probe, r);
  return r;
}

RecordParser::RecordParser() : state_(std::make_unique<State>()) {}
RecordParser::~RecordParser() = default;
RecordParser::RecordParser(RecordParser&&) noexcept = default;
RecordParser& RecordParser::operator=(RecordParser&&) noexcept = default;

ParsedLine RecordParser::parse(std::string_view line, bool digests) {
  State& s = *state_;
  if (s.readFast(line, digests)) return {&s.record, {}};
  std::variant<Record, std::string> tree = parseRecordTree(line, digests);
  s.recordMembersSorted = false;
  if (auto* problem = std::get_if<std::string>(&tree)) {
    s.problem = std::move(*problem);
    return {nullptr, s.problem};
  }
  s.record = std::move(std::get<Record>(tree));
  return {&s.record, {}};
}

std::variant<Record, std::string> parseRecord(std::string_view line, bool digests) {
  RecordParser parser;
  const ParsedLine parsed = parser.parse(line, digests);
  if (!parsed.record) return std::string(parsed.problem);
  return *parsed.record;
}

std::span<const PairedFeature> pairedFeatures() {
  return kPaired;
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

Verdict verdictOf(const Record& r, const PairedFeature& feature) {
  if (r.status != Status::Ok) return Verdict::NotJudged;
  return verdictOf(hasNotice(r, feature.feature), feature.seen(r));
}

Verdict verdictOf(bool notice, bool condition) {
  if (notice && condition) return Verdict::Agree;
  if (notice) return Verdict::FalseAlarm;
  return condition ? Verdict::Silent : Verdict::BothAbsent;
}

}  // namespace report
