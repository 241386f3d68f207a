// Whole-file reads of listed messages, and what makes an entry unreadable.
#pragma once

#include <string>
#include <string_view>

namespace corpus {

// Why an entry could not be read as a regular file: an errno value, or one of these.
inline constexpr int kReadOk = 0;
inline constexpr int kNotRegularFile = -1;  // a FIFO, device or socket
inline constexpr int kNulInPath = -2;       // the entry holds a NUL byte and names no file

// The description a record and a diagnostic give for `code` (the system's text for an errno
// value, "Not a regular file", "Path holds a NUL byte").
std::string describeReadError(int code);

// Reads from `fd` until end of file, appending to `out`; `sizeHint` is the expected size.
// Returns 0 or an errno value (then `out` keeps what was read).
int readAll(int fd, std::string& out, size_t sizeHint);

// Reads the regular file at `path` whole into `bytes` (reused between calls). Anything that
// is not a readable regular file (missing, directory, FIFO, device, no permission, a NUL in
// the path, a read error) leaves `bytes` empty and returns the reason. Never blocks on a
// FIFO.
int readMessageFile(std::string_view path, std::string& bytes);

}  // namespace corpus
