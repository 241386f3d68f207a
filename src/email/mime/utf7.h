// UTF-16 and UTF-7 (RFC 2152) decoding with the WHATWG error handling.
#pragma once

#include <string>
#include <string_view>

namespace email::mime {

// Appends the text of UTF-7 bytes to `out` (UTF-8). Never fails: bytes >= 0x80, a "+"
// without a base64 run and undecodable runs give U+FFFD.
void decodeUtf7(std::string_view bytes, std::string& out);

// Appends the text of UTF-16 bytes to `out` (UTF-8): surrogate pairs joined; an unpaired
// surrogate or an odd final byte is U+FFFD.
void decodeUtf16(std::string_view bytes, bool bigEndian, std::string& out);

}  // namespace email::mime
