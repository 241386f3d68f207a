// Charset labels and decoding of bytes to text (WHATWG Encoding Standard label table, UTF-7,
// a few extra aliases), shared by body text, RFC 2047 encoded words and RFC 2231 values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace email::mime {

// Bytes to text for an RFC 2047 encoded word or an RFC 2231 parameter value: the label is
// looked up with the "replacement" labels counting as unknown; no byte-order mark sniffing
// (a BOM stays as U+FEFF); malformed input becomes U+FFFD. Empty optional when the label is
// unknown.
std::optional<std::string> decodeCharsetNoBom(std::string_view bytes, std::string_view label);

// True when the label is found by the body-text lookup (replacement labels included).
bool isKnownBodyCharset(std::string_view label);

}  // namespace email::mime
