#include "run/shard.h"

#include <charconv>

namespace run {
namespace {

std::optional<uint64_t> decimal(std::string_view text) {
  uint64_t value = 0;
  if (text.empty() || text.front() == '+') return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Shard> parseShard(std::string_view text) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto index = decimal(text.substr(0, slash));
  const auto count = decimal(text.substr(slash + 1));
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
