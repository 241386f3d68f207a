#include "run/shard.h"

#include "text/text.h"

namespace run {
std::optional<Shard> parseShard(std::string_view text) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto index = text::parseDecimal(text.substr(0, slash));
  const auto count = text::parseDecimal(text.substr(slash + 1));
  if (!index || !count || *count == 0 || *index >= *count) return std::nullopt;
  return Shard{*index, *count};
}

Slice sliceOf(const Shard& shard, size_t entries) {
  auto boundary = [&](uint64_t k) {
    return static_cast<size_t>(static_cast<unsigned __int128>(k) * entries / shard.count);
  };
  return {boundary(shard.index), boundary(shard.index + 1)};
}

}  // namespace run
