#include "corpus/batch_reader.h"

#include <fcntl.h>
#include <liburing.h>

#include <array>
#include <cerrno>
#include <string_view>

namespace corpus {

// One file is four linked requests on a direct descriptor (no file-table entry, no close:
// the next batch's open replaces it):
//   open (O_NONBLOCK, so a FIFO without a writer does not wait)
//   -> fadvise(NORMAL): refuses a FIFO before anything reads from it
//   -> read up to kSlotBytes at the file position
//   -> read one more byte: end of file shows the file was read whole.
// Only the common outcome (opened, advised, read some bytes, then end of file) is taken
// from the ring. An open error is the error a plain open gives. Everything else (an empty
// result, a file larger than the slot, a directory, a device that gives bytes twice, any
// unexpected error) is read again with readMessageFile, which decides exactly as a plain
// read does.
struct BatchReader::Ring {
  io_uring ring{};
  std::array<char, 1> scratch{};

  enum Op : uint64_t { kOpen = 0, kAdvise = 1, kRead = 2, kProbe = 3 };

  struct Outcome {
    int open = 0;
    int advise = 0;
    int read = 0;
    int probe = 0;
  };
  std::array<Outcome, kMaxBatch> outcomes{};

  ~Ring() { io_uring_queue_exit(&ring); }

  bool setUp() {
    if (io_uring_queue_init(4 * kMaxBatch, &ring, 0) != 0) return false;
    if (io_uring_register_files_sparse(&ring, kMaxBatch) != 0) {
      io_uring_queue_exit(&ring);
      return false;
    }
    return true;
  }

  // Queues the four requests of file `slot`.
  void queue(unsigned slot, const char* path, char* into) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    io_uring_prep_openat_direct(sqe, AT_FDCWD, path, O_RDONLY | O_NONBLOCK, 0, slot);
    sqe->flags |= IOSQE_IO_LINK;
    sqe->user_data = (slot << 2) | kOpen;
    sqe = io_uring_get_sqe(&ring);
    io_uring_prep_fadvise(sqe, static_cast<int>(slot), 0, 0, POSIX_FADV_NORMAL);
    sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_LINK;
    sqe->user_data = (slot << 2) | kAdvise;
    sqe = io_uring_get_sqe(&ring);
    // Offset -1: the file position, so that the next read continues where this one ends.
    io_uring_prep_read(sqe, static_cast<int>(slot), into, kSlotBytes, -1);
    // A short read must not cancel the end-of-file read after it.
    sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    sqe->user_data = (slot << 2) | kRead;
    sqe = io_uring_get_sqe(&ring);
    io_uring_prep_read(sqe, static_cast<int>(slot), scratch.data(), scratch.size(), -1);
    sqe->flags |= IOSQE_FIXED_FILE;
    sqe->user_data = (slot << 2) | kProbe;
  }

  // Submits what is queued and collects the outcomes of `files` files; false when the ring
  // itself failed.
  bool run(size_t files) {
    const unsigned expected = static_cast<unsigned>(4 * files);
    unsigned seen = 0;
    int submitted = io_uring_submit_and_wait(&ring, expected);
    while (submitted == -EINTR) submitted = io_uring_submit_and_wait(&ring, expected);
    if (submitted < 0) return false;
    while (seen < expected) {
      io_uring_cqe* cqe = nullptr;
      int waited = io_uring_wait_cqe(&ring, &cqe);
      if (waited == -EINTR) continue;
      if (waited < 0) return false;
      unsigned head = 0;
      unsigned count = 0;
      io_uring_for_each_cqe(&ring, head, cqe) {
        const uint64_t slot = cqe->user_data >> 2;
        Outcome& outcome = outcomes[slot];
        switch (cqe->user_data & 3) {
          case kOpen:
            outcome.open = cqe->res;
            break;
          case kAdvise:
            outcome.advise = cqe->res;
            break;
          case kRead:
            outcome.read = cqe->res;
            break;
          default:
            outcome.probe = cqe->res;
        }
        ++count;
      }
      io_uring_cq_advance(&ring, count);
      seen += count;
    }
    return true;
  }
};

namespace {

// What the ring's outcome for one file says: a final code, or "read it again plainly".
constexpr int kReadAgain = 1 << 30;

int settle(int open, int advise, int read, int probe, FileBuffer& buffer, bool finishLarge) {
  if (open < 0) return -open;
  if (advise == -ESPIPE) return kNotRegularFile;
  // A full buffer and more to come: a large regular file (or a device, which the plain read
  // that finishes it refuses).
  if (!finishLarge && advise == 0 && read == static_cast<int>(BatchReader::kSlotBytes) &&
      probe == 1) {
    return kUnfinished;
  }
  if (advise < 0 || read <= 0 || probe != 0) return kReadAgain;
  buffer.setSize(static_cast<size_t>(read));
  return kReadOk;
}

}  // namespace

BatchReader::BatchReader(bool preferUring) {
  if (!preferUring) return;
  auto ring = std::make_unique<Ring>();
  if (!ring->setUp()) return;
  // A trial on the current directory: a kernel without direct descriptors, linked
  // requests or reads at the file position answers differently and gets plain reads.
  FileBuffer trial;
  trial.reserve(kSlotBytes);
  ring->queue(0, ".", trial.data());
  if (!ring->run(1)) return;
  const Ring::Outcome& seen = ring->outcomes[0];
  if (seen.open != 0 || seen.advise != 0 || seen.read != -EISDIR) return;
  ring_ = std::move(ring);
}

BatchReader::~BatchReader() = default;

void BatchReader::read(std::span<const std::string> paths, std::span<FileBuffer* const> buffers,
                       std::span<int> errors, uint64_t maxBytes, bool finishLarge) {
  const size_t files = paths.size();
  for (size_t i = 0; i < files; ++i) errors[i] = kReadAgain;
  if (ring_ && files <= kMaxBatch && maxBytes >= kSlotBytes) {
    size_t queued = 0;
    for (size_t i = 0; i < files; ++i) {
      // A path with a NUL names no file; it never reaches the kernel.
      if (paths[i].find('\0') != std::string::npos) continue;
      FileBuffer& buffer = *buffers[i];
      buffer.reserve(kSlotBytes);
      // The queue holds four requests for each of kMaxBatch files, so this always fits.
      ring_->queue(static_cast<unsigned>(i), paths[i].c_str(), buffer.data());
      ++queued;
    }
    if (ring_->run(queued)) {
      for (size_t i = 0; i < files; ++i) {
        if (paths[i].find('\0') != std::string::npos) continue;
        const Ring::Outcome& o = ring_->outcomes[i];
        errors[i] = settle(o.open, o.advise, o.read, o.probe, *buffers[i], finishLarge);
      }
    } else {
      // The ring failed as a whole (it should not): every file is read plainly, now and
      // from here on.
      ring_.reset();
    }
  }
  for (size_t i = 0; i < files; ++i) {
    if (errors[i] == kReadAgain) errors[i] = readMessageFile(paths[i], *buffers[i], maxBytes);
  }
}

}  // namespace corpus
