// Charset decoding: label (input up to the first LF) and bytes (the rest). The text is
// always UTF-8; unknown labels decode as Latin-1; UTF-8 labels agree with the lossy UTF-8
// decoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "email/mime/charset.h"
#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

bool startsWithBom(std::string_view bytes) {
  auto has = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
  return has("\xEF\xBB\xBF") || has("\xFF\xFE") || has("\xFE\xFF");
}

// The label as the WHATWG lookup compares it: ASCII white space trimmed, ASCII lower case.
std::string normalisedLabel(std::string_view label) {
  constexpr std::string_view kSpace = "\t\n\f\r ";
  size_t first = label.find_first_not_of(kSpace);
  if (first == label.npos) return {};
  size_t last = label.find_last_not_of(kSpace);
  return text::asciiLower(label.substr(first, last - first + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto input = fuzzcheck::splitAt(fuzzcheck::asView(data, size), '\n', 64);
  std::string_view label = input.head;
  std::string_view bytes = input.rest;

  std::string body = email::mime::decodeCharset(bytes, label);
  fuzzcheck::require(text::isValidUtf8(body), "body text is UTF-8");
  auto word = email::mime::decodeCharsetNoBom(bytes, label);
  fuzzcheck::require(!word || text::isValidUtf8(*word), "encoded-word text is UTF-8");
  bool known = email::mime::isKnownBodyCharset(label);
  if (!known) {
    fuzzcheck::require(body == text::latin1ToUtf8(bytes), "an unknown label reads Latin-1");
    fuzzcheck::require(!word, "an unknown label is unknown to encoded words as well");
  }
  std::string normalised = normalisedLabel(label);
  if (normalised == "utf-8" || normalised == "utf8") {
    std::string lossy = text::utf8Lossy(bytes);
    fuzzcheck::require(word && *word == lossy, "UTF-8 without BOM handling is lossy UTF-8");
    if (!startsWithBom(bytes)) {
      fuzzcheck::require(body == lossy, "UTF-8 body text is lossy UTF-8");
    }
  }
  return 0;
}
