#include "fuzz_checks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "email/mime/content_type.h"
#include "email/mime/transfer_encoding.h"
#include "email/read_result.h"
#include "record/record.h"
#include "text/text.h"

namespace fuzzcheck {

using email::mime::kNoPart;
using email::mime::ParsedMessage;

void fail(std::string_view what) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

bool isWithin(std::string_view inner, std::string_view outer) {
  if (inner.empty()) {
    // An empty view may point anywhere inside or just past the end, or be null.
    if (inner.data() == nullptr) return true;
    return inner.data() >= outer.data() && inner.data() <= outer.data() + outer.size();
  }
  return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

namespace {

// ---------------------------------------------------------------------------------------
// JSON

struct JsonKey {
  size_t objectDepth;
  std::string_view key;
};

class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  // Checks the whole text; object keys at object depth 1 and 2 go to `keys` when given.
  bool scan(std::vector<JsonKey>* keys) {
    keys_ = keys;
    skipSpace();
    if (!value()) return false;
    skipSpace();
    return pos_ == text_.size();
  }

 private:
  enum class Frame { ObjectKey, ObjectValue, ArrayValue };

  // One JSON value, containers handled with an explicit stack.
  bool value() {
    std::vector<Frame> stack;
    size_t objectDepth = 0;
    bool expectValue = true;
    while (true) {
      if (expectValue) {
        skipSpace();
        if (pos_ >= text_.size()) return false;
        char c = text_[pos_];
        if (c == '{') {
          ++pos_;
          ++objectDepth;
          skipSpace();
          if (peek('}')) {
            ++pos_;
            --objectDepth;
            expectValue = false;
          } else {
            if (!key(objectDepth)) return false;
            stack.push_back(Frame::ObjectValue);
            continue;
          }
        } else if (c == '[') {
          ++pos_;
          skipSpace();
          if (peek(']')) {
            ++pos_;
            expectValue = false;
          } else {
            stack.push_back(Frame::ArrayValue);
            continue;
          }
        } else if (c == '"') {
          if (!string(nullptr)) return false;
          expectValue = false;
        } else if (c == 't') {
          if (!literal("true")) return false;
          expectValue = false;
        } else if (c == 'f') {
          if (!literal("false")) return false;
          expectValue = false;
        } else if (c == 'n') {
          if (!literal("null")) return false;
          expectValue = false;
        } else {
          if (!number()) return false;
          expectValue = false;
        }
      }
      // A value is complete: continue the enclosing container.
      if (stack.empty()) return true;
      skipSpace();
      if (pos_ >= text_.size()) return false;
      char c = text_[pos_++];
      if (stack.back() == Frame::ObjectValue) {
        if (c == ',') {
          skipSpace();
          if (!key(objectDepth)) return false;
          expectValue = true;
        } else if (c == '}') {
          stack.pop_back();
          --objectDepth;
        } else {
          return false;
        }
      } else {
        if (c == ',') {
          expectValue = true;
        } else if (c == ']') {
          stack.pop_back();
        } else {
          return false;
        }
      }
    }
  }

  bool key(size_t objectDepth) {
    std::string_view raw;
    if (!peek('"') || !string(&raw)) return false;
    if (keys_ != nullptr && objectDepth <= 2) keys_->push_back({objectDepth, raw});
    skipSpace();
    if (!peek(':')) return false;
    ++pos_;
    return true;
  }

  bool string(std::string_view* raw) {
    size_t start = ++pos_;
    while (pos_ < text_.size()) {
      auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        if (raw != nullptr) *raw = text_.substr(start, pos_ - start);
        ++pos_;
        return text::isValidUtf8(text_.substr(start, pos_ - 1 - start));
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (pos_ + 1 >= text_.size()) return false;
        char e = text_[pos_ + 1];
        if (e == 'u') {
          if (pos_ + 6 > text_.size()) return false;
          for (size_t i = pos_ + 2; i < pos_ + 6; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(text_[i]))) return false;
          }
          pos_ += 6;
          continue;
        }
        if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return false;
        pos_ += 2;
        continue;
      }
      ++pos_;
    }
    return false;
  }

  bool number() {
    size_t start = pos_;
    if (peek('-')) ++pos_;
    if (peek('0')) {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (peek('.')) {
      ++pos_;
      if (!digits()) return false;
    }
    if (peek('e') || peek('E')) {
      ++pos_;
      if (peek('+') || peek('-')) ++pos_;
      if (!digits()) return false;
    }
    return pos_ > start;
  }

  bool digits() {
    size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<JsonKey>* keys_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Parse tree

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool hasAsciiUpper(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

void checkParams(const email::mime::ParamMap& params, std::string_view where) {
  for (const auto& [name, value] : params) {
    require(text::isValidUtf8(name), where);
    require(text::isValidUtf8(value), where);
    require(!hasAsciiUpper(name), where);
  }
}

bool isContainer(const ParsedMessage& message, uint32_t part) {
  return email::mime::hasChildren(message, part) ||
         startsWith(email::mime::mediaType(message, part), "multipart/");
}

// What the parse keeps of a part's headers (media type, charset, transfer encoding, where the
// headers the walks ask for are, parameters read in place) against the full readings.
void checkKeptFacts(const ParsedMessage& message, uint32_t part, bool digestChild) {
  namespace mime = email::mime;
  const std::optional<mime::Header> header = mime::firstHeader(message, part, "Content-Type");
  const mime::ContentType full = mime::parseContentType(header ? &*header : nullptr, digestChild);
  require(mime::mediaType(message, part) == full.mimeType, "kept media type is the full reading");
  require(mime::charset(message, part) == full.charset, "kept charset is the full reading");
  require(mime::declaresCharset(message, part) == full.params.contains("charset"),
          "a declared charset is a charset parameter");
  const std::optional<mime::Header> kept =
      mime::partHeader(message, part, mime::PartHeader::ContentType);
  require(kept.has_value() == header.has_value() &&
              (!kept || kept->value.data() == header->value.data()),
          "the kept Content-Type header is the first one");
  std::vector<std::string> names = {"name", "format", "delsp", "charset", "boundary", ""};
  for (const auto& [name, value] : full.params) names.push_back(name);
  for (const std::string& name : names) {
    std::string storage;
    const std::optional<std::string_view> got =
        mime::contentTypeParam(message, part, name, storage);
    const auto want = full.params.find(name);
    require(want == full.params.end() ? !got : (got && *got == want->second),
            "a parameter read in place is the full reading's");
  }
  const struct {
    mime::PartHeader which;
    std::string_view name;
  } lookups[] = {
      {mime::PartHeader::ContentTransferEncoding, "Content-Transfer-Encoding"},
      {mime::PartHeader::ContentDisposition, "Content-Disposition"},
      {mime::PartHeader::ContentId, "Content-ID"},
  };
  for (const auto& lookup : lookups) {
    const auto found = mime::partHeader(message, part, lookup.which);
    const auto first = mime::firstHeader(message, part, lookup.name);
    require(found.has_value() == first.has_value() &&
                (!found || found->value.data() == first->value.data()),
            "a kept header is the first of its name");
  }
  const auto cte = mime::firstHeader(message, part, "Content-Transfer-Encoding");
  const mime::TransferEncoding encoding =
      cte ? mime::transferEncodingOf(*cte) : mime::TransferEncoding::Identity;
  require(message.parts[part].transferEncoding() == encoding,
          "the kept transfer encoding is the first header's");
}

}  // namespace

bool isJsonText(std::string_view text) {
  return JsonScanner(text).scan(nullptr);
}

void checkParsedMessage(std::string_view bytes, const ParsedMessage& message) {
  namespace mime = email::mime;
  require(message.ok() == !message.parts.empty(), "a parse has parts exactly when it is ok");
  if (!message.ok()) {
    require(message.error.find('\n') == std::string::npos, "rejection text is one line");
    return;
  }
  const auto& parts = message.parts;
  const auto count = static_cast<uint32_t>(parts.size());
  require(parts.size() <= bytes.size() + 1, "part count is bounded by the input size");
  const std::string_view rootBytes = mime::partBytes(message, 0);
  require(rootBytes.data() == bytes.data() && rootBytes.size() == bytes.size(),
          "the root part spans the whole message");
  require(parts[0].depth == 0 && mime::parentOf(message, 0) == kNoPart, "root depth and parent");
  require(mime::subtreeEnd(message, 0) == count, "the root subtree holds every part");

  // Pre-order layout: the depths go up by at most one from part to part, a part's parent is
  // the last part before it one level up, and a subtree is the run of deeper parts after it.
  std::vector<uint32_t> parents(count, kNoPart);
  std::vector<uint32_t> ancestors;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t depth = parts[i].depth;
    require(i == 0 || (depth >= 1 && depth <= parts[i - 1].depth + 1),
            "depth goes up by at most one from part to part");
    while (!ancestors.empty() && parts[ancestors.back()].depth >= depth) ancestors.pop_back();
    if (i > 0) parents[i] = ancestors.back();
    ancestors.push_back(i);
  }
  require(mime::parentLinks(message) == parents, "parent links follow the depths");
  std::vector<uint32_t> children(count, 0);
  std::vector<uint32_t> ends(count);
  for (uint32_t i = 0; i < count; ++i) ends[i] = i + 1;
  for (uint32_t i = count; i-- > 1;) {
    ++children[parents[i]];
    ends[parents[i]] = std::max(ends[parents[i]], ends[i]);
  }
  std::vector<uint32_t> lastChild(count, kNoPart);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view raw = mime::partBytes(message, i);
    const std::string_view body = mime::partBody(message, i);
    require(mime::hasChildren(message, i) == (children[i] > 0), "hasChildren follows the links");
    if (i < 256) {
      require(mime::parentOf(message, i) == parents[i], "parentOf follows the links");
      require(mime::childCount(message, i) == children[i], "childCount follows the links");
      require(mime::subtreeEnd(message, i) == ends[i], "subtreeEnd follows the links");
    }
    bool digestChild = false;
    if (i > 0) {
      const uint32_t parent = parents[i];
      const std::string_view parentBytes = mime::partBytes(message, parent);
      const std::string_view preamble = mime::partBody(message, parent);
      const uint32_t previous = lastChild[parent];
      if (previous != kNoPart) {
        const std::string_view before = mime::partBytes(message, previous);
        require(before.data() + before.size() <= raw.data() || raw.empty() || before.empty(),
                "siblings are in document order and do not overlap");
      }
      lastChild[parent] = i;
      require(isWithin(raw, parentBytes), "a child's bytes lie inside its parent's");
      require(raw.data() >= preamble.data() + preamble.size() || raw.empty(),
              "a child starts after its parent's preamble");
      digestChild = mime::mediaType(message, parent) == "multipart/digest";
    }
    require(isWithin(body, raw), "the body lies inside the part");
    const char* last = raw.data();
    for (const mime::Header& header : mime::partHeaders(message, i)) {
      require(isWithin(header.name, raw), "header name inside the part");
      require(isWithin(header.value, raw), "header value inside the part");
      require(header.name.find('\n') == std::string_view::npos, "header name has no LF");
      require(header.name.empty() || header.name.data() >= last, "headers in order");
      if (!header.value.empty()) {
        require(header.value.back() != '\n', "header value excludes its line end");
        last = header.value.data() + header.value.size();
      } else if (!header.name.empty()) {
        last = header.name.data() + header.name.size();
      }
      require(body.empty() || body.data() >= last, "the body follows the headers");
    }
    const std::string_view mediaType = mime::mediaType(message, i);
    require(text::isValidUtf8(mediaType), "media type is UTF-8");
    require(!hasAsciiUpper(mediaType), "media type is lower-cased");
    require(text::isValidUtf8(mime::charset(message, i)), "charset is UTF-8");
    const mime::ContentType type = mime::contentType(message, i);
    checkParams(type.params, "Content-Type parameters are lower-case UTF-8");
    if (children[i] > 0) {
      require(startsWith(mediaType, "multipart/"), "only multiparts have children");
      require(type.params.count("boundary") == 1, "only parts with a boundary have children");
    }
    checkKeptFacts(message, i, digestChild);
    auto disposition = mime::contentDisposition(message, i);
    checkParams(disposition.params, "Content-Disposition parameters are lower-case UTF-8");
  }
}

void checkProbe(const ventry::Probe& probe, const ParsedMessage& message) {
  require(probe.parseErr == !message.ok(), "parseErr follows the parse");
  if (!message.ok()) {
    require(probe.topCt.empty() && probe.parts == 0 && probe.depth == 0 && probe.charsets.empty() &&
                probe.cte.empty(),
            "a rejected message leaves the structure members at their initial values");
    return;
  }
  uint32_t leaves = 0;
  uint32_t declared = 0;
  uint32_t maxDepth = 0;
  uint32_t rfc822 = 0;
  for (uint32_t i = 0; i < message.parts.size(); ++i) {
    maxDepth = std::max(maxDepth, message.parts[i].depth);
    const email::mime::ContentType type = email::mime::contentType(message, i);
    if (text::unicodeLower(type.mimeType) == "message/rfc822") ++rfc822;
    if (isContainer(message, i)) continue;
    ++leaves;
    auto disposition = email::mime::contentDisposition(message, i);
    bool named = disposition.params.count("filename") > 0 || type.params.count("name") > 0;
    if (named || disposition.kind == email::mime::DispositionKind::Attachment) ++declared;
  }
  require(probe.parts == leaves, "parts counts the leaves");
  require(probe.attachDecl == declared, "attachDecl counts named or attachment leaves");
  require(probe.parts >= probe.attachDecl, "parts == attachDecl + unnamed leaves");
  require(probe.depth == maxDepth, "depth is the deepest nesting level");
  require(probe.depth < message.parts.size(), "depth stays below the part count");
  require(probe.rfc822Parts == rfc822, "rfc822Parts counts message/rfc822 parts");
  require(probe.rfc822Unnamed <= probe.rfc822Parts, "rfc822Unnamed <= rfc822Parts");
  require(probe.plainNonempty <= probe.plainLeaves, "plainNonempty <= plainLeaves");
  require(probe.htmlNonempty <= probe.htmlLeaves, "htmlNonempty <= htmlLeaves");
  uint64_t typed = uint64_t{probe.plainLeaves} + probe.htmlLeaves + probe.calUnnamed +
                   probe.calNamed + probe.otherTextualUnnamed + probe.rfc822Unnamed;
  require(typed <= probe.parts, "typed leaf counts stay within parts");
  require(probe.cidParts <= probe.parts && probe.oversize <= probe.parts,
          "cidParts and oversize stay within parts");
  // An unnamed leaf is a calendar, another textual type or a non-textual part with a
  // Content-ID at most once; a forwarded message may also carry a Content-ID.
  uint64_t unnamedLeaves = uint64_t{probe.parts} - probe.attachDecl;
  require(
      uint64_t{probe.cidParts} + probe.calUnnamed + probe.otherTextualUnnamed <= unnamedLeaves &&
          probe.rfc822Unnamed <= unnamedLeaves,
      "unnamed counters stay within the unnamed leaves");
  require((probe.parts == 0) == probe.charsets.empty(), "every leaf contributes a charset");
  require(probe.charsets.size() <= probe.parts && probe.cte.size() <= probe.parts,
          "lists hold at most one entry per leaf");
  require(probe.otherTextualTypes.size() <= probe.otherTextualUnnamed,
          "otherTextualTypes entries come from counted leaves");
  require(text::isValidUtf8(probe.topCt) && probe.topCt == text::unicodeLower(probe.topCt),
          "topCt is lower-cased UTF-8");
  for (const auto* list : {&probe.cte, &probe.charsets, &probe.otherTextualTypes}) {
    std::set<std::string_view> seen;
    for (const auto& entry : *list) {
      require(text::isValidUtf8(entry), "list entries are UTF-8");
      require(seen.insert(entry).second, "list entries are distinct");
    }
  }
}

void checkReadOutcome(const email::ReadOutcome& outcome, const ParsedMessage& message) {
  require(outcome.ok == message.ok(), "the reader fails exactly when the parse rejects");
  if (!outcome.ok) {
    require(startsWith(outcome.failure, "Parse: "), "failure text starts with Parse: ");
    return;
  }
  const auto& summary = outcome.summary;
  require(text::isValidUtf8(summary.html) && text::isValidUtf8(summary.text), "bodies are UTF-8");
  require(summary.attachments <= message.parts.size() + 1,
          "at most one attachment per part plus the rescued one");

  constexpr size_t kFeatures = 12;
  size_t dateNotices = 0;
  size_t recipientNotices = 0;
  bool pastHeaders = false;
  for (const auto& pair : summary.loss) {
    bool known = false;
    bool header = false;
    for (size_t i = 0; i < kFeatures; ++i) {
      auto id = static_cast<email::FeatureId>(i);
      if (email::featureIdText(id) != pair.featureId) continue;
      known = true;
      auto action = email::featureAction(id);
      require(action.empty() || action == pair.action, "a feature carries its action word");
      header = id == email::FeatureId::HeadersRecipients || id == email::FeatureId::HeadersDate;
      if (id == email::FeatureId::HeadersDate) ++dateNotices;
      if (id == email::FeatureId::HeadersRecipients) ++recipientNotices;
    }
    require(known, "loss pairs come from the closed feature vocabulary");
    require(pair.action == "dropped" || pair.action == "degraded", "action word");
    if (!header) pastHeaders = true;
    require(!(header && pastHeaders), "header notices come before the walks' notices");
  }
  size_t cursor = 0;
  bool hasDate = email::findHeader(message, cursor, "Date").has_value();
  require(dateNotices == (hasDate ? 1 : 0), "one Date notice exactly when there is a Date");
  require(recipientNotices <= 4, "at most four distinct recipient notices");
}

std::string checkRecordLine(std::string_view name, const email::ReadOutcome& outcome,
                            const ventry::Probe& probe) {
  ventry::MessageRecord record;
  record.name = std::string(name);
  record.bytes = name.size();
  record.threw = !outcome.ok;
  if (outcome.ok) {
    record.loss = outcome.summary.loss;
    record.gotHtml = !outcome.summary.html.empty();
    record.gotText = !outcome.summary.text.empty();
    record.gotAttachments = outcome.summary.attachments;
    record.gotTo = outcome.summary.to;
    record.gotCc = outcome.summary.cc;
  } else {
    std::string failure = text::utf8Lossy(outcome.failure);
    record.error = std::string(text::prefixCodePoints(failure, 160));
  }
  record.probe = probe;
  std::string line;
  ventry::appendRecordJson(line, record);
  line += '\n';

  require(line.size() >= 2 && line.back() == '\n', "the line ends in LF");
  require(line.find('\n') == line.size() - 1, "exactly one LF, at the end");
  require(line.find('\r') == std::string::npos, "no raw CR in the line");
  std::string_view object(line.data(), line.size() - 1);
  require(object.front() == '{' && object.back() == '}', "the line is one object");

  std::vector<JsonKey> keys;
  require(JsonScanner(object).scan(&keys), "the record is valid JSON");
  static constexpr std::array<std::string_view, 12> kTop = {
      "name",    "bytes",          "ms",    "outcome", "error", "loss", "gotHtml",
      "gotText", "gotAttachments", "gotTo", "gotCc",   "probe"};
  static constexpr std::array<std::string_view, 39> kProbe = {"hdrTo",
                                                              "hdrCc",
                                                              "hdrToEmpty",
                                                              "hdrCcEmpty",
                                                              "hdrBcc",
                                                              "hdrDate",
                                                              "hdrRefs",
                                                              "hdrInReplyTo",
                                                              "hdrMessageId",
                                                              "hdrMime",
                                                              "encWordSubject",
                                                              "encWordAny",
                                                              "parseErr",
                                                              "topCt",
                                                              "parts",
                                                              "depth",
                                                              "plainLeaves",
                                                              "htmlLeaves",
                                                              "plainNonempty",
                                                              "htmlNonempty",
                                                              "calUnnamed",
                                                              "calNamed",
                                                              "otherTextualUnnamed",
                                                              "otherTextualTypes",
                                                              "rfc822Parts",
                                                              "rfc822Unnamed",
                                                              "cidParts",
                                                              "cidRefsInHtml",
                                                              "remoteRefsInHtml",
                                                              "scriptInHtml",
                                                              "attachDecl",
                                                              "oversize",
                                                              "cte",
                                                              "charsets",
                                                              "undeclNonAscii",
                                                              "formatFlowed",
                                                              "signed",
                                                              "encrypted",
                                                              "report"};
  std::vector<std::string_view> top;
  std::vector<std::string_view> inner;
  for (const auto& key : keys) (key.objectDepth == 1 ? top : inner).push_back(key.key);
  std::vector<std::string_view> wantTop;
  for (auto key : kTop) {
    if (key != "error" || record.threw) wantTop.push_back(key);
  }
  require(top == wantTop, "record members in their fixed order, error only when threw");
  std::vector<std::string_view> wantInner;
  for (size_t i = 0; i < record.loss.size(); ++i) {
    wantInner.push_back("id");
    wantInner.push_back("action");
  }
  wantInner.insert(wantInner.end(), kProbe.begin(), kProbe.end());
  require(inner == wantInner, "loss entries and the 39 probe members in order");
  return line;
}

SplitInput splitAt(std::string_view data, char separator, size_t maxHead) {
  size_t at = data.substr(0, maxHead).find(separator);
  if (at == std::string_view::npos) return {{}, data};
  return {data.substr(0, at), data.substr(at + 1)};
}

}  // namespace fuzzcheck
