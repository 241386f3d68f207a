// Bytes to text by charset label: the label table, byte-order mark sniffing, the WHATWG
// decoders (own tables for single-byte encodings, UTF-16 and UTF-7; ICU for the CJK
// multi-byte encodings with the standard's error handling restored).
#include "email/mime/charset.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <cstdint>

#include "email/mime/charset_labels.h"
#include "email/mime/charset_tables.h"
#include "email/mime/mime.h"
#include "email/mime/utf7.h"
#include "text/text.h"

namespace email::mime {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendReplacement(std::string& out) {
  out.append("\xEF\xBF\xBD");
}

void decodeSingleByte(Charset charset, std::string_view bytes, std::string& out) {
  const SingleByteTable& table =
      kSingleByteTables[static_cast<size_t>(charset) - static_cast<size_t>(Charset::Ibm866)];
  for (const char ch : bytes) {
    const auto byte = static_cast<uint8_t>(ch);
    if (byte < 0x80) {
      out.push_back(ch);
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

// UTF-16: pairs joined; an unpaired surrogate or an odd final byte is U+FFFD.
void decodeUtf16(std::string_view bytes, bool bigEndian, std::string& out) {
  auto unitAt = [&](size_t i) -> char32_t {
    const auto first = static_cast<uint8_t>(bytes[i]);
    const auto second = static_cast<uint8_t>(bytes[i + 1]);
    return bigEndian ? (first << 8) | second : (second << 8) | first;
  };
  size_t i = 0;
  while (i + 1 < bytes.size()) {
    const char32_t unit = unitAt(i);
    i += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < bytes.size()) {
        const char32_t next = unitAt(i);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          text::appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
          i += 2;
          continue;
        }
      }
      appendReplacement(out);
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      appendReplacement(out);
    } else {
      text::appendUtf8(out, unit);
    }
  }
  if (i < bytes.size()) appendReplacement(out);
}

// ICU's name for the converter that decodes like the WHATWG decoder of `charset`.
const char* icuConverterName(Charset charset) {
  switch (charset) {
    case Charset::Gb18030:
      return "gb18030";
    case Charset::Big5:
      return "Big5-HKSCS";
    case Charset::EucJp:
      return "EUC-JP";
    case Charset::Iso2022Jp:
      return "ISO-2022-JP";
    case Charset::ShiftJis:
      return "windows-31j";
    case Charset::EucKr:
      return "windows-949";
    default:
      return nullptr;
  }
}

// Malformed or unmapped input becomes U+FFFD.
void U_CALLCONV replaceCallback(const void* /*context*/, UConverterToUnicodeArgs* args,
                                const char* /*codeUnits*/, int32_t /*length*/,
                                UConverterCallbackReason reason, UErrorCode* status) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  const UChar replacement = 0xFFFD;
  *status = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

void decodeWithIcu(Charset charset, std::string_view bytes, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(icuConverterName(charset), &status);
  if (U_FAILURE(status) || converter == nullptr) {
    // Cannot happen with Debian's ICU data; keep the text readable anyway.
    out.append(text::latin1ToUtf8(bytes));
    return;
  }
  ucnv_setToUCallBack(converter, replaceCallback, nullptr, nullptr, nullptr, &status);
  UChar buffer[1024];
  const char* source = bytes.data();
  const char* sourceEnd = bytes.data() + bytes.size();
  bool flushed = false;
  while (!flushed) {
    UChar* target = buffer;
    status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, buffer + 1024, &source, sourceEnd, nullptr, true, &status);
    const UChar* p = buffer;
    while (p < target) {
      char32_t c = *p++;
      if (c >= 0xD800 && c <= 0xDBFF && p < target && *p >= 0xDC00 && *p <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = kReplacement;
      }
      text::appendUtf8(out, c);
    }
    if (status != U_BUFFER_OVERFLOW_ERROR) flushed = true;
  }
  ucnv_close(converter);
}

void decodeAs(Charset charset, std::string_view bytes, std::string& out) {
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
    default:
      decodeWithIcu(charset, bytes, out);
      return;
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

std::optional<std::string> bodyText(const Part& part) {
  const BodyBytes body = transferDecode(part);
  if (!body.ok) return std::nullopt;
  return decodeCharset(body.bytes(), part.contentType.charset);
}

}  // namespace email::mime
