// Which names two runs have given so far: an exact set at about 8 bytes a name, for telling a
// repeated name from a new one when the names themselves are no longer held.
//
// Each name keeps a slot in a table (Robin Hood hashing over a keyed 64-bit hash): 24 bits of
// the hash beside the slot's place, and where the name can be read again, the line of the run
// that first gave it. Two names whose hash bits agree (about one lookup in 65,000 at ten
// million names) are told apart by reading the earlier name back. A run that cannot be read
// again (a pipe) keeps its names in memory instead, as does a line beyond 2^30.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace report {

class NameIndex {
 public:
  // Reads back the name of the record on line `line` (1-based) of run `run` (0 or 1); nothing
  // when it cannot.
  using NameReader = std::function<std::optional<std::string>(int run, uint64_t line)>;

  NameIndex();

  // Names of the runs `reader` can read back (the others are held in memory).
  void setReader(NameReader reader, bool run0, bool run1);

  // Adds `name`, met on line `line` of `run`; false when it had been met before, in either run.
  bool insert(std::string_view name, int run, uint64_t line);

  // Room for `names` names without growing (at once: a table that grows doubles, holding the old
  // one and the new one together for a moment).
  void reserve(size_t names);

  size_t size() const { return size_; }
  // Bytes held: the table, and the names kept in memory.
  size_t memoryBytes() const;

 private:
  struct Carried {
    uint64_t slot, home;
  };
  uint64_t hashOf(std::string_view name) const;
  bool matches(uint64_t slot, std::string_view name) const;
  static std::optional<Carried> placeIn(std::vector<uint64_t>& table, unsigned bits, uint64_t slot,
                                        uint64_t home);
  static Carried doubled(Carried c);
  // Moves every entry (and `extra`) to a table twice the size (at least 2^minBits slots), or
  // larger if need be.
  void rebuild(const std::optional<Carried>& extra, unsigned minBits);

  uint64_t key0_ = 0, key1_ = 0;
  std::vector<uint64_t> slots_;
  unsigned capacityBits_ = 0;
  unsigned exactBits_ = 0;  // remainder bits every slot still holds (fewer after each growth)
  size_t size_ = 0;
  NameReader reader_;
  bool rereadable_[2] = {false, false};
  std::string held_;                   // names kept in memory, one after another
  std::vector<uint64_t> heldOffsets_;  // where each begins, and where the last ends
  std::unordered_set<std::string> overflow_;
};

}  // namespace report
