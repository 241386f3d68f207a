// The header block of one part: the header lines up to the first empty line.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "email/mime/mime.h"

namespace email::mime {

inline constexpr std::string_view kLoneCrError =
    "Headers were followed by an unexpected lone CR character!";
inline constexpr std::string_view kLeadingSpaceError =
    "Header cannot start with a space; it is likely an overhanging line from a previous header";

struct HeaderBlockEnd {
  size_t bodyStart = 0;    // offset of the first body byte in the message
  std::string_view error;  // the rejection text, empty when the block was read
};

// Reads the header block of the part [begin, end) of `message`, appending where each header
// starts to `headers`. Only an empty line ("\n" or "\r\n") ends the block; the end of the
// part ends it too (the body is then empty). On a rejection `headers` may hold part of the
// block.
HeaderBlockEnd readHeaderBlock(std::string_view message, size_t begin, size_t end,
                               std::vector<HeaderSpot>& headers);

// The header whose line starts at `lineStart` of a part that ends at `partEnd`, read again
// as the block reader read it.
Header readHeaderAt(std::string_view message, size_t lineStart, size_t partEnd);

}  // namespace email::mime
