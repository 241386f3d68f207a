// Strict standard base64 as used for report attachments: canonical padding, zero trailing
// bits, nothing skipped.
#include <cstdint>

#include "email/mime/base64_alphabet.h"
#include "email/mime/mime.h"

namespace email::mime {

std::optional<std::string> decodeBase64Strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t start = 0; start < text.size(); start += 4) {
    const bool last = start + 4 == text.size();
    size_t symbols = 4;
    if (last && text[start + 3] == '=') symbols = text[start + 2] == '=' ? 2 : 3;
    uint32_t bits = 0;
    for (size_t k = 0; k < symbols; ++k) {
      const int v = base64Value(text[start + k]);
      if (v < 0) return std::nullopt;  // '=' before the final padding lands here too
      bits |= static_cast<uint32_t>(v) << (18 - 6 * k);
    }
    // The unused low bits of a padded group must be zero.
    if (symbols == 2 && (bits & 0xFFFF) != 0) return std::nullopt;
    if (symbols == 3 && (bits & 0xFF) != 0) return std::nullopt;
    out.push_back(static_cast<char>(bits >> 16));
    if (symbols >= 3) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (symbols == 4) out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

}  // namespace email::mime
