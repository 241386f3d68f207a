#include "run/memory_limit.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

TEST(MemoryLimit, AnAllocationOverTheLimitFailsBeforeMemoryIsTaken) {
  run::MemoryLimit limit(4 * kMiB);
  std::vector<char> fits(3 * kMiB);
  EXPECT_THROW(std::vector<char>(2 * kMiB), std::bad_alloc);
  EXPECT_TRUE(limit.exceeded());
  // A request far beyond any machine fails the same way, without asking the system.
  EXPECT_THROW((void)std::make_unique<char[]>(size_t{1} << 60), std::bad_alloc);
  char* nothing = new (std::nothrow) char[8 * kMiB];
  EXPECT_EQ(nothing, nullptr);
}

TEST(MemoryLimit, FreedMemoryCountsNoMore) {
  run::MemoryLimit limit(4 * kMiB);
  for (int i = 0; i < 100; ++i) {
    std::vector<char> taken(3 * kMiB);
    taken.back() = 1;
  }
  EXPECT_FALSE(limit.exceeded());
}

TEST(MemoryLimit, CountsOnlyItsOwnThreadAndOnlyWhileOpen) {
  {
    run::MemoryLimit limit(kMiB);
    std::thread other([] { std::vector<char> large(16 * kMiB); });
    other.join();
    EXPECT_FALSE(limit.exceeded());
  }
  std::vector<char> afterwards(16 * kMiB);
  EXPECT_EQ(afterwards.size(), 16 * kMiB);
}

// Messages one after the other on one thread, each under its own limit of 4 MiB: what one
// message took, freed or was refused must not change what the next one may take.
struct Step {
  enum class Kind { Start, End, Take, Free, Exceeded };
  Kind kind;
  int slot = 0;          // Take, Free: which allocation
  uint64_t bytes = 0;    // Take
  bool expected = true;  // Take: let through; Exceeded: the answer
};

Step startMessage() {
  return {Step::Kind::Start};
}
Step endMessage() {
  return {Step::Kind::End};
}
Step take(int slot, uint64_t bytes, bool fits) {
  return {Step::Kind::Take, slot, bytes, fits};
}
Step release(int slot) {
  return {Step::Kind::Free, slot};
}
Step exceeded(bool answer) {
  return {Step::Kind::Exceeded, 0, 0, answer};
}

TEST(MemoryLimit, EveryMessageStartsFromNothing) {
  constexpr uint64_t kHalfMiB = kMiB / 2;
  const struct {
    const char* label;
    std::vector<Step> steps;
  } cases[] = {
      {"memory taken before a message and freed in it gives no later message more room",
       {take(0, 3 * kMiB, true), startMessage(), release(0), endMessage(),  //
        startMessage(), take(1, 3 * kMiB, true), take(2, 2 * kMiB, false), exceeded(true),
        endMessage()}},
      {"a message may free memory taken before it and then take its own",
       {take(0, 3 * kMiB, true), startMessage(), release(0), take(1, 3 * kMiB, true),
        exceeded(false), endMessage()}},
      {"memory a message keeps takes no room from the next",
       {startMessage(), take(0, 3 * kMiB, true), endMessage(),  //
        startMessage(), take(1, 3 * kMiB, true), exceeded(false), endMessage()}},
      {"a refused request is not counted, and the next message is not refused",
       {startMessage(), take(0, 3 * kMiB, true), take(1, 2 * kMiB, false), exceeded(true),
        take(2, 2 * kMiB, false), take(3, kHalfMiB, true), release(0), release(3), endMessage(),  //
        startMessage(), exceeded(false), take(4, 3 * kMiB, true), take(5, kHalfMiB, true),
        take(6, 2 * kMiB, false), endMessage(),  //
        startMessage(), exceeded(false), take(7, 3 * kMiB, true), endMessage()}},
  };
  for (const auto& c : cases) {
    std::optional<run::MemoryLimit> limit;
    std::array<void*, 8> slots{};
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      switch (step.kind) {
        case Step::Kind::Start:
          limit.emplace(4 * kMiB);
          break;
        case Step::Kind::End:
          limit.reset();
          break;
        case Step::Kind::Take:
          slots[step.slot] = ::operator new(step.bytes, std::nothrow);
          EXPECT_EQ(slots[step.slot] != nullptr, step.expected) << c.label << ", step " << i;
          break;
        case Step::Kind::Free:
          ::operator delete(slots[step.slot]);
          slots[step.slot] = nullptr;
          break;
        case Step::Kind::Exceeded:
          EXPECT_EQ(limit->exceeded(), step.expected) << c.label << ", step " << i;
          break;
      }
    }
    limit.reset();
    for (void* p : slots) ::operator delete(p);
  }
}

TEST(DefaultMemoryLimit, SharedBetweenConcurrentMessages) {
  const uint64_t one = run::defaultMemoryLimit(1);
  const uint64_t four = run::defaultMemoryLimit(4);
  EXPECT_GE(one, 16 * kMiB);
  EXPECT_LE(four, one / 4 + kMiB);
}

}  // namespace
