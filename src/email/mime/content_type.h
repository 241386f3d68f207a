// Content-Type and Content-Disposition values: the leading word and the parameter map
// (RFC 2045 parameters with the RFC 2231 charset-encoded values and continuations merged).
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The Content-Type of a part with these headers. Without a Content-Type header the media
// type is "text/plain", or "message/rfc822" for a direct child of a multipart/digest.
ContentType parseContentType(const std::vector<Header>& headers, bool digestChild);

}  // namespace email::mime
