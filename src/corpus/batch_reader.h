// Batched reads of many message files: io_uring where the kernel offers it, plain reads
// otherwise. Each file's outcome is exactly what readMessageFile gives for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "corpus/message_file.h"

namespace corpus {

enum class ReadMethod { Uring, Plain };

class BatchReader {
 public:
  // Most files one read() call takes.
  static constexpr size_t kMaxBatch = 32;
  // Bytes read per file in the batch; larger files are finished with ordinary reads.
  static constexpr size_t kSlotBytes = 64 * 1024;

  // Chooses the method once: io_uring when `preferUring` and the kernel allows it (a ring
  // can be set up and reads a trial file correctly: not on an old kernel, with
  // io_uring_disabled, or under a seccomp filter that refuses it), plain reads otherwise.
  explicit BatchReader(bool preferUring = true);
  ~BatchReader();
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  ReadMethod method() const { return ring_ ? ReadMethod::Uring : ReadMethod::Plain; }

  // Reads paths[i] into *buffers[i] and sets errors[i] (at most kMaxBatch files; the three
  // spans have one element per file). A file larger than `maxBytes` is not read
  // (kTooLarge). With `finishLarge` false, a regular file larger than kSlotBytes is left
  // unfinished (kUnfinished), for the caller to read with readMessageFile into a buffer of
  // its own, so that the batch's buffers stay small.
  void read(std::span<const std::string> paths, std::span<FileBuffer* const> buffers,
            std::span<int> errors, uint64_t maxBytes, bool finishLarge = true);

 private:
  struct Ring;
  std::unique_ptr<Ring> ring_;
};

}  // namespace corpus
