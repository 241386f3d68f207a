// Shards: the K-th of N contiguous slices of a list's entries, so that the outputs of
// shards 0 to N-1, concatenated in order, are the output of the whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace run {

struct Shard {
  uint64_t index = 0;  // K, from 0
  uint64_t count = 1;  // N
};

// "K/N" with 0 <= K < N, both decimal; nothing else.
std::optional<Shard> parseShard(std::string_view text);

struct Slice {
  size_t begin = 0;
  size_t end = 0;
};

// The entries [begin, end) of `shard` among `entries`: slice K starts at floor(K * E / N).
Slice sliceOf(const Shard& shard, size_t entries);

}  // namespace run
