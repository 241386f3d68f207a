// What the first bytes of a file or member say it is: an mbox, an archive or compressed
// stream (read through libarchive), or one message.
#pragma once

#include <string_view>

namespace corpus {

enum class ContentKind { Message, Mbox, Archive };

// Bytes needed at most to tell the kinds apart (the tar magic sits at offset 257).
inline constexpr size_t kDetectBytes = 512;

// By content, never by name: "From " at the start, or after lines of white space only
// within the first kDetectBytes, means mbox; the magic numbers of gzip, bzip2, xz, zstd,
// lz4, lzip and compress streams, and of tar (ustar), zip, 7-Zip, RAR, xar, cab and binary
// cpio archives, mean archive; anything else is a message.
ContentKind detectContent(std::string_view head);

}  // namespace corpus
