// The WHATWG decoders of the CJK multi-byte encodings, on the standard's index data.
// Malformed input becomes U+FFFD; an ASCII byte that ends a broken sequence is kept.
#pragma once

#include <string>
#include <string_view>

namespace email::mime {

// The number of bytes below 0x80 from `from` on (the decoders copy such runs at once).
size_t asciiRunLength(std::string_view bytes, size_t from);

// Each appends the UTF-8 text of `bytes` to `out`.
void decodeShiftJis(std::string_view bytes, std::string& out);
void decodeEucJp(std::string_view bytes, std::string& out);
void decodeIso2022Jp(std::string_view bytes, std::string& out);
void decodeEucKr(std::string_view bytes, std::string& out);
void decodeBig5(std::string_view bytes, std::string& out);
void decodeGb18030(std::string_view bytes, std::string& out);

}  // namespace email::mime
