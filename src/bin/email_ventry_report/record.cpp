#include "email_ventry_report/record.h"

#include <array>
#include <bit>
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

}  // namespace

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

std::variant<Record, std::string> parseRecord(std::string_view line, bool digests) {
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
