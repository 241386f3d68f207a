#include "run/memory_limit.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
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

TEST(DefaultMemoryLimit, SharedBetweenConcurrentMessages) {
  const uint64_t one = run::defaultMemoryLimit(1);
  const uint64_t four = run::defaultMemoryLimit(4);
  EXPECT_GE(one, 16 * kMiB);
  EXPECT_LE(four, one / 4 + kMiB);
}

}  // namespace
