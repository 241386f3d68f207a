// The work for one message: the probe and the reader over its bytes, under the memory
// limit, reduced to its record line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace run {

struct MessageWork {
  std::string_view line;    // the record line, in the caller's buffer
  bool unreadable = false;  // the record carries a readError
  bool failed = false;      // the message could not be processed (outcome "failed")
  std::string failure;      // the failure text of a failed message
};

// Makes the record line (the JSON object and "\n") of the message `bytes` named `name` in
// `buffer` (reused between messages; the line is a view into it). `readError` is empty for a
// message that was read, else the description of why it could not be (the bytes are then empty).
// Allocations of the parse, the probe and the reader count against `memoryLimit` bytes; a message
// that needs more gets a record with outcome "failed", the probe if it finished, and the run goes
// on.
MessageWork makeRecordLine(std::string& buffer, std::string_view name, std::string_view bytes,
                           std::string_view readError, uint64_t memoryLimit);

}  // namespace run
