// The counting operator new and delete behind MemoryLimit. The count lives in one
// thread-local record per thread: work on one message never sees another thread's count.
#include "run/memory_limit.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

namespace run {
namespace {

struct ThreadCount {
  bool active = false;
  bool exceeded = false;
  uint64_t limit = 0;
  int64_t used = 0;  // net bytes taken since the limit opened (frees of older memory count too)
};

thread_local ThreadCount count;

void* countedAllocate(std::size_t size, std::size_t alignment) {
  ThreadCount& c = count;
  if (c.active &&
      (size > c.limit || c.used + static_cast<int64_t>(size) > static_cast<int64_t>(c.limit))) {
    c.exceeded = true;
    return nullptr;
  }
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size == 0 ? 1 : size);
  } else if (::posix_memalign(&p, alignment, size == 0 ? alignment : size) != 0) {
    p = nullptr;
  }
  if (p != nullptr && c.active) c.used += static_cast<int64_t>(::malloc_usable_size(p));
  return p;
}

void countedFree(void* p) noexcept {
  if (p == nullptr) return;
  ThreadCount& c = count;
  if (c.active) c.used -= static_cast<int64_t>(::malloc_usable_size(p));
  std::free(p);
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
  void* p = countedAllocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// A number from the first line of a file, or 0 when there is none ("max", missing file).
uint64_t numberIn(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoull(word);
}

// The memory limit of the process's control group (cgroup v2), or 0.
uint64_t controlGroupLimit() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("0::", 0) == 0)
      return numberIn("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
  }
  return 0;
}

// The address space mapped so far, in bytes.
uint64_t mappedNow() {
  std::ifstream in("/proc/self/statm");
  uint64_t pages = 0;
  in >> pages;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

MemoryLimit::MemoryLimit(uint64_t limitBytes) {
  count = ThreadCount{true, false, limitBytes, 0};
}

MemoryLimit::~MemoryLimit() {
  count.active = false;
}

bool MemoryLimit::exceeded() const {
  return count.exceeded;
}

uint64_t defaultMemoryLimit(unsigned concurrent) {
  const auto pageSize = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  uint64_t usable = static_cast<uint64_t>(::sysconf(_SC_PHYS_PAGES)) * pageSize;
  if (const uint64_t group = controlGroupLimit(); group != 0) usable = std::min(usable, group);
  // Address-space limits count what is mapped already, and every thread's stack.
  const uint64_t mapped = mappedNow() + uint64_t{concurrent + 2} * 8 * 1024 * 1024;
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      const uint64_t cap = limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0;
      usable = std::min<uint64_t>(usable, cap);
    }
  }
  const uint64_t share = usable / 2 / std::max(concurrent, 1u);
  return std::max<uint64_t>(share, 16 * 1024 * 1024);
}

}  // namespace run

// The replaceable allocation functions, all through the count above.
void* operator new(std::size_t size) {
  return run::allocateOrThrow(size, 0);
}
void* operator new[](std::size_t size) {
  return run::allocateOrThrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
  return run::allocateOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return run::allocateOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return run::countedAllocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return run::countedAllocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return run::countedAllocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return run::countedAllocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p) noexcept {
  run::countedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  run::countedFree(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  run::countedFree(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  run::countedFree(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  run::countedFree(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  run::countedFree(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  run::countedFree(p);
}
