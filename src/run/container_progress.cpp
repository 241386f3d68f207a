#include "run/container_progress.h"

#include <sys/stat.h>

#include <string>

#include "corpus/list_file.h"

namespace run {

uint64_t listedFileBytes(std::span<const std::string_view> entries, std::string_view root) {
  uint64_t total = 0;
  for (const std::string_view entry : entries) {
    const std::string path = corpus::joinPath(root, entry);
    struct stat info {};
    if (path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0 &&
        S_ISREG(info.st_mode)) {
      total += static_cast<uint64_t>(info.st_size);
    }
  }
  return total;
}

corpus::ExpandProgress progressInto(Console& console) {
  corpus::ExpandProgress progress;
  progress.found = [&console](uint64_t bytes) { console.bytesFound(bytes); };
  progress.read = [&console](uint64_t bytes) { console.bytesRead(bytes); };
  return progress;
}

}  // namespace run
