// Content-Transfer-Encoding decoding: permissive MIME base64, robust quoted-printable, and
// the selection by the part's first Content-Transfer-Encoding header.
#include "email/mime/transfer_encoding.h"

#include <array>
#include <cstdint>

#include "email/mime/mime.h"
#include "text/text.h"

namespace email::mime {
namespace {

constexpr uint8_t kNotBase64 = 0xFF;

constexpr std::array<uint8_t, 256> makeBase64Values() {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kNotBase64;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) values[static_cast<uint8_t>(alphabet[i])] = i;
  return values;
}
constexpr std::array<uint8_t, 256> kBase64Values = makeBase64Values();

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isQuotedPrintableKept(unsigned char c) {
  return c == '\t' || c == '\r' || c == '\n' || (c >= 0x20 && c <= 0x7E);
}

// Decodes one line of quoted-printable (already filtered and trimmed at its end). Returns
// true when the line ends in a soft break.
bool decodeQuotedPrintableLine(std::string_view line, std::string& out) {
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c != '=') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 == line.size()) return true;  // "=" ends the line: soft break
    if (i + 2 == line.size()) {             // "=" and one character: both kept
      out.append(line.substr(i, 2));
      return false;
    }
    const int high = hexValue(line[i + 1]);
    const int low = hexValue(line[i + 2]);
    if (high >= 0 && low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
    } else {
      out.append(line.substr(i, 3));  // not an escape: all three characters kept
    }
    i += 3;
  }
  return false;
}

}  // namespace

std::optional<std::string> decodeBase64Mime(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  uint8_t block[4];
  size_t filled = 0;
  for (const char ch : text) {
    if (ch == '\r' || ch == '\n') continue;
    block[filled++] = static_cast<uint8_t>(ch);
    if (filled < 4) continue;
    filled = 0;
    // A block is 4 symbols, 3 symbols + "=", or 2 symbols + "==".
    size_t symbols = 4;
    if (block[3] == '=') symbols = block[2] == '=' ? 2 : 3;
    uint32_t bits = 0;
    for (size_t k = 0; k < symbols; ++k) {
      const uint8_t v = kBase64Values[block[k]];
      if (v == kNotBase64) return std::nullopt;
      bits |= static_cast<uint32_t>(v) << (18 - 6 * k);
    }
    out.push_back(static_cast<char>(bits >> 16));
    if (symbols >= 3) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (symbols == 4) out.push_back(static_cast<char>(bits & 0xFF));
  }
  if (filled != 0) return std::nullopt;
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  std::string filtered;
  filtered.reserve(text.size());
  for (const char ch : text) {
    if (isQuotedPrintableKept(static_cast<unsigned char>(ch))) filtered.push_back(ch);
  }
  std::string out;
  out.reserve(filtered.size());
  std::string_view rest = filtered;
  bool first = true;
  bool softBreak = false;
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (!first && !softBreak) out.append("\r\n");
    first = false;
    softBreak = decodeQuotedPrintableLine(line, out);
  }
  if (!filtered.empty() && filtered.back() == '\n' && !softBreak) out.append("\r\n");
  return out;
}

BodyBytes transferDecode(const Part& part) {
  BodyBytes result;
  result.view = part.body;
  const Header* header = firstHeader(part, "Content-Transfer-Encoding");
  if (header == nullptr) return result;
  // Lower-cased but not trimmed: "base64 " with a trailing blank is not recognised.
  const std::string encoding = text::asciiLower(headerValue(*header));
  if (encoding == "base64") {
    std::string compact;
    compact.reserve(part.body.size());
    for (const char ch : part.body) {
      if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\f' && ch != '\r') compact.push_back(ch);
    }
    std::optional<std::string> decoded = decodeBase64Mime(compact);
    if (!decoded) {
      result.ok = false;
      result.view = {};
      return result;
    }
    result.transformed = true;
    result.decoded = std::move(*decoded);
    result.view = {};
  } else if (encoding == "quoted-printable") {
    result.transformed = true;
    result.decoded = decodeQuotedPrintable(part.body);
    result.view = {};
  }
  return result;
}

}  // namespace email::mime
