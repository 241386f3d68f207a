#include "email/report_attachment.h"

#include <string>

#include "email/mime/mime.h"
#include "text/text.h"

namespace email {
namespace {

bool isBase64Char(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

// The body without any white space, or nothing as soon as it is clear that the compact text
// cannot qualify (a character outside the base64 alphabet, or too long). Either way the
// result is "no attachment", so stopping early changes nothing but the cost. The body is
// checked and counted first, without copying, since most bodies fail within their first
// words; only a qualifying body is copied.
std::optional<std::string> compactBase64(std::string_view body) {
  size_t kept = 0;
  size_t pos = 0;
  while (pos < body.size()) {
    const auto byte = static_cast<unsigned char>(body[pos]);
    char32_t c = byte;
    if (byte < 0x80) {
      ++pos;
      // ASCII white space is TAB..CR and SP; the rest of the test needs no call.
      if ((byte >= 0x09 && byte <= 0x0D) || byte == 0x20) continue;
    } else {
      c = text::nextCodePoint(body, pos);
      if (text::isWhiteSpace(c)) continue;
    }
    if (!isBase64Char(c)) return std::nullopt;
    if (kept == kReportMaxChars) return std::nullopt;
    ++kept;
  }
  if (kept < kReportMinChars) return std::nullopt;
  // Every character kept is ASCII; white space is all that is left out.
  std::string compact;
  compact.reserve(kept);
  pos = 0;
  while (pos < body.size()) {
    const size_t at = pos;
    const char32_t c = text::nextCodePoint(body, pos);
    if (!text::isWhiteSpace(c)) compact += body[at];
  }
  return compact;
}

bool startsWithBytes(std::string_view bytes, std::string_view signature) {
  return bytes.substr(0, signature.size()) == signature;
}

}  // namespace

std::optional<Attachment> reportAttachmentFromBody(std::string_view body) {
  if (body.size() < kReportMinChars) return std::nullopt;
  const auto compact = compactBase64(body);
  if (!compact) return std::nullopt;
  const auto decoded = mime::decodeBase64Strict(*compact);
  if (!decoded || decoded->size() < 4 || decoded->size() > kInlineCap) return std::nullopt;

  Attachment attachment;
  if (startsWithBytes(*decoded, std::string_view("PK\x03\x04", 4)) ||
      startsWithBytes(*decoded, std::string_view("PK\x05\x06", 4))) {
    attachment.filename = "report.zip";
    attachment.contentType = "application/zip";
  } else if (startsWithBytes(*decoded, "\x1F\x8B")) {
    attachment.filename = "report.gz";
    attachment.contentType = "application/gzip";
  } else {
    return std::nullopt;
  }
  attachment.content = text::encodeBase64(*decoded);
  attachment.size = decoded->size();
  return attachment;
}

}  // namespace email
