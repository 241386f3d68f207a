#include "corpus/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corpus/message_file.h"
#include "text/text.h"

namespace corpus {

std::vector<std::string_view> splitListEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (next != end && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = text::trim(line);
    if (!line.empty() && line.front() != '#') entries.push_back(line);
    start = next;
  }
  return entries;
}

ListFile readListFile(const std::string& path) {
  ListFile result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.error = std::strerror(errno);
    return result;
  }
  struct stat info {};
  size_t hint = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) hint = static_cast<size_t>(info.st_size);
  const int error = readAll(fd, result.text, hint);
  ::close(fd);
  if (error != 0) {
    result.text.clear();
    result.error = std::strerror(error);
    return result;
  }
  if (!text::isValidUtf8(result.text)) {
    result.text.clear();
    result.error = "stream did not contain valid UTF-8";
    return result;
  }
  result.ok = true;
  return result;
}

std::string joinPath(std::string_view root, std::string_view entry) {
  if (!entry.empty() && entry.front() == '/') return std::string(entry);
  std::string path(root);
  if (!path.empty() && path.back() != '/') path += '/';
  path += entry;
  return path;
}

}  // namespace corpus
