#include "run/pipeline.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "corpus/batch_reader.h"
#include "corpus/expand.h"
#include "corpus/list_file.h"
#include "corpus/message_file.h"
#include "readers/coprocess_reader.h"
#include "readers/reader.h"
#include "record/record.h"
#include "run/console.h"
#include "run/container_progress.h"
#include "run/memory_limit.h"
#include "run/message_work.h"
#include "run/resume.h"
#include "run/stop_signal.h"
#include "text/text.h"

namespace run {
namespace {

using corpus::BatchReader;
using corpus::FileBuffer;

// A read buffer that grew beyond the batch read's size is given back after its message, so
// that large messages do not keep their memory for the rest of the run.
constexpr size_t kKeepBuffer = BatchReader::kSlotBytes;

// Gives a buffer's memory back when it holds more than `keep` bytes. (Assigning an empty
// string would not: the string keeps its memory.)
void giveBack(std::string& buffer, size_t keep) {
  if (buffer.capacity() > keep) std::string().swap(buffer);
}

// Files larger than a batch buffer are read, when their turn comes, into one buffer per
// thread that keeps its memory up to this size (mapping it afresh for every large message
// would cost more than the read).
constexpr size_t kKeepLargeBuffer = 64 * 1024 * 1024;

// The bytes of a message the batch read left unfinished, read whole into `large`; any other
// outcome of the batch read as it was.
std::string_view finishRead(const std::string& path, int& error, const FileBuffer& batchBuffer,
                            FileBuffer& large, uint64_t limit) {
  if (error != corpus::kUnfinished) return batchBuffer.view();
  error = corpus::readMessageFile(path, large, limit);
  return large.view();
}

// Most read messages one thread takes at once.
constexpr size_t kClaim = 4;

// Files read ahead of the work: the next batch is read while fewer than this many read
// messages wait for a thread.
constexpr size_t kReadAhead = 4 * BatchReader::kMaxBatch;

std::string quoted(std::string_view text) {
  std::string out;
  ventry::appendJsonString(out, text);
  return out;
}

// What the run met, for the lines at its end.
struct Tally {
  uint64_t unreadable = 0;
  uint64_t failed = 0;
};

// The diagnostics of one message, written when its record is.
void reportMessage(Console& console, Tally& tally, const MessageWork& work, std::string_view path,
                   std::string_view readError, std::string_view name) {
  if (work.unreadable) {
    ++tally.unreadable;
    console.line("cannot read " + quoted(path) + ": " + std::string(readError));
  }
  if (work.failed) {
    ++tally.failed;
    console.line("could not process " + quoted(name) + ": " + work.failure);
  }
}

// How a run ended, before the lines at its end.
struct Ending {
  std::optional<std::string> failure;  // the output failed: the diagnostic
  int signal = 0;                      // SIGINT or SIGTERM stopped it
};

// Whether the run ends before this message's record; if so, how (in `ending`).
bool endsRun(const MessageWork& work, Ending& ending) {
  if (work.stopped) {
    ending.signal = stopSignal();
  } else if (!work.lost.empty()) {
    ending.failure = work.lost;
  }
  return work.stopped || !work.lost.empty();
}

// One whole run on the calling thread: batches of reads, then each message's work and its
// record, one write per record.
Ending runSerial(std::span<const std::string_view> entries, const RunOptions& options,
                 uint64_t limit, Console& console, Tally& tally, readers::Reader& messageReader) {
  BatchReader reader(options.preferUring);
  constexpr size_t kBatch = BatchReader::kMaxBatch;
  std::vector<FileBuffer> buffers(kBatch);
  std::vector<FileBuffer*> into;
  for (FileBuffer& buffer : buffers) into.push_back(&buffer);
  std::vector<std::string> paths(kBatch);
  std::vector<int> errors(kBatch);
  FileBuffer large;
  std::string line;
  Ending ending;
  for (size_t begin = 0; begin < entries.size(); begin += kBatch) {
    const size_t count = std::min(kBatch, entries.size() - begin);
    if ((ending.signal = stopSignal()) != 0) return ending;
    for (size_t i = 0; i < count; ++i)
      paths[i] = corpus::joinPath(options.root, entries[begin + i]);
    reader.read(std::span(paths).first(count), std::span(into).first(count),
                std::span(errors).first(count), limit, false);
    size_t handedOver = 0;  // messages of the batch given to the reader
    for (size_t i = 0; i < count; ++i) {
      if ((ending.signal = stopSignal()) != 0) return ending;
      console.entryTaken();
      const std::string_view bytes = finishRead(paths[i], errors[i], buffers[i], large, limit);
      const std::string readError = corpus::describeReadError(errors[i]);
      // The messages after this one whose bytes are in hand go to the reader now, so that a
      // reader in another process finds them waiting when it is done with this one.
      if (handedOver == i) messageReader.send(entries[begin + handedOver++], bytes);
      for (; handedOver < count && errors[handedOver] != corpus::kUnfinished; ++handedOver) {
        messageReader.send(entries[begin + handedOver], buffers[handedOver].view());
      }
      const MessageWork work =
          makeRecordLine(line, entries[begin + i], bytes, readError, limit, messageReader, true);
      if (endsRun(work, ending)) return ending;
      reportMessage(console, tally, work, paths[i], readError, entries[begin + i]);
      if ((ending.failure = ventry::writeRecordLine(options.out, work.line))) return ending;
      console.recordWritten(bytes.size());
      buffers[i].shrinkTo(kKeepBuffer);
      large.shrinkTo(kKeepLargeBuffer);
      giveBack(line, kKeepBuffer);
    }
  }
  return ending;
}

// One whole run over containers on the calling thread: each message, as the expansion
// hands it over, gets its work and its record.
Ending runExpandedSerial(std::span<const std::string_view> entries, const RunOptions& options,
                         const corpus::ExpandOptions& expand, uint64_t limit, Console& console,
                         Tally& tally, readers::Reader& messageReader) {
  std::string line;
  std::string unquoted;
  Ending ending;
  for (const std::string_view entry : entries) {
    if ((ending.signal = stopSignal()) != 0) return ending;
    corpus::expandEntry(
        entry, corpus::joinPath(options.root, entry), expand, [&](corpus::Message&& message) {
          if ((ending.signal = stopSignal()) != 0) return false;
          const std::string_view bytes = corpus::messageBytes(message, unquoted);
          const MessageWork work = makeRecordLine(line, message.name, bytes, message.readError,
                                                  limit, messageReader, false);
          if (endsRun(work, ending)) return false;
          reportMessage(console, tally, work, message.name, message.readError, message.name);
          ending.failure = ventry::writeRecordLine(options.out, work.line);
          if (ending.failure) return false;
          console.recordWritten(bytes.size());
          giveBack(line, kKeepBuffer);
          giveBack(unquoted, kKeepBuffer);
          return true;
        });
    if (ending.failure || ending.signal != 0) return ending;
    console.entryTaken();
  }
  return ending;
}

// The run on --jobs threads. Every thread loops over the same three tasks, taking whichever
// is due: reading the next batch of files into free slots of the window (each thread with
// its own ring, so that reads of different batches go on at once), working on the next read
// messages, and writing the finished records at the head of the window in one write (one
// thread at a time). A message holds its slot from its read until its record is written, so
// at most `window` messages are in memory whatever the corpus. Over containers, the calling
// thread expands the entries and hands their messages over in place of the batched reads;
// while the window is full it works like the others, and joins them once all is handed over.
// Each work thread has a reader of its own (a reader under test is one co-process per
// thread). A message whose work ends the run (a stop signal while a reader under test worked
// on it, or a reader that could not be started again) is where work stops: the records
// before it are written, and then the run ends.
class Parallel {
 public:
  Parallel(std::span<const std::string_view> entries, const RunOptions& options,
           const corpus::ExpandOptions& expand, uint64_t limit, Console& console, Tally& tally,
           std::span<const std::unique_ptr<readers::Reader>> messageReaders)
      : entries_(entries),
        options_(options),
        expand_(expand),
        limit_(limit),
        console_(console),
        tally_(tally),
        messageReaders_(messageReaders),
        slots_(options.expand ? kMaxWindow
                              : std::clamp(kWindowPerJob * options.jobs, kMinWindow, kMaxWindow)) {
    if (!options.expand) {
      total_ = entries.size();
      produced_ = true;
      buffers_.resize(slots_.size());
      for (FileBuffer& buffer : buffers_) freeBuffers_.push_back(&buffer);
      // One ring per thread, all set up here and taken down after the threads end.
      for (unsigned i = 0; i < options.jobs; ++i) {
        readers_.push_back(std::make_unique<BatchReader>(options.preferUring));
      }
    }
  }

  Ending run() {
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < options_.jobs; ++i) threads.emplace_back([this, i] { work(i); });
    if (options_.expand) produce();
    work(0);
    for (std::thread& thread : threads) thread.join();
    Ending ending;
    ending.failure = failure_;
    if (!failure_ && stopped_) ending.signal = stopSignal();
    return ending;
  }

 private:
  struct Slot {
    std::string path;
    FileBuffer* buffer = nullptr;  // from the pool, while the slot holds a read file
    corpus::Message message;       // over containers: the message handed over
    std::string unquoted;          // over containers: its bytes, when un-quoting changed them
    std::string_view view;         // over containers: the bytes measured, once viewMade
    bool viewMade = false;
    int error = 0;  // the batch read's outcome
    std::string readError;
    size_t size = 0;  // the message's bytes
    std::string line;
    MessageWork work;
    bool ready = false;  // read (or handed over), so its work may start
    bool done = false;   // its record line is made
  };

  // Sequence numbers (positions in `entries_`, or messages over containers) of the window's
  // edges: taken <= ... and write <= work <= read <= taken.
  struct Edges {
    size_t taken = 0;  // one past the last message a reader has taken
    size_t read = 0;   // one past the first run of read messages
    size_t work = 0;   // the next read message no thread works on yet
    size_t write = 0;  // the next record to write (the window's head)
  };

  Slot& slot(size_t seq) { return slots_[seq % slots_.size()]; }

  bool finishedOrStopped() const {
    return failure_ || stopped_ || (produced_ && next_.write == total_);
  }

  std::string_view nameOf(size_t seq) {
    return options_.expand ? std::string_view(slot(seq).message.name) : entries_[seq];
  }
  // Over containers, un-quotes a message as stored on the thread that works on it, once: the
  // view may be with the reader under test until the message's reply.
  std::string_view bytesOf(Slot& s) {
    if (!options_.expand) return s.buffer->view();
    if (!s.viewMade) {
      s.view = corpus::messageBytes(s.message, s.unquoted);
      s.viewMade = true;
    }
    return s.view;
  }
  // The bytes a slot counts in `bytesInFlight_`.
  static uint64_t heldBytes(const Slot& s) {
    return s.buffer != nullptr ? s.buffer->size()
                               : s.message.bytes.size() + s.message.stored.size();
  }

  void wakeWaiters() {
    if (waiters_ > 0) wake_.notify_all();
  }

  void waitForChange(std::unique_lock<std::mutex>& lock) {
    // The timeout lets a stop request be seen.
    ++waiters_;
    wake_.wait_for(lock, std::chrono::milliseconds(100));
    --waiters_;
  }

  // Over containers: expands the entries in order and hands their messages to the window,
  // a few at a time; while it is full, works on the messages in it.
  void produce() {
    constexpr size_t kHandOver = 16;
    std::vector<corpus::Message> pending;
    FileBuffer large;
    auto handOver = [&]() {
      std::unique_lock<std::mutex> lock(mutex_);
      size_t i = 0;
      while (i < pending.size()) {
        if (stopSignal() != 0) stopped_ = true;
        if (failure_ || stopped_) break;
        const bool full = next_.read == next_.write + slots_.size() ||
                          (bytesInFlight_ >= kMaxBytesInFlight && next_.read > next_.write);
        if (full) {
          // One message at a time, so that the expansion is never away for long.
          if (!workOnce(lock, large, *messageReaders_[0], 1)) waitForChange(lock);
          continue;
        }
        Slot& s = slot(next_.read);
        s.readError = std::move(pending[i].readError);
        s.message = std::move(pending[i]);
        s.ready = true;
        bytesInFlight_ += heldBytes(s);
        next_.taken = ++next_.read;
        ++i;
        if (i == pending.size() || next_.read == next_.write + slots_.size()) wakeWaiters();
      }
      pending.clear();
      return !failure_ && !stopped_;
    };
    bool going = true;
    for (const std::string_view entry : entries_) {
      if (!going || stopSignal() != 0) break;
      corpus::expandEntry(entry, corpus::joinPath(options_.root, entry), expand_,
                          [&](corpus::Message&& message) {
                            pending.push_back(std::move(message));
                            if (pending.size() == kHandOver) going = handOver();
                            return going;
                          });
      if (going) console_.entryTaken();
    }
    if (going) handOver();
    std::lock_guard<std::mutex> lock(mutex_);
    total_ = next_.read;
    produced_ = true;
    wake_.notify_all();
  }

  // Whether the finished records at the head of the window should be written now: when
  // enough have gathered for one write, when the window needs room, or when no read message
  // waits for work (the threads would otherwise wait with finished records unwritten).
  bool writeDue() {
    if (writing_ || next_.write == next_.work || !slot(next_.write).done) return false;
    if (haltAt_ != kNoHalt) return true;  // no more work comes: write what is done
    const size_t room = next_.write + slots_.size() - next_.taken;
    if (next_.work == next_.read || room < BatchReader::kMaxBatch) return true;
    size_t run = 0;
    while (run < kWriteBatch && next_.write + run < next_.work && slot(next_.write + run).done) {
      ++run;
    }
    return run == kWriteBatch;
  }

  // The loop of thread `index`.
  void work(unsigned index) {
    // Each thread reads with a ring of its own, and finishes large files in a buffer of its
    // own.
    BatchReader* reader = readers_.empty() ? nullptr : readers_[index].get();
    readers::Reader& messageReader = *messageReaders_[index];
    FileBuffer large;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!finishedOrStopped()) {
      if (stopSignal() != 0) {
        stopped_ = true;
        break;
      }
      const size_t ahead = next_.taken - next_.work;  // read or being read, no work yet
      const size_t room = next_.write + slots_.size() - next_.taken;
      const size_t left = options_.expand ? 0 : entries_.size() - next_.taken;
      if (left > 0 && room >= std::min(left, BatchReader::kMaxBatch / 2) && ahead < kReadAhead &&
          bytesInFlight_ < kMaxBytesInFlight) {
        readBatch(lock, *reader, std::min({BatchReader::kMaxBatch, room, left}));
      } else if (!workOnce(lock, large, messageReader)) {
        waitForChange(lock);
      }
    }
    const bool complete = !failure_ && !stopped_;
    wake_.notify_all();
    lock.unlock();
    // A reader under test started again on this thread is ended before the thread is.
    messageReader.close(complete);
  }

  // Works on the next few read messages (at most `most`), or writes the finished records at
  // the head of the window, whichever is due; false when neither is.
  bool workOnce(std::unique_lock<std::mutex>& lock, FileBuffer& large,
                readers::Reader& messageReader, size_t most = kClaim) {
    const size_t waiting = next_.read - next_.work;
    if (waiting > 0 && next_.work < haltAt_) {
      // A few messages at a time, so that the threads meet at the lock less often; never
      // more than an even share of what waits.
      const size_t first = next_.work;
      const size_t count = std::min(most, (waiting + options_.jobs - 1) / options_.jobs);
      next_.work += count;
      lock.unlock();
      size_t halt = kNoHalt;
      size_t handedOver = first;  // one past the claimed messages given to the reader
      for (size_t seq = first; seq < first + count; ++seq) {
        if (halt != kNoHalt) {
          // Past the end of the run: not worked on, never written.
          slot(seq).work = MessageWork{};
          slot(seq).work.stopped = true;
          continue;
        }
        process(seq, large, messageReader, handedOver, first + count);
        if (slot(seq).work.stopped || !slot(seq).work.lost.empty()) halt = seq;
      }
      lock.lock();
      for (size_t seq = first; seq < first + count; ++seq) slot(seq).done = true;
      haltAt_ = std::min(haltAt_, halt);
      if (writeDue()) writeDone(lock);
      return true;
    }
    if (!writeDue()) return false;
    writeDone(lock);
    return true;
  }

  void readBatch(std::unique_lock<std::mutex>& lock, BatchReader& reader, size_t count) {
    const size_t first = next_.taken;
    next_.taken += count;
    // Buffers come from the top of the pool, where the last ones given back lie: their memory
    // is already mapped and likely in the caches.
    for (size_t i = 0; i < count; ++i) {
      slot(first + i).buffer = freeBuffers_.back();
      freeBuffers_.pop_back();
    }
    lock.unlock();
    std::string paths[BatchReader::kMaxBatch];
    FileBuffer* into[BatchReader::kMaxBatch];
    int errors[BatchReader::kMaxBatch];
    for (size_t i = 0; i < count; ++i) {
      paths[i] = corpus::joinPath(options_.root, entries_[first + i]);
      into[i] = slot(first + i).buffer;
    }
    reader.read(std::span(paths, count), std::span(into, count), std::span(errors, count), limit_,
                false);
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; ++i) {
      Slot& s = slot(first + i);
      s.path = std::move(paths[i]);
      s.error = errors[i];
      bytes += s.buffer->size();
    }
    lock.lock();
    bytesInFlight_ += bytes;
    for (size_t i = 0; i < count; ++i) slot(first + i).ready = true;
    // Batches read at once may finish in any order; work starts on the first run of them.
    const size_t before = next_.read;
    while (next_.read < next_.taken && slot(next_.read).ready) ++next_.read;
    if (next_.read != before) wakeWaiters();
  }

  // Whether the bytes of a claimed message are in memory (not left for finishRead).
  bool inHand(const Slot& s) const { return options_.expand || s.error != corpus::kUnfinished; }

  // The work of claimed message `seq`. Claimed messages up to `handedOver` went to the reader
  // already; this one goes now if it has not, and so do the claimed messages after it (up to
  // `claimEnd`) whose bytes are in hand, so that a reader in another process finds them
  // waiting when it is done with this one.
  void process(size_t seq, FileBuffer& large, readers::Reader& messageReader, size_t& handedOver,
               size_t claimEnd) {
    Slot& s = slot(seq);
    std::string_view bytes = bytesOf(s);
    if (!options_.expand) {
      bytes = finishRead(s.path, s.error, *s.buffer, large, limit_);
      s.readError = corpus::describeReadError(s.error);
    }
    s.size = bytes.size();
    if (handedOver == seq) messageReader.send(nameOf(handedOver++), bytes);
    for (; handedOver < claimEnd && inHand(slot(handedOver)); ++handedOver) {
      messageReader.send(nameOf(handedOver), bytesOf(slot(handedOver)));
    }
    s.work = makeRecordLine(s.line, nameOf(seq), bytes, s.readError, limit_, messageReader, true);
    large.shrinkTo(kKeepLargeBuffer);
  }

  // Writes the finished records at the head of the window, as long as there are any.
  void writeDone(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    std::vector<std::string_view> lines;
    while (!failure_ && next_.write < next_.work && slot(next_.write).done) {
      if (stopSignal() != 0) {
        stopped_ = true;
        break;
      }
      if (next_.write == haltAt_) {
        const MessageWork& work = slot(haltAt_).work;
        if (work.stopped) {
          stopped_ = true;
        } else {
          failure_ = work.lost;
        }
        break;
      }
      const size_t first = next_.write;
      size_t end = first;
      while (end < next_.work && end < haltAt_ && slot(end).done && end - first < 256) ++end;
      lock.unlock();
      lines.clear();
      for (size_t seq = first; seq < end; ++seq) {
        Slot& s = slot(seq);
        reportMessage(console_, tally_, s.work, options_.expand ? nameOf(seq) : s.path, s.readError,
                      nameOf(seq));
        lines.push_back(s.work.line);
      }
      std::optional<std::string> failure = ventry::writeRecordLines(options_.out, lines);
      uint64_t bytes = 0;
      for (size_t seq = first; seq < end && !failure; ++seq) {
        Slot& s = slot(seq);
        bytes += heldBytes(s);
        if (!options_.expand) console_.entryTaken();
        console_.recordWritten(s.size);
        if (s.buffer != nullptr) s.buffer->shrinkTo(kKeepBuffer);
        // Lets go of the message's bytes, or of the mbox block under them (moved out, since
        // assigning an empty message would keep the memory); the few messages with quoted
        // lines give their copy back, so that the window's slots do not each keep one.
        std::exchange(s.message, corpus::Message());
        s.viewMade = false;
        giveBack(s.unquoted, 0);
        giveBack(s.line, kKeepBuffer);
        s.ready = false;
        s.done = false;
      }
      lock.lock();
      if (failure) {
        failure_ = std::move(failure);
        break;
      }
      for (size_t seq = end; seq-- > first;) {
        Slot& s = slot(seq);
        if (s.buffer == nullptr) continue;
        freeBuffers_.push_back(s.buffer);
        s.buffer = nullptr;
      }
      next_.write = end;
      bytesInFlight_ -= bytes;
      wakeWaiters();
    }
    writing_ = false;
  }

  const std::span<const std::string_view> entries_;
  const RunOptions& options_;
  const corpus::ExpandOptions& expand_;
  const uint64_t limit_;
  Console& console_;
  Tally& tally_;
  const std::span<const std::unique_ptr<readers::Reader>> messageReaders_;  // one per thread
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<BatchReader>> readers_;  // one per thread, over a list
  std::vector<FileBuffer> buffers_;                    // one per slot, for read files
  std::vector<FileBuffer*> freeBuffers_;  // the pool: buffers no slot holds, last given back on top

  std::mutex mutex_;
  std::condition_variable wake_;
  Edges next_;
  size_t total_ = 0;            // messages in the run, once `produced_`
  bool produced_ = false;       // every message has been read or handed over
  uint64_t bytesInFlight_ = 0;  // message bytes read and not yet written
  int waiters_ = 0;             // threads waiting for something to do
  bool writing_ = false;
  bool stopped_ = false;
  std::optional<std::string> failure_;
  // The first message whose work ends the run, once one has.
  static constexpr size_t kNoHalt = SIZE_MAX;
  size_t haltAt_ = kNoHalt;
};

// Reader-supplied text as one plain line: control characters shown as "?", and cut.
std::string printable(std::string_view utf8) {
  std::string out(text::prefixCodePoints(utf8, 80));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

// The readers of the run, one per work thread: the built-in one, or the reader under test
// started (all of them, each with its hello) before any record. On a failure to start them,
// or a stop request meanwhile, `ending` says so and there are none.
std::vector<std::unique_ptr<readers::Reader>> startReaders(const RunOptions& options,
                                                           unsigned count, Console& console,
                                                           Ending& ending) {
  std::vector<std::unique_ptr<readers::Reader>> messageReaders;
  if (!options.coprocessReader) {
    for (unsigned i = 0; i < count; ++i) messageReaders.push_back(readers::builtinReader());
    return messageReaders;
  }
  readers::CoprocessOptions coprocess;
  coprocess.command = options.readerCommand;
  coprocess.timeout = std::chrono::seconds(options.readerTimeoutSeconds);
  coprocess.err = options.err;
  coprocess.stopRequested = [] { return stopSignal() != 0; };
  readers::StartedReaders started = readers::startCoprocessReaders(coprocess, count);
  if (started.stopped) {
    ending.signal = stopSignal();
  } else if (!started.failure.empty()) {
    ending.failure = std::move(started.failure);
  } else {
    console.line("reader: " + printable(started.hello.reader) + " " +
                 printable(started.hello.version) + " (" + options.readerCommand + ")");
  }
  return std::move(started.readers);
}

}  // namespace

int runEntries(std::span<const std::string_view> all, const RunOptions& options) {
  const Slice slice = sliceOf(options.shard, all.size());
  std::span<const std::string_view> entries = all.subspan(slice.begin, slice.end - slice.begin);
  const unsigned concurrent = options.threaded ? std::max(options.jobs, 1u) : 1u;
  const uint64_t limit =
      options.memoryLimit != 0 ? options.memoryLimit : defaultMemoryLimit(concurrent);
  // Resuming, the entries whose records were written are left out; over containers the
  // expansion asks which messages were written.
  std::optional<Resume> resume;
  if (options.resume) {
    resume.emplace(options.out, options.outputPath);
    if (!options.expand) entries = entries.subspan(resume->takeEntries(entries, options.root));
  }
  // Over containers progress goes by the bytes of the listed files.
  std::optional<uint64_t> totalBytes;
  if (options.progress && options.expand) totalBytes = listedFileBytes(entries, options.root);
  Console console(options.err, options.progress, entries.size(), totalBytes);
  if (resume && options.progress) resume->reportTo(console);
  Tally tally;
  Ending ending;
  corpus::ExpandOptions expand = options.expandOptions;
  expand.maxMessageBytes = std::min(expand.maxMessageBytes, limit);
  expand.keepStored = true;
  const corpus::ExpandProgress progress = progressInto(console);
  if (totalBytes) expand.progress = &progress;
  if (resume && options.expand) expand.written = &*resume;
  std::vector<std::unique_ptr<readers::Reader>> messageReaders;
  if (resume && resume->refused()) {
    ending.failure = resume->failure();
  } else {
    messageReaders = startReaders(options, concurrent, console, ending);
  }
  if (ending.failure || ending.signal != 0) {
    // Nothing to run with: the run ends before its first record.
  } else if (options.threaded) {
    RunOptions threaded = options;
    threaded.jobs = concurrent;
    ending = Parallel(entries, threaded, expand, limit, console, tally, messageReaders).run();
  } else if (options.expand) {
    ending = runExpandedSerial(entries, options, expand, limit, console, tally, *messageReaders[0]);
  } else {
    ending = runSerial(entries, options, limit, console, tally, *messageReaders[0]);
  }
  for (const auto& messageReader : messageReaders) {
    messageReader->close(!ending.failure && ending.signal == 0);
  }
  if (resume && !ending.failure && ending.signal == 0) resume->finish();
  if (resume && resume->refused()) ending.failure = resume->failure();
  if (ending.failure) {
    console.finish();
    console.line(*ending.failure);
    return 101;
  }
  if (tally.unreadable != 0 && options.expand) {
    console.line(std::to_string(tally.unreadable) + " of " +
                 std::to_string(console.recordsWritten()) + " records could not be read");
  } else if (tally.unreadable != 0) {
    console.line(std::to_string(tally.unreadable) + " of " + std::to_string(entries.size()) +
                 " entries could not be read");
  }
  if (tally.failed != 0) {
    console.line(std::to_string(tally.failed) + (tally.failed == 1
                                                     ? " message could not be processed"
                                                     : " messages could not be processed"));
  }
  console.finish();
  if (ending.signal != 0) {
    const char* name = ending.signal == SIGINT    ? "SIGINT"
                       : ending.signal == SIGTERM ? "SIGTERM"
                                                  : "a signal";
    console.line(std::string("interrupted by ") + name + ": " +
                 std::to_string(console.recordsWritten()) + " records written");
    return stopStatus(ending.signal);
  }
  return 0;
}

}  // namespace run
