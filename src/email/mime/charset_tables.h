// Decoding tables (WHATWG index data) of the single-byte and the CJK encodings.
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

// Two-byte indexes of the CJK encodings, by the WHATWG pointer; 0 marks an unmapped
// pointer. kJis0208Index includes the Shift_JIS extension rows (11280 pointers).
inline constexpr size_t kJis0208Size = 11280;
inline constexpr size_t kJis0212Size = 8836;
inline constexpr size_t kEucKrSize = 23940;
inline constexpr size_t kGb18030Size = 23940;
inline constexpr size_t kBig5Size = 19782;
extern const uint16_t kJis0208Index[kJis0208Size];
extern const uint16_t kJis0212Index[kJis0212Size];
extern const uint16_t kEucKrIndex[kEucKrSize];
extern const uint16_t kGb18030Index[kGb18030Size];
extern const uint32_t kBig5Index[kBig5Size];

// The gb18030 four-byte ranges (pointer 7457, U+E7C7, included as its own range).
struct Gb18030Range {
  uint32_t pointer;
  uint32_t codePoint;
};
inline constexpr size_t kGb18030RangeCount = 208;
extern const Gb18030Range kGb18030Ranges[kGb18030RangeCount];

}  // namespace email::mime
