// Content-Type and Content-Disposition parameters (splitting, quotes, RFC 2231 segments and
// charset-encoded values). Values without RFC 2231 or encoded-word syntax are compared with
// a plain re-statement of the splitting rules.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

struct Expected {
  std::string first;
  email::mime::ParamMap params;
};

Expected splitParameters(std::string_view value) {
  Expected out;
  size_t start = 0;
  bool firstPiece = true;
  while (true) {
    size_t end = value.find(';', start);
    std::string_view piece = value.substr(start, end == value.npos ? value.npos : end - start);
    if (firstPiece) {
      out.first = text::unicodeLower(text::trim(piece));
      firstPiece = false;
    } else if (size_t eq = piece.find('='); eq != piece.npos) {
      std::string key = text::unicodeLower(text::trim(piece.substr(0, eq)));
      std::string_view val = text::trim(piece.substr(eq + 1));
      if (text::countCodePoints(val) >= 2 && val.front() == '"' && val.back() == '"') {
        val = val.substr(1, val.size() - 2);
      }
      out.params[key] = std::string(val);
    }
    if (end == value.npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto value = fuzzcheck::asView(data, size);
  std::string message = "Content-Type: ";
  message.append(value);
  message += "\nContent-Disposition: ";
  message.append(value);
  message += "\n\nbody\n";
  auto parsed = email::mime::parseMessage(message);
  fuzzcheck::checkParsedMessage(message, parsed);
  if (!parsed.ok()) return 0;
  auto disposition = email::mime::contentDisposition(parsed, 0);

  bool plain = text::isValidUtf8(value) && value.find_first_of("\r\n*") == value.npos &&
               value.find("=?") == value.npos;
  if (!plain || email::mime::headerCount(parsed, 0) != 2) return 0;
  auto expected = splitParameters(text::trimStart(value));
  const email::mime::ContentType type = email::mime::contentType(parsed, 0);
  fuzzcheck::require(type.mimeType == expected.first, "media type is the first piece");
  fuzzcheck::require(type.params == expected.params, "Content-Type parameters");
  auto charset = expected.params.find("charset");
  fuzzcheck::require(type.charset == (charset == expected.params.end() ? std::string("us-ascii")
                                                                       : charset->second),
                     "charset parameter or us-ascii");
  fuzzcheck::require(disposition.params == expected.params, "Content-Disposition parameters");
  using email::mime::DispositionKind;
  DispositionKind kind = expected.first == "inline"       ? DispositionKind::Inline
                         : expected.first == "attachment" ? DispositionKind::Attachment
                         : expected.first == "form-data"  ? DispositionKind::FormData
                                                          : DispositionKind::Extension;
  fuzzcheck::require(disposition.kind == kind, "disposition kind");
  fuzzcheck::require(kind != DispositionKind::Extension || disposition.extension == expected.first,
                     "extension word");
  return 0;
}
