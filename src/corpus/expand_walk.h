// Shared by the container readers (expand.cpp, archive_reader.cpp): the state of one
// expansion and the byte streams containers are read from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "corpus/expand.h"

namespace corpus {

// One expansion: the options, where messages go, and the limits of the listed file being
// read. In extract mode only the message called `target` is kept; the walk is otherwise a
// run's, so that it meets the same limits and faults on the way.
struct Walk {
  explicit Walk(const ExpandOptions& expandOptions) : options(expandOptions) {}
  const ExpandOptions& options;
  const MessageSink* sink = nullptr;  // a run; null in extract mode
  std::string_view target;            // extract mode: the wanted name
  std::optional<Message> found;       // extract mode: the wanted message, once met
  std::string lastFault;              // extract mode: the last fault met on the way
  bool stopped = false;               // the sink said stop, or the target was found
  // The listed file being expanded.
  uint64_t expanded = 0;     // decompressed bytes so far
  uint64_t budget = 0;       // decompressed bytes allowed
  bool ended = false;        // a fault ended this file's expansion
  uint64_t size = 0;         // its size on disk
  uint64_t consumed = 0;     // its bytes reported to options.progress so far
  bool inDirectory = false;  // the listed entry is a directory
};

// The listed file (or the file in a listed directory) has been consumed up to `position`:
// reports the bytes beyond what was reported, up to the file's size.
void reportConsumed(Walk& walk, uint64_t position);

// Hands a message on (or, in extract mode, keeps it when it is the target).
void emitMessage(Walk& walk, Message&& message);
void emitFault(Walk& walk, const std::string& name, std::string readError);

// A stream of bytes: a file, an archive member, a decompressed stream.
class Stream {
 public:
  virtual ~Stream() = default;
  // Up to `size` bytes into `out`: the count, 0 at the end, -1 on failure (see `error`).
  virtual ptrdiff_t read(char* out, size_t size) = 0;
  std::string error;
};

// Reads what `stream` holds (its first bytes, `head`, already read) as a message, an mbox
// or an archive, at container level `depth` + 1. `fd` is the listed file's descriptor when
// the stream is that file (archives are then read with seeking), else -1; `sizeHint` its
// expected size (0 when unknown). `messageOnly`: never a container (a maildir's files).
struct StreamPlace {
  int fd = -1;
  uint64_t sizeHint = 0;
  unsigned depth = 0;
  bool messageOnly = false;
  bool archived = false;  // out of an archive or compressed stream
};

// The size limit for a message read from `place`.
uint64_t messageLimit(const ExpandOptions& options, const StreamPlace& place);
void expandStream(Walk& walk, const std::string& name, Stream& stream, std::string head, bool atEnd,
                  const StreamPlace& place);

// Reads the archive or compressed stream that `stream` holds (see expandStream).
void expandArchive(Walk& walk, const std::string& name, Stream& stream, std::string head,
                   bool atEnd, const StreamPlace& place);

// Reads up to `want` bytes more into `out`; returns false on failure (stream.error says
// why). `atEnd` is set when the stream ended.
bool readSome(Stream& stream, std::string& out, size_t want, bool& atEnd);

}  // namespace corpus
