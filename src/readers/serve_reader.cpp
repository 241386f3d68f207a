#include "readers/serve_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "email/reader.h"
#include "readers/protocol.h"
#include "record/record.h"

namespace readers {
namespace {

constexpr int kFailed = 101;

// Replies gathered beyond this size are written without waiting for the input to run dry.
constexpr size_t kFlushBytes = 64 * 1024;

// Bytes read from the input and not yet taken: a line, then the message that follows it.
// Grows only as bytes arrive, so a request that announces more than comes costs nothing.
class Input {
 public:
  explicit Input(int fd) : fd_(fd) {}

  bool holds(size_t count) const { return end_ - begin_ >= count; }

  // Reads until at least `count` bytes are held. Returns 0 when they are, -1 at the end of
  // the input, or errno.
  int fill(size_t count) {
    while (end_ - begin_ < count) {
      if (end_ == capacity_) makeRoom(count);
      const ssize_t n = ::read(fd_, data_.get() + end_, capacity_ - end_);
      if (n > 0) {
        end_ += static_cast<size_t>(n);
      } else if (n == 0) {
        return -1;
      } else if (errno != EINTR) {
        return errno;
      }
    }
    return 0;
  }

  std::string_view held() const { return {data_.get() + begin_, end_ - begin_}; }
  void take(size_t count) { begin_ += count; }

 private:
  static constexpr size_t kChunk = 64 * 1024;

  // Room to read into: the held bytes moved to the front, and the buffer doubled when they
  // fill most of it (never beyond what `count` needs by more than a chunk).
  void makeRoom(size_t count) {
    const size_t held = end_ - begin_;
    if (held + kChunk > capacity_) {
      const size_t wanted = count > SIZE_MAX - kChunk ? SIZE_MAX : count + kChunk;
      const size_t grown = std::max(held + kChunk, std::min(2 * capacity_, wanted));
      std::unique_ptr<char[]> larger(new char[grown]);
      if (held > 0) std::memcpy(larger.get(), data_.get() + begin_, held);
      data_ = std::move(larger);
      capacity_ = grown;
    } else {
      std::memmove(data_.get(), data_.get() + begin_, held);
    }
    begin_ = 0;
    end_ = held;
  }

  const int fd_;
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t begin_ = 0;
  size_t end_ = 0;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

int complain(int err, const std::string& what) {
  writeAll(err, "serve-reader: " + what + "\n");
  return kFailed;
}

std::string describe(std::string_view what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

Reply replyFor(std::string name, std::string_view bytes) {
  ventry::MessageRecord record;
  ventry::fillFromOutcome(record, email::readMessage(bytes));
  return replyOf(std::move(name), std::move(record));
}

}  // namespace

int serveReader(int in, int out, int err, std::string_view name, std::string_view version) {
  // Replies wait here while further requests are already in hand, and are written before
  // anything more is read (a read may wait for the tool, which may wait for them).
  std::string replies;
  appendHelloLine(replies, name, version);
  Input input(in);
  auto fill = [&](size_t count) {
    if (input.holds(count)) return 0;
    if (!replies.empty() && !writeAll(out, replies)) return errno != 0 ? errno : EIO;
    replies.clear();
    return input.fill(count);
  };
  LineParser parser;
  for (;;) {
    // The request line.
    size_t scanned = 0;
    size_t lineEnd = std::string_view::npos;
    while (lineEnd == std::string_view::npos) {
      const int status = fill(scanned + 1);
      if (status == -1 && input.held().empty()) return 0;
      if (status == -1) return complain(err, "input ends inside a request line");
      if (status != 0) return complain(err, describe("read or write", status));
      lineEnd = input.held().find('\n', scanned);
      scanned = input.held().size();
      if (std::min(lineEnd, scanned) > kMaxLineBytes) {
        return complain(err, "request line longer than 1 MiB");
      }
    }
    Parsed<Request> request = parser.request(input.held().substr(0, lineEnd));
    if (!request.value) return complain(err, request.error);
    input.take(lineEnd + 1);

    // The message.
    const int status = fill(request.value->bytes);
    if (status == -1) return complain(err, "input ends inside a message");
    if (status != 0) return complain(err, describe("read or write", status));
    const std::string_view bytes = input.held().substr(0, request.value->bytes);
    const Reply reply = replyFor(std::move(request.value->name), bytes);
    input.take(bytes.size());
    appendReplyLine(replies, reply);
    if (replies.size() >= kFlushBytes) {
      if (!writeAll(out, replies)) return complain(err, describe("write", errno));
      replies.clear();
    }
  }
}

}  // namespace readers
