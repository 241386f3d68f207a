#include "readers/coprocess_reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "readers/child_process.h"
#include "text/text.h"

namespace readers {
namespace {

// How long a reader that closed its input or output gets to end, so that the message's
// failure can name its exit status rather than the closed descriptor.
constexpr auto kEndGrace = std::chrono::milliseconds(500);

// The longest wait in one poll: a stop request is seen at least this often.
constexpr auto kPollSlice = std::chrono::milliseconds(100);

constexpr size_t kNoLine = std::string::npos;

// Pieces (a request line, a message's bytes) gathered into one write.
constexpr size_t kPiecesPerWrite = 64;

std::string validUtf8(std::string_view text) {
  return text::isValidUtf8(text) ? std::string(text) : text::utf8Lossy(text);
}

class CoprocessReader final : public Reader {
 public:
  explicit CoprocessReader(const CoprocessOptions& options) : options_(options) {}
  ~CoprocessReader() override { killChild(child_); }

  CoprocessReader(const CoprocessReader&) = delete;
  CoprocessReader& operator=(const CoprocessReader&) = delete;

  // Starts the child; what failed, or the empty string. Messages handed over to an earlier
  // child and not received are handed over to this one again, from their start.
  std::string spawn() {
    Spawn spawned = spawnShell(options_.command, options_.err);
    child_ = spawned.child;
    inputClosed_ = false;
    outClosed_ = false;
    ended_ = false;
    input_.clear();
    scanned_ = 0;
    lineEnd_ = kNoLine;
    for (Message& message : sent_) message.written = 0;
    return spawned.error;
  }

  // Waits for the hello of the child just spawned. Verdict Read with the hello, Failed with
  // what went wrong, or Stopped.
  ReaderEnd awaitHello(Hello& hello) {
    deadline_ = Clock::now() + options_.timeout;
    ReaderEnd end = pump("hello", false);
    if (end.verdict != Verdict::Read) return end;
    Parsed<Hello> parsed = parser_.hello(line());
    takeLine();
    if (!parsed.value) return {Verdict::Failed, std::move(parsed.error)};
    hello = std::move(*parsed.value);
    return end;
  }

  void send(std::string_view name, std::string_view bytes) override {
    Message& message = sent_.emplace_back();
    appendRequestLine(message.request, name, bytes.size());
    message.name = validUtf8(name);
    message.body = bytes;
    if (sent_.size() > 1) {
      // The reader is busy with an earlier message: this one goes with the next write.
      return;
    }
    deadline_ = Clock::now() + options_.timeout;
    // As much as the socket takes now; the rest goes while waiting for the reply.
    if (running()) inputClosed_ = inputClosed_ || !writeSome();
  }

  void readParsed(const email::mime::ParsedMessage&, ventry::MessageRecord&) override {}

  ReaderEnd receive(ventry::MessageRecord& record) override {
    ReaderEnd end;
    if (!running()) {
      end = {stopped_ ? Verdict::Stopped : Verdict::Lost, lost_};
    } else {
      end = pump("reply", true);
    }
    if (end.verdict == Verdict::Read) {
      Parsed<Reply> parsed = parser_.reply(line());
      takeLine();
      if (!parsed.value) {
        end = {Verdict::Failed, std::move(parsed.error)};
      } else if (parsed.value->name != sent_.front().name) {
        end = {Verdict::Failed, "reply names " + quotedForDiagnostic(parsed.value->name) +
                                    ", not " + quotedForDiagnostic(sent_.front().name)};
      } else {
        fillRecord(record, std::move(*parsed.value));
      }
    }
    sent_.pop_front();
    if (end.verdict == Verdict::Read) {
      // The next message's time starts now.
      deadline_ = Clock::now() + options_.timeout;
      return end;
    }
    killChild(child_);
    if (end.verdict == Verdict::Failed) end.text = "Reader: " + end.text;
    return end;
  }

  void close(bool wait) override {
    if (wait && child_.pid > 0) {
      // End of its input ends the run for the reader; it gets its timeout to exit, while
      // whatever it still writes is read and dropped.
      ::close(child_.in);
      child_.in = -1;
      const Clock::time_point deadline = Clock::now() + options_.timeout;
      while (!endOf(child_) && !stopRequested()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        pollfd watch[2] = {{child_.pidfd, POLLIN, 0}, {outClosed_ ? -1 : child_.out, POLLIN, 0}};
        ::poll(watch, 2, sliceMs(deadline - now, child_.pidfd >= 0 ? kPollSlice : kPollSlice / 10));
        char drop[4096];
        while (!outClosed_) {
          const ssize_t n = ::read(child_.out, drop, sizeof drop);
          if (n == 0) outClosed_ = true;
          if (n <= 0 && !(n < 0 && errno == EINTR)) break;
        }
      }
    }
    killChild(child_);
    sent_.clear();
  }

 private:
  // A message handed over and not yet received.
  struct Message {
    std::string request;  // its request line
    std::string_view body;
    std::string name;    // as the request carries it
    size_t written = 0;  // bytes of the request line, then of the body, written
    size_t size() const { return request.size() + body.size(); }
  };

  static std::string quoted(std::string_view text) {
    std::string out;
    ventry::appendJsonString(out, text);
    return out;
  }

  static int sliceMs(Clock::duration left, std::chrono::milliseconds slice) {
    const auto wait = std::min<Clock::duration>(left, slice);
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
  }

  bool stopRequested() const {
    return options_.stopRequested != nullptr && options_.stopRequested();
  }

  // Whether a reader runs, starting a new one (with its hello) after a failure. When that
  // fails, every later message is lost (or stopped, on a stop request).
  bool running() {
    if (child_.pid > 0) return true;
    if (!lost_.empty() || stopped_) return false;
    std::string what = spawn();
    ReaderEnd started{Verdict::Failed, what};
    Hello hello;
    if (what.empty()) started = awaitHello(hello);
    if (started.verdict == Verdict::Read) {
      deadline_ = Clock::now() + options_.timeout;
      inputClosed_ = !writeSome();
      return true;
    }
    killChild(child_);
    if (started.verdict == Verdict::Stopped) {
      stopped_ = true;
    } else {
      lost_ = "cannot start reader " + quoted(options_.command) + " again: " + started.text;
    }
    return false;
  }

  // Writes what the socket takes of the messages handed over, in order, several in one call;
  // false when the reader's input is closed.
  bool writeSome() {
    for (;;) {
      iovec pieces[kPiecesPerWrite];
      size_t count = 0;
      for (const Message& message : sent_) {
        if (message.written == message.size()) continue;
        if (count + 2 > kPiecesPerWrite) break;
        const std::string& request = message.request;
        if (message.written < request.size()) {
          pieces[count++] = {const_cast<char*>(request.data()) + message.written,
                             request.size() - message.written};
        }
        const size_t bodyDone =
            message.written > request.size() ? message.written - request.size() : 0;
        if (bodyDone < message.body.size()) {
          pieces[count++] = {const_cast<char*>(message.body.data()) + bodyDone,
                             message.body.size() - bodyDone};
        }
      }
      if (count == 0) return true;
      msghdr header{};
      header.msg_iov = pieces;
      header.msg_iovlen = count;
      const ssize_t n = ::sendmsg(child_.in, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      auto left = static_cast<size_t>(n);
      for (Message& message : sent_) {
        const size_t taken = std::min(left, message.size() - message.written);
        message.written += taken;
        left -= taken;
        if (left == 0) break;
      }
    }
  }

  bool allWritten() const { return sent_.empty() || sent_.back().written == sent_.back().size(); }

  // Looks for the end of the line in what has come in.
  void findLine() {
    if (lineEnd_ != kNoLine) return;
    const void* end = std::memchr(input_.data() + scanned_, '\n', input_.size() - scanned_);
    if (end != nullptr) {
      lineEnd_ = static_cast<size_t>(static_cast<const char*>(end) - input_.data());
    } else {
      scanned_ = input_.size();
    }
  }

  bool lineTooLong() const { return (lineEnd_ == kNoLine ? scanned_ : lineEnd_) > kMaxLineBytes; }

  // Reads what the reader has written, until a whole line is in or nothing more is there.
  void readSome() {
    char chunk[64 * 1024];
    findLine();
    while (lineEnd_ == kNoLine && !outClosed_ && !lineTooLong()) {
      const ssize_t n = ::read(child_.out, chunk, sizeof chunk);
      if (n > 0) {
        input_.append(chunk, static_cast<size_t>(n));
        findLine();
      } else if (n == 0) {
        outClosed_ = true;
      } else if (errno != EINTR) {
        break;
      }
    }
  }

  std::string_view line() const { return std::string_view(input_).substr(0, lineEnd_); }

  void takeLine() {
    input_.erase(0, lineEnd_ + 1);
    scanned_ = 0;
    lineEnd_ = kNoLine;
  }

  // What a reader that closed one of its descriptors did: its end, if it comes soon.
  std::string endOrClosed(std::string_view closed) {
    const Clock::time_point soon = std::min(deadline_, Clock::now() + kEndGrace);
    if (auto end = waitForEnd(child_, soon, options_.stopRequested)) return describeEnd(*end);
    return std::string(closed);
  }

  // Reads until a whole line is in (verdict Read) while writing the messages handed over
  // (`requests`: the reply to the first of them is awaited, and it must be written whole
  // first), or until the reader fails (Failed, with what it did) or a stop request comes
  // (Stopped).
  ReaderEnd pump(std::string_view what, bool requests) {
    const std::string seconds = std::to_string(options_.timeout.count()) + " s";
    for (;;) {
      // Writing first keeps the reader supplied with the messages after this one; a reader
      // whose input is closed may still have replied to this one.
      if (requests && !inputClosed_ && !allWritten()) inputClosed_ = !writeSome();
      readSome();
      if (lineTooLong()) return {Verdict::Failed, std::string(what) + " line longer than 1 MiB"};
      const bool firstWritten = !requests || sent_.front().written == sent_.front().size();
      if (lineEnd_ != kNoLine && firstWritten) return {};
      if (inputClosed_) return {Verdict::Failed, endOrClosed("closed its input")};
      if (outClosed_) return {Verdict::Failed, endOrClosed("closed its output")};
      if (child_.pidfd < 0 && !ended_) ended_ = endOf(child_).has_value();
      if (ended_) {
        // Everything it wrote before it ended has been read: no line will come.
        if (auto end = endOf(child_)) return {Verdict::Failed, describeEnd(*end)};
      }
      if (stopRequested()) return {Verdict::Stopped, {}};
      const auto now = Clock::now();
      if (now >= deadline_) {
        if (!firstWritten) {
          return {Verdict::Failed, "did not read the whole message within " + seconds};
        }
        return {Verdict::Failed, "no " + std::string(what) + " within " + seconds};
      }
      pollfd watch[3] = {
          {requests && !allWritten() ? child_.in : -1, POLLOUT, 0},
          {child_.out, POLLIN, 0},
          {ended_ ? -1 : child_.pidfd, POLLIN, 0},
      };
      const int ready = ::poll(watch, 3, sliceMs(deadline_ - now, kPollSlice));
      if (ready > 0 && watch[2].revents != 0) ended_ = true;
    }
  }

  const CoprocessOptions options_;
  Child child_;
  LineParser parser_;
  std::string lost_;      // no reader could be started again: the diagnostic
  bool stopped_ = false;  // a stop request came while one was started again

  std::deque<Message> sent_;    // handed over, not yet received, in order
  Clock::time_point deadline_;  // for the first of them (or the hello)

  // The reader's descriptors and what it wrote.
  bool inputClosed_ = false;
  bool outClosed_ = false;
  bool ended_ = false;        // the pidfd said the reader ended
  std::string input_;         // not yet taken
  size_t scanned_ = 0;        // leading bytes of input_ known to hold no "\n"
  size_t lineEnd_ = kNoLine;  // where the first line of input_ ends, once known
};

}  // namespace

StartedReaders startCoprocessReaders(const CoprocessOptions& options, unsigned count) {
  StartedReaders result;
  std::vector<std::unique_ptr<CoprocessReader>> readers;
  auto failed = [&](const std::string& what) {
    std::string quoted;
    ventry::appendJsonString(quoted, options.command);
    result.failure = "cannot start reader " + quoted + ": " + what;
    return std::move(result);
  };
  // All start at once; then each one's hello is awaited.
  for (unsigned i = 0; i < count; ++i) {
    readers.push_back(std::make_unique<CoprocessReader>(options));
    const std::string what = readers.back()->spawn();
    if (!what.empty()) return failed(what);
  }
  for (unsigned i = 0; i < count; ++i) {
    Hello hello;
    const ReaderEnd end = readers[i]->awaitHello(hello);
    if (end.verdict == Verdict::Stopped) {
      result.stopped = true;
      return result;
    }
    if (end.verdict != Verdict::Read) return failed(end.text);
    if (i == 0) result.hello = std::move(hello);
  }
  for (auto& reader : readers) result.readers.push_back(std::move(reader));
  return result;
}

}  // namespace readers
