// Whole-file reads of listed messages, and what makes an entry unreadable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corpus {

// Why an entry could not be read as a regular file: an errno value, or one of these.
inline constexpr int kReadOk = 0;
inline constexpr int kNotRegularFile = -1;  // a FIFO, device or socket
inline constexpr int kNulInPath = -2;       // the entry holds a NUL byte and names no file
inline constexpr int kTooLarge = -3;        // larger than the caller's limit; not read
inline constexpr int kUnfinished = -4;      // read in part only: finish with readMessageFile

// The description a record and a diagnostic give for `code`: the system's text for an errno
// value, "Not a regular file", "Path holds a NUL byte", "Message larger than the memory
// limit".
std::string describeReadError(int code);

// A buffer for one message's bytes that keeps its memory between messages and is never
// cleared or filled with zeros before a read.
class FileBuffer {
 public:
  std::string_view view() const { return {data_.get(), size_}; }
  char* data() { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  void setSize(size_t size) { size_ = size; }
  // Makes room for at least `bytes`, keeping the first size() bytes.
  void reserve(size_t bytes);
  // Gives the memory back when it is above `keep` bytes (after an unusually large message).
  void shrinkTo(size_t keep);

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// Opens `path` for reading a message: the file descriptor (O_NONBLOCK, so that a FIFO never
// makes it wait), or -1 with `error` set when it is not a readable regular file (a NUL in the
// path, missing, a directory, a FIFO, device or socket, no permission). `size` gets the
// file's size.
int openMessageFile(std::string_view path, int& error, uint64_t& size);

// Reads from `fd` until end of file, appending to `out`; `sizeHint` is the expected size.
// Returns 0 or an errno value (then `out` keeps what was read).
int readAll(int fd, std::string& out, size_t sizeHint);

// Reads the regular file at `path` whole into `bytes`. Anything that is not a readable
// regular file (missing, directory, FIFO, device, no permission, a NUL in the path, a read
// error) leaves `bytes` empty and returns the reason; so does a file larger than `maxBytes`.
// Never blocks on a FIFO.
int readMessageFile(std::string_view path, FileBuffer& bytes, uint64_t maxBytes = UINT64_MAX);

// The same into a string.
int readMessageFile(std::string_view path, std::string& bytes);

}  // namespace corpus
