// A limit on the memory one message's work may take, so that no message, however hostile,
// can exhaust the machine and end the run.
//
// While a MemoryLimit is open on a thread, every allocation through operator new on that
// thread is counted (net of what it frees), and one that would take the count above the
// limit fails the standard way, with std::bad_alloc, before any memory is asked for. The
// work for one message catches that and records the message as failed. Counting, not the
// kernel, decides: under Linux overcommit an allocation the machine cannot back may
// succeed and the process be killed later, so waiting for a real allocation failure would
// not hold.
#pragma once

#include <cstdint>

namespace run {

class MemoryLimit {
 public:
  explicit MemoryLimit(uint64_t limitBytes);
  ~MemoryLimit();
  MemoryLimit(const MemoryLimit&) = delete;
  MemoryLimit& operator=(const MemoryLimit&) = delete;

  // Whether an allocation was refused because of the limit (as opposed to the system
  // running out of memory below it).
  bool exceeded() const;
};

// The default limit for one message when `concurrent` messages are worked on at once: half
// of the memory the process may use (the smallest of the machine's memory, its control
// group's limit and the address-space and data limits, less what is mapped already),
// shared between them.
uint64_t defaultMemoryLimit(unsigned concurrent);

}  // namespace run
