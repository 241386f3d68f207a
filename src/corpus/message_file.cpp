#include "corpus/message_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corpus {

std::string describeReadError(int code) {
  switch (code) {
    case kReadOk:
      return {};
    case kNotRegularFile:
      return "Not a regular file";
    case kNulInPath:
      return "Path holds a NUL byte";
    default:
      return std::strerror(code);
  }
}

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

int readMessageFile(std::string_view path, std::string& bytes) {
  bytes.clear();
  // A C path ends at its first NUL: such an entry would name some other file.
  if (path.find('\0') != std::string_view::npos) return kNulInPath;
  const std::string cPath(path);
  // O_NONBLOCK so that opening a FIFO without a writer does not wait; such files are
  // refused below anyway.
  const int fd = ::open(cPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info {};
  int error = kReadOk;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    error = kNotRegularFile;
  } else {
    error = readAll(fd, bytes, static_cast<size_t>(info.st_size));
  }
  if (error != kReadOk) bytes.clear();
  ::close(fd);
  return error;
}

}  // namespace corpus
