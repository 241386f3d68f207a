#include "corpus/detect.h"

#include <array>

#include "corpus/mbox.h"
#include "text/text.h"

namespace corpus {
namespace {

using text::startsWith;

bool isBzip2(std::string_view head) {
  using namespace std::string_view_literals;
  if (head.size() < 10 || !startsWith(head, "BZh") || head[3] < '1' || head[3] > '9') return false;
  const std::string_view block = head.substr(4, 6);
  return block == "\x31\x41\x59\x26\x53\x59"sv || block == "\x17\x72\x45\x38\x50\x90"sv;
}

bool isTar(std::string_view head) {
  using namespace std::string_view_literals;
  if (head.size() < 263) return false;
  const std::string_view magic = head.substr(257, 6);
  return magic == "ustar\0"sv || magic == "ustar "sv;
}

}  // namespace

ContentKind detectContent(std::string_view head) {
  using namespace std::string_view_literals;
  static constexpr std::array kMagic = {
      "\x1F\x8B\x08"sv,              // gzip (deflate)
      "\x1F\x9D"sv,                  // compress
      "\xFD\x37\x7A\x58\x5A\x00"sv,  // xz
      "\x28\xB5\x2F\xFD"sv,          // zstd
      "\x04\x22\x4D\x18"sv,          // lz4
      "LZIP\x01"sv,                  // lzip
      "PK\x03\x04"sv,                // zip
      "PK\x05\x06"sv,                // zip without members
      "PK\x07\x08PK\x03\x04"sv,      // split zip
      "\x37\x7A\xBC\xAF\x27\x1C"sv,  // 7-Zip
      "Rar!\x1A\x07"sv,              // RAR 4 and 5
      "xar!\x00\x1C"sv,              // xar
      "MSCF\x00\x00\x00\x00"sv,      // cab
      "\xC7\x71"sv,                  // binary cpio, little-endian
      "\x71\xC7"sv,                  // binary cpio, big-endian
  };
  for (std::string_view magic : kMagic) {
    if (startsWith(head, magic)) return ContentKind::Archive;
  }
  // Before "From ": a tar file starts with its first member's name.
  if (isBzip2(head) || isTar(head)) return ContentKind::Archive;
  // Some writers put lines of white space before the first separator. They are looked past
  // within the first kDetectBytes only, the bytes every caller has, so that a file is told
  // the same way wherever it is found.
  const std::string_view window = head.substr(0, kDetectBytes);
  if (startsWith(window.substr(blankLinesLength(window)), "From ")) return ContentKind::Mbox;
  return ContentKind::Message;
}

}  // namespace corpus
