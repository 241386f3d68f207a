// Header lookup by name, headers read again from where the parse found them, and header
// names as text.
#include "email/mime/header_block.h"
#include "email/mime/mime.h"
#include "text/text.h"

namespace email::mime {

uint32_t headerCount(const ParsedMessage& message, uint32_t part) {
  // A part's headers run up to the next part's, or to the end of the list.
  const size_t next = size_t{part} + 1;
  const size_t end =
      next < message.parts.size() ? message.parts[next].firstHeader : message.headers.size();
  return static_cast<uint32_t>(end - message.parts[part].firstHeader);
}

Header headerAt(const ParsedMessage& message, uint32_t part, uint32_t index) {
  const Part& p = message.parts[part];
  return readHeaderAt(message.bytes, message.headers[p.firstHeader + index].lineStart(), p.end);
}

std::string_view headerNameAt(const ParsedMessage& message, uint32_t part, uint32_t index) {
  return spotName(message, message.headers[message.parts[part].firstHeader + index]);
}

std::span<const HeaderSpot> headerSpots(const ParsedMessage& message, uint32_t part) {
  return std::span<const HeaderSpot>(message.headers)
      .subspan(message.parts[part].firstHeader, headerCount(message, part));
}

// A name ends at its colon or line feed, before the end of any part that holds it (a part
// ends at the end of the message or where a line starts), so the message bounds it alike.
std::string_view spotName(const ParsedMessage& message, const HeaderSpot& spot) {
  if (spot.nameLength() == HeaderSpot::kLongName) {
    return readHeaderAt(message.bytes, spot.lineStart(), message.bytes.size()).name;
  }
  return message.bytes.substr(spot.lineStart(), spot.nameLength());
}

std::vector<Header> partHeaders(const ParsedMessage& message, uint32_t part) {
  std::vector<Header> headers;
  const uint32_t count = headerCount(message, part);
  headers.reserve(count);
  for (uint32_t i = 0; i < count; ++i) headers.push_back(headerAt(message, part, i));
  return headers;
}

namespace {

// The first header at or after the part's header `from` whose name equals `name` ignoring
// ASCII case. The name bytes count one character per byte: a byte of 0x80 or above is a
// Latin-1 character and so never equals an ASCII letter, which a byte-wise ASCII comparison
// gives. Names are compared by their kept length first; a long name is never one asked for.
std::optional<Header> findFrom(const ParsedMessage& message, uint32_t part, uint32_t from,
                               std::string_view name) {
  const Part& p = message.parts[part];
  const uint32_t count = headerCount(message, part);
  const HeaderSpot* spots = message.headers.data() + p.firstHeader;
  for (uint32_t i = from; i < count; ++i) {
    const uint32_t length = spots[i].nameLength();
    if (length == HeaderSpot::kLongName ? name.size() < length : length != name.size()) continue;
    const std::string_view found = spotName(message, spots[i]);
    // Most names are written as asked for.
    if (found == name || text::equalsIgnoreAsciiCase(found, name)) {
      return readHeaderAt(message.bytes, spots[i].lineStart(), p.end);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Header> firstHeader(const ParsedMessage& message, uint32_t part,
                                  std::string_view name) {
  return findFrom(message, part, 0, name);
}

std::optional<Header> partHeader(const ParsedMessage& message, uint32_t part, PartHeader which) {
  const Part& p = message.parts[part];
  switch (which) {
    case PartHeader::ContentType:
      if (p.contentTypeHeader == 0) return std::nullopt;
      if (p.contentTypeHeader < Part::kFarHeader) {
        const HeaderSpot& spot = message.headers[p.firstHeader + p.contentTypeHeader - 1];
        return readHeaderAt(message.bytes, spot.lineStart(), p.end);
      }
      // Too far down to be kept: the first one is no earlier than that.
      return findFrom(message, part, Part::kFarHeader - 1, "Content-Type");
    case PartHeader::ContentTransferEncoding:
      if (!p.hasTransferEncoding) return std::nullopt;
      return findFrom(message, part, 0, "Content-Transfer-Encoding");
    case PartHeader::ContentDisposition:
      if (!p.hasDisposition) return std::nullopt;
      return findFrom(message, part, 0, "Content-Disposition");
    case PartHeader::ContentId:
      if (!p.hasContentId) return std::nullopt;
      return findFrom(message, part, 0, "Content-ID");
  }
  return std::nullopt;
}

std::string headerName(const Header& header) {
  return text::latin1ToUtf8(header.name);
}

}  // namespace email::mime
