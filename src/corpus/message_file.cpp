#include "corpus/message_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corpus {

int openMessageFile(std::string_view path, int& error, uint64_t& size) {
  // A C path ends at its first NUL: such an entry would name some other file.
  if (path.find('\0') != std::string_view::npos) {
    error = kNulInPath;
    return -1;
  }
  const std::string cPath(path);
  // O_NONBLOCK so that opening a FIFO without a writer does not wait; such files are
  // refused below anyway.
  const int fd = ::open(cPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    error = kNotRegularFile;
  } else {
    error = kReadOk;
    size = static_cast<uint64_t>(info.st_size);
    return fd;
  }
  ::close(fd);
  return -1;
}

std::string describeReadError(int code) {
  switch (code) {
    case kReadOk:
      return {};
    case kNotRegularFile:
      return "Not a regular file";
    case kNulInPath:
      return "Path holds a NUL byte";
    case kTooLarge:
      return "Message larger than the memory limit";
    default:
      return std::strerror(code);
  }
}

void FileBuffer::reserve(size_t bytes) {
  if (bytes <= capacity_) return;
  size_t grown = capacity_ < 4096 ? 4096 : capacity_;
  while (grown < bytes) grown = grown > SIZE_MAX / 2 ? bytes : grown * 2;
  std::unique_ptr<char[]> larger(new char[grown]);
  if (size_ != 0) std::memcpy(larger.get(), data_.get(), size_);
  data_ = std::move(larger);
  capacity_ = grown;
}

void FileBuffer::shrinkTo(size_t keep) {
  if (capacity_ <= keep) return;
  data_.reset(keep == 0 ? nullptr : new char[keep]);
  capacity_ = keep;
  size_ = 0;
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

int readMessageFile(std::string_view path, FileBuffer& bytes, uint64_t maxBytes) {
  bytes.setSize(0);
  int error = kReadOk;
  uint64_t size = 0;
  const int fd = openMessageFile(path, error, size);
  if (fd < 0) return error;
  if (size > maxBytes) {
    ::close(fd);
    return kTooLarge;
  }
  // One byte beyond the expected size, so that end of file shows without another read
  // into a larger buffer; files that grew, or report no size (some of /proc), grow it.
  bytes.reserve(static_cast<size_t>(size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.capacity()) {
      bytes.setSize(used);  // what reserve() keeps
      bytes.reserve(used + 1);
    }
    const ssize_t n = ::read(fd, bytes.data() + used, bytes.capacity() - used);
    if (n > 0) {
      used += static_cast<size_t>(n);
      if (used > maxBytes) {
        error = kTooLarge;
        break;
      }
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    error = errno;
    break;
  }
  ::close(fd);
  bytes.setSize(error == kReadOk ? used : 0);
  return error;
}

int readMessageFile(std::string_view path, std::string& bytes) {
  bytes.clear();
  int error = kReadOk;
  uint64_t size = 0;
  const int fd = openMessageFile(path, error, size);
  if (fd < 0) return error;
  error = readAll(fd, bytes, static_cast<size_t>(size));
  if (error != kReadOk) bytes.clear();
  ::close(fd);
  return error;
}

}  // namespace corpus
