// Content-Type and Content-Disposition values: the leading word and the parameter map
// (RFC 2045 parameters with the RFC 2231 charset-encoded values and continuations merged);
// and the table of the parts' media types and charsets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "email/mime/mime.h"

namespace email::mime {

struct ParameterizedValue {
  std::string value;  // the text before the first ';', trimmed
  ParamMap params;
};

// Splits decoded header text at every ';' (quotes do not protect it). Pieces without '='
// are ignored; names are trimmed and lower-cased, values trimmed and stripped of one pair of
// enclosing double quotes; a later duplicate name wins. RFC 2231 values are then merged.
ParameterizedValue parseParameterizedValue(std::string_view decodedText);

// Whether a raw header value reads the same in place: printable ASCII, tabs and folds only
// (valid UTF-8), no "=?" (no encoded word) and no '*' (no RFC 2231 name), and no fold inside
// the leading value or a parameter's name or value. Its decoded text then differs from the
// raw value only in white space that parameter reading trims, and its parameters need no
// merging.
bool isPlainParameterText(std::string_view raw);

// For a plain value: the trimmed text before the first ';', and the parameter of this
// lower-case name as parseParameterizedValue gives it (the last such piece, trimmed and
// unquoted). White space here is blanks and line breaks.
std::string_view plainLeadingValue(std::string_view raw);
std::optional<std::string_view> findPlainParameter(std::string_view raw,
                                                   std::string_view lowerName);

// The Content-Type of a part whose first Content-Type header is `header` (null when it has
// none): without one the media type is "text/plain", or "message/rfc822" for a direct child
// of a multipart/digest. This is the full reading; the parse takes the in-place one for
// plain values, with the same outcome.
ContentType parseContentType(const Header* header, bool digestChild);

// What the parse keeps of a Content-Type header: the media type, the charset and the
// boundary parameters when present. Views into the raw value, or into the members below
// when the value had to be decoded.
struct TypeFacts {
  std::string_view mediaType;
  std::optional<std::string_view> charset;
  std::optional<std::string_view> boundary;
  bool typeParamsOnly = false;  // plain, with no parameter but charset and boundary
  std::string lowered;          // the media type when lower-casing changed it
  ContentType parsed;           // the full reading of a value that is not plain
};
// True when the value is plain (isPlainParameterText).
bool readTypeFacts(const Header& contentType, TypeFacts& facts);

// The type ids that stand for the defaults of a part without Content-Type.
inline constexpr uint32_t kPlainDefaultType = 0;
inline constexpr uint32_t kDigestDefaultType = 1;

// The id of this media type and charset (none: not declared), added to the table unless it
// is a default or the last one added. Texts inside `message` are kept as offsets.
uint32_t internType(TypeTable& table, std::string_view message, std::string_view mediaType,
                    std::optional<std::string_view> charset);

}  // namespace email::mime
