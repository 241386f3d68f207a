#include "run/shard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(ParseShard, Table) {
  struct Case {
    const char* text;
    std::optional<run::Shard> expected;
  };
  const Case cases[] = {
      {"0/1", run::Shard{0, 1}}, {"2/7", run::Shard{2, 7}},
      {"6/7", run::Shard{6, 7}}, {"7/7", std::nullopt},
      {"0/0", std::nullopt},     {"1", std::nullopt},
      {"/2", std::nullopt},      {"1/", std::nullopt},
      {"-1/2", std::nullopt},    {"+1/2", std::nullopt},
      {"1/2 ", std::nullopt},    {"1 /2", std::nullopt},
      {"a/2", std::nullopt},     {"1/2/3", std::nullopt},
      {"", std::nullopt},        {"99999999999999999999/1", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto got = run::parseShard(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.text;
    if (got) {
      EXPECT_EQ(got->index, c.expected->index) << c.text;
      EXPECT_EQ(got->count, c.expected->count) << c.text;
    }
  }
}

// The slices of shards 0..N-1 are contiguous, in order, cover every entry once and differ in
// size by at most one, whatever the counts (more shards than entries included).
TEST(SliceOf, ShardsTileTheEntries) {
  for (const size_t entries : {size_t{0}, size_t{1}, size_t{5}, size_t{10302}, size_t{49140}}) {
    for (const uint64_t count : {1u, 2u, 3u, 7u, 64u}) {
      size_t next = 0;
      for (uint64_t k = 0; k < count; ++k) {
        const run::Slice slice = run::sliceOf({k, count}, entries);
        EXPECT_EQ(slice.begin, next) << entries << " " << k << "/" << count;
        EXPECT_LE(slice.end - slice.begin, entries / count + 1);
        EXPECT_GE(slice.end - slice.begin, entries / count);
        next = slice.end;
      }
      EXPECT_EQ(next, entries) << entries << " /" << count;
    }
  }
}

}  // namespace
