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
// result is "no attachment", so stopping early changes nothing but the cost.
std::optional<std::string> compactBase64(std::string_view body) {
  std::string compact;
  size_t pos = 0;
  while (pos < body.size()) {
    const char32_t c = text::nextCodePoint(body, pos);
    if (text::isWhiteSpace(c)) continue;
    if (!isBase64Char(c)) return std::nullopt;
    if (compact.size() == kReportMaxChars) return std::nullopt;
    compact += static_cast<char>(c);
  }
  if (compact.size() < kReportMinChars) return std::nullopt;
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
