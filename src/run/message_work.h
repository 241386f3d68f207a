// The work for one message: the probe and the reader over its bytes, under the memory
// limit, reduced to its record line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "readers/reader.h"

namespace run {

struct MessageWork {
  std::string_view line;    // the record line, in the caller's buffer
  bool unreadable = false;  // the record carries a readError
  bool failed = false;      // the message could not be processed (outcome "failed")
  std::string failure;      // the failure text of a failed message
  // The run ends before this message's record (there is no line): a stop signal came while
  // the reader worked on it, or the reader could not be started again (`lost` holds the
  // diagnostic).
  bool stopped = false;
  std::string lost;
};

// Makes the record line (the JSON object and "\n") of the message `bytes` named `name` in
// `buffer` (reused between messages; the line is a view into it), with `reader`'s part of it.
// `handedOver`: the message was handed to the reader (Reader::send) ahead of its work, so a
// reader in another process could start on it while the one before was finished; otherwise
// it is handed over here. `readError` is empty for a message that was read, else the
// description of why it could not be (the bytes are then empty). Allocations of the parse, the
// probe and the built-in reader count against `memoryLimit` bytes; a message that needs more gets a
// record with outcome "failed", the probe if it finished, and the run goes on. So does a message a
// reader under test failed on ("Reader: ...").
MessageWork makeRecordLine(std::string& buffer, std::string_view name, std::string_view bytes,
                           std::string_view readError, uint64_t memoryLimit,
                           readers::Reader& reader, bool handedOver);

}  // namespace run
