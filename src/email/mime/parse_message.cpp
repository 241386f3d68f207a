// The parse tree: header block, body and multipart splitting of every part, in pre-order,
// with an explicit stack of the multiparts whose sub-parts are still being cut out; and
// the walks over the tree's shape.
#include <algorithm>
#include <utility>

#include "email/mime/content_type.h"
#include "email/mime/header_block.h"
#include "email/mime/mime.h"
#include "email/mime/multipart.h"
#include "email/mime/transfer_encoding.h"
#include "text/text.h"

namespace email::mime {

namespace {

// Offsets are kept in 48 bits, part and header indexes in 32.
constexpr uint64_t kMaxMessageSize = uint64_t{1} << 48;
constexpr size_t kMaxCount = UINT32_MAX - 2;
constexpr std::string_view kTooLargeError = "Message too large to parse";
constexpr std::string_view kTooManyError = "Message holds too many parts or headers to parse";

// A multipart part whose body is being split.
struct OpenMultipart {
  uint32_t part = 0;
  uint32_t depth = 0;
  size_t sliceEnd = 0;  // one past the part's last byte in the message
  size_t pos = 0;       // just after the last delimiter found
  bool done = false;
  bool digest = false;  // children without Content-Type default to message/rfc822
  Delimiter delimiter;
};

// What the walks ask every part for among `headers[first..]`: the first Content-Type and
// Content-Transfer-Encoding headers, and whether there are Content-Disposition and
// Content-ID headers. Names are told apart by their length first.
struct TypeHeaders {
  const HeaderSpot* contentType = nullptr;
  size_t contentTypeIndex = 0;  // among the part's headers
  const HeaderSpot* transferEncoding = nullptr;
  bool disposition = false;
  bool contentId = false;
};

// Most names are written as they are asked for.
bool isName(std::string_view name, std::string_view wanted) {
  return name == wanted || text::equalsIgnoreAsciiCase(name, wanted);
}

TypeHeaders findTypeHeaders(std::string_view message, const std::vector<HeaderSpot>& headers,
                            size_t first) {
  TypeHeaders found;
  for (size_t i = first; i < headers.size(); ++i) {
    const HeaderSpot& spot = headers[i];
    const std::string_view name = message.substr(spot.lineStart(), spot.nameLength());
    switch (name.size()) {
      case 10:
        found.contentId = found.contentId || isName(name, "Content-ID");
        break;
      case 12:
        if (found.contentType == nullptr && isName(name, "Content-Type")) {
          found.contentType = &spot;
          found.contentTypeIndex = i - first;
        }
        break;
      case 19:
        found.disposition = found.disposition || isName(name, "Content-Disposition");
        break;
      case 25:
        if (found.transferEncoding == nullptr && isName(name, "Content-Transfer-Encoding")) {
          found.transferEncoding = &spot;
        }
        break;
      default:
        break;
    }
  }
  return found;
}

struct TreeBuilder {
  std::string_view message;
  ParsedMessage& result;
  DelimiterIndex index;
  std::vector<OpenMultipart> open;
  TypeFacts facts;  // reused from part to part

  bool fail(std::string_view error) {
    result.error = error;
    return false;
  }

  // Parses the part in [begin, end) and appends it; a splittable multipart is pushed onto
  // `open`. False (with the error set) when its header block is rejected.
  bool addPart(size_t begin, size_t end, bool digestChild, uint32_t depth) {
    if (result.parts.size() >= kMaxCount) return fail(kTooManyError);
    const size_t firstHeader = result.headers.size();
    const HeaderBlockEnd block = readHeaderBlock(message, begin, end, result.headers);
    if (!block.error.empty()) return fail(block.error);
    if (result.headers.size() >= kMaxCount) return fail(kTooManyError);

    Part part;
    part.begin = begin;
    part.end = end;
    part.bodyStart = block.bodyStart;
    part.firstHeader = static_cast<uint32_t>(firstHeader);
    part.depth = depth;
    const TypeHeaders found = findTypeHeaders(message, result.headers, firstHeader);
    part.hasDisposition = found.disposition;
    part.hasContentId = found.contentId;
    if (found.transferEncoding != nullptr) {
      const Header header = readHeaderAt(message, found.transferEncoding->lineStart(), end);
      part.encoding = static_cast<uint64_t>(transferEncodingOf(header));
      part.hasTransferEncoding = 1;
    }
    bool multipart = false;
    if (found.contentType == nullptr) {
      part.setTypeId(digestChild ? kDigestDefaultType : kPlainDefaultType);
    } else {
      part.contentTypeHeader = std::min<size_t>(found.contentTypeIndex + 1, Part::kFarHeader);
      const Header header = readHeaderAt(message, found.contentType->lineStart(), end);
      part.plainContentType = readTypeFacts(header, facts);
      part.typeParamsOnly = facts.typeParamsOnly;
      part.setTypeId(internType(result.types, message, facts.mediaType, facts.charset));
      multipart = text::startsWith(facts.mediaType, "multipart/");
    }
    const auto index = static_cast<uint32_t>(result.parts.size());
    result.parts.push_back(part);
    if (!multipart || block.bodyStart == end || !facts.boundary) return true;

    Delimiter delimiter = makeDelimiter(*facts.boundary);
    const size_t bodyStart = block.bodyStart;
    const size_t first = findDelimiterLine(this->index, delimiter, bodyStart, end);
    if (first == kNotFound) return true;
    // The body of a split multipart is its preamble, with the line break before the first
    // delimiter.
    result.parts.back().split = 1;
    result.preambles.push_back({index, first});
    OpenMultipart& split = open.emplace_back();
    split.part = index;
    split.depth = depth;
    split.sliceEnd = end;
    split.pos = first + delimiter.text.size();
    split.digest = facts.mediaType == "multipart/digest";
    split.delimiter = std::move(delimiter);
    return true;
  }

  // Cuts the next sub-part out of the innermost open multipart and parses it, or closes
  // that multipart when it has no more.
  bool step() {
    OpenMultipart& top = open.back();
    if (top.done) {
      open.pop_back();
      return true;
    }
    // Whatever follows the delimiter on its line (transport padding, "--", or more
    // characters, since the boundary is matched as a prefix) is skipped.
    const size_t lineFeed = findLineFeedBefore(message, top.pos, top.sliceEnd);
    if (lineFeed == kNotFound) {
      top.done = true;
      return true;
    }
    const size_t start = lineFeed + 1;
    size_t end = findDelimiterLine(index, top.delimiter, start, top.sliceEnd);
    if (end == kNotFound) end = top.sliceEnd;
    // The close marker is only looked for after the second and later delimiters.
    top.pos = end + top.delimiter.text.size();
    top.done =
        top.pos + 2 > top.sliceEnd || (message[top.pos] == '-' && message[top.pos + 1] == '-');
    const uint32_t depth = top.depth + 1;
    const bool digest = top.digest;
    return addPart(start, end, digest, depth);  // may grow `open`
  }
};

}  // namespace

ParsedMessage parseMessage(std::string_view bytes) {
  ParsedMessage result;
  result.bytes = bytes;
  if (bytes.size() >= kMaxMessageSize) {
    result.error = kTooLargeError;
    return result;
  }
  // Room for a message's own header block; body parts add a few each.
  result.headers.reserve(std::min<size_t>(32, bytes.size() / 2 + 1));
  TreeBuilder builder{bytes, result, makeDelimiterIndex(bytes), {}, {}};
  bool ok = builder.addPart(0, bytes.size(), false, 0);
  while (ok && !builder.open.empty()) ok = builder.step();
  if (!ok) {
    result.parts.clear();
    result.headers.clear();
    result.types = {};
    result.preambles.clear();
  }
  return result;
}

std::string_view partBytes(const ParsedMessage& message, uint32_t part) {
  const Part& p = message.parts[part];
  return message.bytes.substr(p.begin, p.end - p.begin);
}

std::string_view partBody(const ParsedMessage& message, uint32_t part) {
  const Part& p = message.parts[part];
  uint64_t end = p.end;
  if (p.split) {
    const auto& preambles = message.preambles;
    const auto it = std::lower_bound(
        preambles.begin(), preambles.end(), part,
        [](const PreambleEnd& preamble, uint32_t index) { return preamble.part < index; });
    if (it != preambles.end() && it->part == part) end = it->end;
  }
  return message.bytes.substr(p.bodyStart, end - p.bodyStart);
}

bool hasChildren(const ParsedMessage& message, uint32_t part) {
  return size_t{part} + 1 < message.parts.size() &&
         message.parts[part + 1].depth > message.parts[part].depth;
}

uint32_t subtreeEnd(const ParsedMessage& message, uint32_t part) {
  const uint32_t depth = message.parts[part].depth;
  const auto count = static_cast<uint32_t>(message.parts.size());
  uint32_t end = part + 1;
  while (end < count && message.parts[end].depth > depth) ++end;
  return end;
}

uint32_t parentOf(const ParsedMessage& message, uint32_t part) {
  const uint32_t depth = message.parts[part].depth;
  if (depth == 0) return kNoPart;
  uint32_t parent = part;
  while (parent > 0 && message.parts[parent].depth >= depth) --parent;
  return parent;
}

uint32_t childCount(const ParsedMessage& message, uint32_t part) {
  const uint32_t depth = message.parts[part].depth;
  const uint32_t end = subtreeEnd(message, part);
  uint32_t children = 0;
  for (uint32_t i = part + 1; i < end; ++i) children += message.parts[i].depth == depth + 1;
  return children;
}

std::vector<uint32_t> parentLinks(const ParsedMessage& message) {
  std::vector<uint32_t> parents(message.parts.size(), kNoPart);
  // The open ancestors of the part at hand, innermost last.
  std::vector<uint32_t> ancestors;
  for (uint32_t i = 0; i < message.parts.size(); ++i) {
    const uint32_t depth = message.parts[i].depth;
    while (!ancestors.empty() && message.parts[ancestors.back()].depth >= depth) {
      ancestors.pop_back();
    }
    if (!ancestors.empty()) parents[i] = ancestors.back();
    ancestors.push_back(i);
  }
  return parents;
}

}  // namespace email::mime
