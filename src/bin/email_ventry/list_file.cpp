#include "email_ventry/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/text.h"

namespace ventry {
namespace {

// Reads from `fd` until end of file, appending to `out`. Returns 0 or an errno value.
int readAll(int fd, std::string& out, size_t sizeHint) {
  size_t used = out.size();
  // One byte beyond the expected size, so that end of file shows without another resize.
  out.resize(used + (sizeHint < 4096 ? 4096 : sizeHint + 1));
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n > 0) {
      used += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int error = errno;
    out.resize(used);
    return error;
  }
  out.resize(used);
  return 0;
}

}  // namespace

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

void readMessageFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  // O_NONBLOCK so that opening a pipe without a writer does not wait; such files are
  // refused below anyway.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return;
  }
  if (readAll(fd, bytes, static_cast<size_t>(info.st_size)) != 0) bytes.clear();
  ::close(fd);
}

}  // namespace ventry
