// Charset label lookup: the WHATWG Encoding Standard label table plus the extra aliases
// the reference library accepts (UTF-7, "iso8859_1" style names, Windows code page names).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace email::mime {

// The decoders a label can select. The single-byte encodings are contiguous, from
// Ibm866 to XUserDefined (their tables follow this order).
enum class Charset : uint8_t {
  Utf8,
  Ibm866,
  Iso8859_2,
  Iso8859_3,
  Iso8859_4,
  Iso8859_5,
  Iso8859_6,
  Iso8859_7,
  Iso8859_8,
  Iso8859_8I,
  Iso8859_10,
  Iso8859_13,
  Iso8859_14,
  Iso8859_15,
  Iso8859_16,
  Koi8R,
  Koi8U,
  Macintosh,
  Windows874,
  Windows1250,
  Windows1251,
  Windows1252,
  Windows1253,
  Windows1254,
  Windows1255,
  Windows1256,
  Windows1257,
  Windows1258,
  XMacCyrillic,
  XUserDefined,
  Gb18030,  // GBK labels too: the decoders are identical
  Big5,
  EucJp,
  Iso2022Jp,
  ShiftJis,
  EucKr,
  Replacement,
  Utf16Be,
  Utf16Le,
  Utf7,
};

inline constexpr bool isSingleByte(Charset c) {
  return c >= Charset::Ibm866 && c <= Charset::XUserDefined;
}

// Looks a label up: TAB, LF, FF, CR and SP are stripped at both ends, ASCII letters are
// lower-cased, then the label must match a known label exactly. The "replacement" labels
// (iso-2022-kr, hz-gb-2312, ...) give Charset::Replacement.
std::optional<Charset> lookupCharsetLabel(std::string_view label);

// The encoding's canonical name ("UTF-8", "Shift_JIS", "windows-1252", ...).
std::string_view charsetName(Charset charset);

}  // namespace email::mime
