#include "corpus/locator.h"

#include "text/text.h"

namespace corpus {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char byte) {
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// Appends `text`, escaping bytes outside valid UTF-8 and those `special` picks.
template <typename Special>
void appendWithEscapes(std::string& out, std::string_view text, Special special) {
  size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      if (special(byte)) {
        appendEscaped(out, byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++pos;
      continue;
    }
    const size_t length = text::utf8SequenceLength(text, pos);
    if (length == 0) {
      appendEscaped(out, byte);
      ++pos;
    } else {
      out.append(text.substr(pos, length));
      pos += length;
    }
  }
}

bool isMemberSpecial(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == '%' || byte == '!' || byte == '#' || byte == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A decimal number without sign or leading zeros (except "0") that fits in 64 bits.
std::optional<uint64_t> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool isLocatorStart(char c) {
  return c == '!' || c == '#';
}

}  // namespace

void appendMemberLocator(std::string& name, std::string_view memberPath, uint64_t occurrence) {
  name += '!';
  appendWithEscapes(name, memberPath, isMemberSpecial);
  if (occurrence > 1) {
    name += '~';
    name += std::to_string(occurrence);
  }
}

void appendMboxLocator(std::string& name, uint64_t number, uint64_t offset) {
  name += '#';
  name += std::to_string(number);
  name += '@';
  name += std::to_string(offset);
}

void appendWalkedPath(std::string& name, std::string_view path) {
  appendWithEscapes(name, path, [](unsigned char) { return false; });
}

void appendLocators(std::string& name, const std::vector<Locator>& locators) {
  for (const Locator& locator : locators) {
    if (locator.kind == Locator::Kind::Member) {
      appendMemberLocator(name, locator.member, locator.occurrence);
    } else {
      appendMboxLocator(name, locator.number, locator.offset);
    }
  }
}

std::optional<std::vector<Locator>> parseLocators(std::string_view text) {
  std::vector<Locator> locators;
  size_t pos = 0;
  while (pos < text.size()) {
    Locator locator;
    const char kind = text[pos++];
    if (kind == '#') {
      locator.kind = Locator::Kind::MboxMessage;
      const size_t at = text.find('@', pos);
      if (at == std::string_view::npos) return std::nullopt;
      size_t end = at + 1;
      while (end < text.size() && !isLocatorStart(text[end])) ++end;
      const auto number = parseNumber(text.substr(pos, at - pos));
      const auto offset = parseNumber(text.substr(at + 1, end - at - 1));
      if (!number || !offset || *number == 0) return std::nullopt;
      locator.number = *number;
      locator.offset = *offset;
      pos = end;
    } else if (kind == '!') {
      size_t end = pos;
      while (end < text.size() && !isLocatorStart(text[end]) && text[end] != '~') ++end;
      const std::string_view escaped = text.substr(pos, end - pos);
      if (escaped.empty()) return std::nullopt;
      for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '%') {
          locator.member += escaped[i];
          continue;
        }
        if (escaped.size() - i < 3) return std::nullopt;
        const int high = hexValue(escaped[i + 1]);
        const int low = hexValue(escaped[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        locator.member += static_cast<char>(high * 16 + low);
        i += 2;
      }
      pos = end;
      if (pos < text.size() && text[pos] == '~') {
        size_t stop = pos + 1;
        while (stop < text.size() && !isLocatorStart(text[stop])) ++stop;
        const auto occurrence = parseNumber(text.substr(pos + 1, stop - pos - 1));
        if (!occurrence || *occurrence < 2) return std::nullopt;
        locator.occurrence = *occurrence;
        pos = stop;
      }
    } else {
      return std::nullopt;
    }
    locators.push_back(std::move(locator));
  }
  return locators;
}

std::string unescapeWalkedPath(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && text.size() - i >= 3) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      // Only bytes outside ASCII are ever escaped in a walked path.
      if (high >= 8 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace corpus
