// The header block of one part: the header lines up to the first empty line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "email/mime/mime.h"

namespace email::mime {

inline constexpr std::string_view kLoneCrError =
    "Headers were followed by an unexpected lone CR character!";
inline constexpr std::string_view kLeadingSpaceError =
    "Header cannot start with a space; it is likely an overhanging line from a previous header";

struct HeaderBlock {
  std::vector<Header> headers;  // views into the parsed bytes
  size_t bodyStart = 0;         // offset of the first body byte
  std::string error;            // the rejection text, empty when the block was read
};

// Room reserved up front for the headers: a message's own header block holds a few dozen, a
// body part's only a few.
inline constexpr size_t kMessageHeaderRoom = 32;
inline constexpr size_t kBodyPartHeaderRoom = 4;

// Reads the header block at the start of `part`. Only an empty line ("\n" or "\r\n") ends the
// block; the end of the bytes ends it too (the body is then empty).
HeaderBlock parseHeaderBlock(std::string_view part, size_t expectedHeaders = kMessageHeaderRoom);

}  // namespace email::mime
