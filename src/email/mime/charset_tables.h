// Decoding tables of the single-byte encodings (WHATWG index data).
#pragma once

#include <cstddef>
#include <cstdint>

namespace email::mime {

// The code points of bytes 0x80..0xFF; 0xFFFD where the byte is unmapped. Bytes below
// 0x80 are ASCII in every single-byte encoding.
struct SingleByteTable {
  uint16_t upper[128];
};

// One table per single-byte Charset, in enum order from Charset::Ibm866.
inline constexpr size_t kSingleByteCount = 29;
extern const SingleByteTable kSingleByteTables[kSingleByteCount];

}  // namespace email::mime
