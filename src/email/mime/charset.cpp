// Bytes to text by charset label: the label table, byte-order mark sniffing, the WHATWG
// decoders on the standard's index data (single-byte tables, the CJK decoders), UTF-16
// and UTF-7.
#include "email/mime/charset.h"

#include <cstdint>

#include "email/mime/charset_labels.h"
#include "email/mime/charset_tables.h"
#include "email/mime/cjk_decoders.h"
#include "email/mime/mime.h"
#include "email/mime/utf7.h"
#include "text/text.h"

namespace email::mime {
namespace {

void appendReplacement(std::string& out) {
  out.append("\xEF\xBF\xBD");
}

void decodeSingleByte(Charset charset, std::string_view bytes, std::string& out) {
  const SingleByteTable& table =
      kSingleByteTables[static_cast<size_t>(charset) - static_cast<size_t>(Charset::Ibm866)];
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80) {
      const size_t length = asciiRunLength(bytes, i);
      out.append(bytes.substr(i, length));
      i += length - 1;
    } else {
      text::appendUtf8(out, table.upper[byte - 0x80]);
    }
  }
}

void decodeUtf8(std::string_view bytes, std::string& out) {
  if (text::isValidUtf8(bytes)) {
    out.append(bytes);
  } else {
    out.append(text::utf8Lossy(bytes));
  }
}

// Plain ASCII text is itself in every encoding but UTF-16, UTF-7 ('+'), ISO-2022-JP
// (escape sequences) and replacement.
bool isAsciiCompatible(Charset charset) {
  return charset != Charset::Utf16Be && charset != Charset::Utf16Le && charset != Charset::Utf7 &&
         charset != Charset::Iso2022Jp && charset != Charset::Replacement;
}

void decodeAs(Charset charset, std::string_view bytes, std::string& out) {
  const bool asciiCompatible = isAsciiCompatible(charset);
  if (asciiCompatible && asciiRunLength(bytes, 0) == bytes.size()) {
    out.append(bytes);
    return;
  }
  if (isSingleByte(charset)) {
    decodeSingleByte(charset, bytes, out);
    return;
  }
  switch (charset) {
    case Charset::Utf8:
      decodeUtf8(bytes, out);
      return;
    case Charset::Utf16Be:
      decodeUtf16(bytes, true, out);
      return;
    case Charset::Utf16Le:
      decodeUtf16(bytes, false, out);
      return;
    case Charset::Utf7:
      decodeUtf7(bytes, out);
      return;
    case Charset::Replacement:
      if (!bytes.empty()) appendReplacement(out);
      return;
    case Charset::ShiftJis:
      decodeShiftJis(bytes, out);
      return;
    case Charset::EucJp:
      decodeEucJp(bytes, out);
      return;
    case Charset::Iso2022Jp:
      decodeIso2022Jp(bytes, out);
      return;
    case Charset::EucKr:
      decodeEucKr(bytes, out);
      return;
    case Charset::Big5:
      decodeBig5(bytes, out);
      return;
    case Charset::Gb18030:
      decodeGb18030(bytes, out);
      return;
    default:
      return;  // the single-byte encodings are handled above
  }
}

}  // namespace

std::optional<std::string> decodeCharsetNoBom(std::string_view bytes, std::string_view label) {
  const std::optional<Charset> charset = lookupCharsetLabel(label);
  if (!charset || *charset == Charset::Replacement) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  decodeAs(*charset, bytes, out);
  return out;
}

bool isKnownBodyCharset(std::string_view label) {
  return lookupCharsetLabel(label).has_value();
}

std::string decodeCharset(std::string_view bytes, std::string_view label) {
  const std::optional<Charset> charset = lookupCharsetLabel(label);
  if (!charset) {
    // Deliberate difference from the reference library, which keeps ASCII and turns every
    // byte >= 0x80 into U+FFFD for an unknown or empty label: we decode such text as
    // ISO-8859-1 (one character per byte), so no byte is lost.
    return text::latin1ToUtf8(bytes);
  }
  std::string out;
  out.reserve(bytes.size());
  // A byte-order mark overrides the label and is removed.
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    decodeUtf8(bytes.substr(3), out);
  } else if (bytes.starts_with("\xFF\xFE")) {
    decodeUtf16(bytes.substr(2), false, out);
  } else if (bytes.starts_with("\xFE\xFF")) {
    decodeUtf16(bytes.substr(2), true, out);
  } else {
    decodeAs(*charset, bytes, out);
  }
  return out;
}

bool decodesToText(std::string_view bytes, std::string_view label) {
  if (bytes.empty()) return false;
  const std::optional<Charset> charset = lookupCharsetLabel(label);
  // An unknown label decodes one character per byte. In an ASCII-compatible encoding a
  // first byte below 0x80 is a character of its own (and rules out a byte-order mark).
  if (!charset) return true;
  if (isAsciiCompatible(*charset) && static_cast<uint8_t>(bytes.front()) < 0x80) return true;
  return !decodeCharset(bytes, label).empty();
}

std::optional<std::string> bodyText(const ParsedMessage& message, uint32_t part) {
  const BodyBytes body = transferDecode(message, part);
  if (!body.ok) return std::nullopt;
  return decodeCharset(body.bytes(), charset(message, part));
}

}  // namespace email::mime
