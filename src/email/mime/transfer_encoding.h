// Content-Transfer-Encoding decoders with the acceptance rules of the reference parser.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "email/mime/mime.h"

namespace email::mime {

// The encoding a Content-Transfer-Encoding header selects: its decoded value, lower-cased
// but not trimmed ("base64 " with a trailing blank is not recognised).
TransferEncoding transferEncodingOf(const Header& header);

// Permissive MIME base64: CR and LF are ignored anywhere; the remaining characters must
// form whole 4-character blocks, a block may end in "=" or "==" padding and be followed by
// more blocks, trailing bits of a padded block are ignored, anything else fails. The caller
// removes other white space first where that applies (bodies, not encoded words).
std::optional<std::string> decodeBase64Mime(std::string_view text);

// Quoted-printable in the reference's robust mode: never fails; drops bytes outside TAB,
// CR, LF and 0x20..0x7E, trims trailing white space per line, writes every line break as
// CRLF.
std::string decodeQuotedPrintable(std::string_view text);

}  // namespace email::mime
