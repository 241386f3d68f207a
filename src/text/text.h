// Small text helpers shared by the MIME layer, the reader and the tool.
//
// Every `std::string` here holds UTF-8 text unless a function says it holds bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// True for the Unicode White_Space code points: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool isWhiteSpace(char32_t c);

// Removes Unicode White_Space at both ends (or one end) of UTF-8 text. The input must be
// valid UTF-8; the result is a view into it.
std::string_view trim(std::string_view utf8);
std::string_view trimStart(std::string_view utf8);
std::string_view trimEnd(std::string_view utf8);

// True when `utf8` is empty after trimming.
bool isBlank(std::string_view utf8);

// Strict UTF-8 validation (no surrogates, no overlong forms, at most U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Length of the valid UTF-8 sequence that starts at `pos` (the rules of isValidUtf8), or 0.
size_t utf8SequenceLength(std::string_view bytes, size_t pos);

// True when no byte is above 0x7F.
bool isAscii(std::string_view bytes);

// Decodes bytes as UTF-8, replacing every maximal invalid subpart with U+FFFD (the
// WHATWG decoder's error handling).
std::string utf8Lossy(std::string_view bytes);

// One character per byte (byte value = code point).
std::string latin1ToUtf8(std::string_view bytes);

// Appends the UTF-8 encoding of `c` to `out`.
void appendUtf8(std::string& out, char32_t c);

// Decodes the code point at `pos` of valid UTF-8 text and advances `pos` past it.
char32_t nextCodePoint(std::string_view utf8, size_t& pos);

// Number of Unicode scalar values in valid UTF-8 text.
size_t countCodePoints(std::string_view utf8);

// The longest prefix of valid UTF-8 text holding at most `maxCodePoints` scalar values.
std::string_view prefixCodePoints(std::string_view utf8, size_t maxCodePoints);

// A decimal number: one or more digits and nothing else (no sign, no space) that fit in 64
// bits.
std::optional<uint64_t> parseDecimal(std::string_view text);

// ASCII-only case helpers: only A-Z / a-z change.
char asciiLower(char c);
std::string asciiLower(std::string_view s);
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool startsWith(std::string_view s, std::string_view prefix);

// Full Unicode lower-case mapping of UTF-8 text (root locale, context-sensitive rules such
// as Final_Sigma included). ASCII-only input takes a fast path.
std::string unicodeLower(std::string_view utf8);

// Full Unicode upper-case mapping of UTF-8 text (root locale); ASCII input takes a fast path.
std::string unicodeUpper(std::string_view utf8);

// The same mapping as a view: `utf8` itself when it is ASCII without capital letters (then
// the mapping changes nothing), otherwise the lower-cased text, which is put in `storage`.
std::string_view unicodeLowerView(std::string_view utf8, std::string& storage);

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string encodeBase64(std::string_view bytes);

}  // namespace text
