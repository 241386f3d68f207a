// The standard base64 alphabet (RFC 4648) as a value table, shared by the transfer decoder,
// the strict decoder and UTF-7.
#pragma once

#include <array>
#include <cstdint>

namespace email::mime {

inline constexpr uint8_t kNotBase64 = 0xFF;

inline constexpr std::array<uint8_t, 256> kBase64Values = [] {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kNotBase64;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) values[static_cast<uint8_t>(alphabet[i])] = i;
  return values;
}();

// The value of a base64 symbol, or -1 for any other character.
inline int base64Value(char c) {
  const uint8_t v = kBase64Values[static_cast<uint8_t>(c)];
  return v == kNotBase64 ? -1 : v;
}

}  // namespace email::mime
