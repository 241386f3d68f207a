// The parse tree: header block, body and multipart splitting of every part, in pre-order,
// with an explicit stack of the multiparts whose sub-parts are still being cut out.
#include <utility>

#include "email/mime/content_type.h"
#include "email/mime/header_block.h"
#include "email/mime/mime.h"
#include "email/mime/multipart.h"
#include "text/text.h"

namespace email::mime {

namespace {

// A multipart part whose body is being split.
struct OpenMultipart {
  uint32_t part = 0;
  size_t sliceEnd = 0;  // one past the part's last byte in the message
  size_t pos = 0;       // just after the last delimiter found
  bool done = false;
  bool digest = false;  // children without Content-Type default to message/rfc822
  Delimiter delimiter;
};

struct TreeBuilder {
  std::string_view message;
  ParsedMessage result;
  DelimiterIndex index;
  std::vector<OpenMultipart> open;

  // Parses the part in [begin, end) and appends it; a splittable multipart is pushed onto
  // `open`. False (with the error set) when its header block is rejected.
  bool addPart(size_t begin, size_t end, bool digestChild, uint32_t parent) {
    const std::string_view raw = message.substr(begin, end - begin);
    // A body part has a few headers. Room for a message's worth in every part would cost
    // deeply nested multiparts, whose every level is large, more memory than the message.
    HeaderBlock block =
        parseHeaderBlock(raw, parent == kNoPart ? kMessageHeaderRoom : kBodyPartHeaderRoom);
    if (!block.error.empty()) {
      result.error = std::move(block.error);
      return false;
    }
    const auto index = static_cast<uint32_t>(result.parts.size());
    Part& part = result.parts.emplace_back();
    part.raw = raw;
    part.headers = std::move(block.headers);
    part.body = raw.substr(block.bodyStart);
    part.contentType = parseContentType(part.headers, digestChild);
    part.parent = parent;
    part.subtreeEnd = index + 1;
    if (parent != kNoPart) {
      Part& parentPart = result.parts[parent];
      part.depth = parentPart.depth + 1;
      ++parentPart.childCount;
    }
    const ContentType& type = part.contentType;
    if (!text::startsWith(type.mimeType, "multipart/") || part.body.empty()) return true;
    auto boundary = type.params.find("boundary");
    if (boundary == type.params.end()) return true;

    Delimiter delimiter = makeDelimiter(boundary->second);
    const size_t bodyStart = begin + block.bodyStart;
    const size_t first = findDelimiterLine(this->index, delimiter, bodyStart, end);
    if (first == kNotFound) return true;
    // The body of a split multipart is its preamble, with the line break before the first
    // delimiter.
    part.body = message.substr(bodyStart, first - bodyStart);
    OpenMultipart& split = open.emplace_back();
    split.part = index;
    split.sliceEnd = end;
    split.pos = first + delimiter.text.size();
    split.digest = type.mimeType == "multipart/digest";
    split.delimiter = std::move(delimiter);
    return true;
  }

  // Cuts the next sub-part out of the innermost open multipart and parses it, or closes
  // that multipart when it has no more.
  bool step() {
    OpenMultipart& top = open.back();
    if (top.done) {
      result.parts[top.part].subtreeEnd = static_cast<uint32_t>(result.parts.size());
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
    const uint32_t parent = top.part;
    const bool digest = top.digest;
    return addPart(start, end, digest, parent);  // may grow `open`
  }
};

}  // namespace

ParsedMessage parseMessage(std::string_view bytes) {
  TreeBuilder builder;
  builder.message = bytes;
  builder.index.message = bytes;
  bool ok = builder.addPart(0, bytes.size(), false, kNoPart);
  while (ok && !builder.open.empty()) ok = builder.step();
  if (!ok) builder.result.parts.clear();
  return std::move(builder.result);
}

}  // namespace email::mime
