// The probe's structure walk: one pass over the parsed tree in pre-order, recording the
// tree's shape and the raw signals a message reader can lose.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "probe/probe.h"
#include "text/text.h"

namespace ventry {

namespace mime = email::mime;

namespace {

// Bodies above the reader's inline cap (5 MiB) count as oversize.
constexpr uint64_t kOversizeLimit = 5 * 1024 * 1024;

bool isAsciiLikeCharset(std::string_view lowerCharset) {
  return lowerCharset.empty() || lowerCharset == "ascii" || lowerCharset == "us-ascii";
}

// A substring search that does not stop at every occurrence of the needle's first byte
// (which for "s" or "c" in HTML is nearly every word).
bool contains(std::string_view haystack, std::string_view needle) {
  return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// Whether `text` holds `lowerNeedle` (lower-case ASCII) at `at`, ignoring ASCII case.
bool matchesAt(std::string_view text, size_t at, std::string_view lowerNeedle) {
  if (text.size() - at < lowerNeedle.size()) return false;
  for (size_t k = 0; k < lowerNeedle.size(); ++k) {
    char c = text[at + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerNeedle[k]) return false;
  }
  return true;
}

// The searches below look for ASCII needles in the Unicode lower-casing of the HTML. Only
// two characters outside ASCII lower-case to ASCII: U+212A (to "k", in no needle) and U+0130
// (to "i" followed by U+0307, which breaks any needle at that "i"). So an ASCII-case-blind
// search of the text itself finds the same, and text that is not ASCII is searched that way
// instead of being lower-cased first.
void searchHtmlInPlace(std::string_view html, Probe& probe) {
  for (size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (c == 'c' || c == 'C') {
      if (matchesAt(html, i, "cid:")) probe.cidRefsInHtml = true;
    } else if (c == 's' || c == 'S') {
      if (matchesAt(html, i, "src=\"http") || matchesAt(html, i, "src='http") ||
          matchesAt(html, i, "src=http")) {
        probe.remoteRefsInHtml = true;
      }
    } else if (c == '<') {
      if (matchesAt(html, i, "<script")) probe.scriptInHtml = true;
    }
  }
}

void searchHtml(std::string_view html, Probe& probe) {
  if (!text::isAscii(html)) {
    searchHtmlInPlace(html, probe);
    return;
  }
  const std::string lower = text::asciiLower(html);
  if (contains(lower, "cid:")) probe.cidRefsInHtml = true;
  if (contains(lower, "src=\"http") || contains(lower, "src='http") ||
      contains(lower, "src=http")) {
    probe.remoteRefsInHtml = true;
  }
  if (contains(lower, "<script")) probe.scriptInHtml = true;
}

// Appends to one of the probe's lists of distinct values, keeping the first of equal ones.
// A list stays short in real mail and is searched; one that grows long (a hostile message
// can name a distinct charset in every part) is indexed, so that adding stays constant time.
class DistinctList {
 public:
  explicit DistinctList(std::vector<std::string>& list) : list_(list) {}

  void add(std::string value) {
    if (!index_) {
      if (std::find(list_.begin(), list_.end(), value) != list_.end()) return;
      if (list_.size() < kSearched) {
        list_.push_back(std::move(value));
        return;
      }
      index_.emplace(list_.begin(), list_.end());
    }
    if (index_->insert(value).second) list_.push_back(std::move(value));
  }

 private:
  static constexpr size_t kSearched = 16;
  std::vector<std::string>& list_;
  std::optional<std::unordered_set<std::string>> index_;
};

struct ProbeLists {
  DistinctList cte;
  DistinctList charsets;
  DistinctList otherTextualTypes;
};

void probeLeaf(const mime::ParsedMessage& message, uint32_t part, std::string_view mediaType,
               Probe& probe, ProbeLists& lists) {
  ++probe.parts;

  const mime::ContentDisposition disposition = mime::contentDisposition(message, part);
  std::string storage;
  const bool named = disposition.params.contains("filename") ||
                     mime::contentTypeParam(message, part, "name", storage).has_value();
  const bool attachment = disposition.kind == mime::DispositionKind::Attachment;
  if (named || attachment) ++probe.attachDecl;
  const bool unnamed = !named && !attachment;

  if (const auto cte = mime::partHeader(message, part, mime::PartHeader::ContentTransferEncoding)) {
    lists.cte.add(text::asciiLower(text::trim(mime::headerValue(*cte))));
  }

  const std::string_view declaredCharset = mime::charset(message, part);
  std::string charset = text::asciiLower(declaredCharset);
  const bool asciiLike = isAsciiLikeCharset(charset);
  lists.charsets.add(std::move(charset));

  const bool textual = text::startsWith(mediaType, "text/");
  if (unnamed && !textual && mime::partHeader(message, part, mime::PartHeader::ContentId))
    ++probe.cidParts;
  if (unnamed && mediaType == "message/rfc822") ++probe.rfc822Unnamed;

  if (!textual) {
    // Only the decoded length counts here (a failed decoding counts as empty).
    if (mime::transferDecodedSize(message, part).size > kOversizeLimit) ++probe.oversize;
    return;
  }

  // A failed transfer decoding leaves the body empty and the text unobtained.
  const mime::BodyView body = mime::decodedBody(message, part);
  const std::string_view bytes = body.ok ? body.bytes : std::string_view();
  if (bytes.size() > kOversizeLimit) ++probe.oversize;
  if (asciiLike && !text::isAscii(bytes)) probe.undeclNonAscii = true;

  if (mediaType == "text/html") {
    ++probe.htmlLeaves;
    if (body.ok) {
      const std::string html = mime::decodeCharset(bytes, declaredCharset);
      if (!html.empty()) ++probe.htmlNonempty;
      searchHtml(html, probe);
    }
  } else if (mediaType == "text/plain") {
    ++probe.plainLeaves;
    // Empty bytes decode to empty text, and so does a body holding only a byte-order mark;
    // decodesToText settles most bodies by their first byte.
    if (body.ok && mime::decodesToText(bytes, declaredCharset)) ++probe.plainNonempty;
    const auto format = mime::contentTypeParam(message, part, "format", storage);
    if (format && text::equalsIgnoreAsciiCase(*format, "flowed")) probe.formatFlowed = true;
  } else if (mediaType == "text/calendar") {
    ++(unnamed ? probe.calUnnamed : probe.calNamed);
  } else if (unnamed) {
    ++probe.otherTextualUnnamed;
    lists.otherTextualTypes.add(std::string(mediaType));
  }
}

}  // namespace

void probePart(const mime::ParsedMessage& message, uint32_t root, Probe& probe) {
  if (root >= message.parts.size()) return;
  // The parts are in pre-order and a subtree is the range [root, subtreeEnd), so a plain
  // loop visits the same parts in the same order as a depth-first walk would.
  const uint32_t end = mime::subtreeEnd(message, root);
  ProbeLists lists{DistinctList(probe.cte), DistinctList(probe.charsets),
                   DistinctList(probe.otherTextualTypes)};
  std::string mediaTypeStorage;
  for (uint32_t i = root; i < end; ++i) {
    probe.depth = std::max(probe.depth, message.parts[i].depth);

    const std::string_view mediaType =
        text::unicodeLowerView(mime::mediaType(message, i), mediaTypeStorage);
    if (mediaType == "message/rfc822") ++probe.rfc822Parts;
    if (mediaType == "multipart/signed") probe.isSigned = true;
    if (mediaType == "multipart/report") probe.report = true;
    if (mediaType == "multipart/encrypted") probe.encrypted = true;

    const bool container =
        mime::hasChildren(message, i) || text::startsWith(mediaType, "multipart/");
    if (!container) probeLeaf(message, i, mediaType, probe, lists);
  }
}

}  // namespace ventry
