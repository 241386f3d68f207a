// Containers: a list entry that names a directory, an mbox file, an archive or a compressed
// stream expands into the messages inside it, each with a name that leads back to it. The
// rules (detection, order, names, limits) are in docs/corpus.md.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corpus/mbox.h"

namespace corpus {

class WrittenRecords;

// How far an expansion has come, for a progress display. Bytes are those of the file as
// stored: for a compressed file or an archive, the compressed bytes consumed.
struct ExpandProgress {
  // A file met in a listed directory, with its size (the size of a listed file is the
  // caller's to know).
  std::function<void(uint64_t bytes)> found;
  // More bytes consumed of the listed file, or of a file in a listed directory; by the end
  // of each file, its size in all (also when a fault ends its expansion early).
  std::function<void(uint64_t bytes)> read;
};

struct ExpandOptions {
  MboxFormat mboxFormat = MboxFormat::Mboxrd;
  // A message or member larger than this is not read: it gets a readError.
  uint64_t maxMessageBytes = UINT64_MAX;
  // Containers inside containers: the listed file's own container is level 1 (an mbox, an
  // archive, a compressed stream; a compressed tar is one level). A container found deeper
  // is not opened: it gets a readError.
  unsigned maxDepth = 4;
  // A message that comes out of an archive or a compressed stream (where a few bytes can
  // stand for gigabytes) is held up to this many bytes; a larger one gets a readError as
  // over maxMessageBytes.
  uint64_t maxArchivedMessageBytes = uint64_t{256} << 20;
  // Decompressed bytes allowed per listed file: this many per byte of the file, but at
  // least `expansionFloor`. Past that the file's expansion ends with a readError.
  uint64_t expansionRatio = 1000;
  uint64_t expansionFloor = uint64_t{256} << 20;
  // A resumed run: the messages whose records were written before are not handed on, and
  // are read no further than needed to find the messages after them.
  WrittenRecords* written = nullptr;
  // mbox messages are handed over as stored (see Message::stored), so that the taker
  // un-quotes them, on its own thread, and copies only what un-quoting changes.
  bool keepStored = false;
  // Where the expansion reports how far it has come (none: it does not).
  const ExpandProgress* progress = nullptr;
};

// The records an earlier run of the same command wrote, taken in order as the expansion
// meets the messages: names only, so that a message already written need not be read.
class WrittenRecords {
 public:
  enum class Verdict {
    Written,  // the next written record names this message: it is taken
    New,      // no written record is left: this message and all after it are new
    Refused,  // the next written record names another message: the expansion stops
  };
  virtual ~WrittenRecords() = default;

  // The message called `name` comes next. New and Refused hold for every later call.
  virtual Verdict take(std::string_view name) = 0;

  // Whether written records may still be left (no call has said New or Refused yet).
  virtual bool taking() const = 0;
  virtual bool refused() const = 0;

  // The mbox `mbox` (a name without the message locators) begins: takes the written records
  // that follow as its messages ("#1", then numbers one up and offsets rising) and returns
  // the last one's number and offset; nothing when the next record is not its first message.
  struct MboxMark {
    uint64_t number = 0;
    uint64_t offset = 0;
  };
  virtual std::optional<MboxMark> takeMboxMessages(std::string_view mbox) = 0;

  // The last record taken names no message of the container after all: refuses, with `why`.
  virtual void refuseTaken(std::string_view why) = 0;
};

struct Message {
  std::string name;       // the list entry followed by the locator inside the container
  std::string bytes;      // exactly the bytes measured (empty when unreadable)
  std::string readError;  // non-empty when it could not be read: the description
  // With ExpandOptions::keepStored, a message read from an mbox comes with `bytes` empty and
  // its bytes as the mbox stores them in `stored`, which `storage` keeps alive; messageBytes()
  // gives the bytes measured.
  std::shared_ptr<const char[]> storage;
  std::string_view stored;
  std::optional<MboxFormat> quoting;  // how `stored` is quoted; none: taken as it is
};

// The bytes measured for `message`: `bytes`, or its stored bytes un-quoted (in place when no
// line is quoted, else copied into `scratch`).
std::string_view messageBytes(const Message& message, std::string& scratch);

// Returns false to stop the expansion (an interrupted run).
using MessageSink = std::function<bool(Message&&)>;

// Expands one list entry (`entry` as listed, `path` the entry joined with the root) into its
// messages, in order. An entry that is one message yields exactly one Message named `entry`
// with the file's bytes; an unreadable entry yields one Message with readError (the
// descriptions of describeReadError). A fault inside a container (a corrupt or truncated
// archive or stream, an unreadable member, a member that is not a regular file, a message
// over the size limit, a container nested too deep, the expansion limit) yields one
// Message with readError named after the place of the fault; the messages before it keep
// theirs. Never writes to standard output, standard error or any file.
void expandEntry(std::string_view entry, std::string_view path, const ExpandOptions& options,
                 const MessageSink& sink);

// The way back: the bytes that expandEntry gives for the message called `name` (a relative
// name is taken below `root`), found again by reading its container.
struct Extracted {
  bool ok = false;
  std::string bytes;
  std::string error;  // when !ok
};
Extracted extractMessage(std::string_view name, std::string_view root,
                         const ExpandOptions& options);

}  // namespace corpus
