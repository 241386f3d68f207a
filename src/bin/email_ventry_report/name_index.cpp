#include "email_ventry_report/name_index.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace report {
namespace {

// A slot, from the top: 24 remainder bits of the hash (the bits after those that chose the
// home slot), 7 bits of distance from the home slot, "occupied", "held in memory", the run,
// and 30 bits for the line (or the index of the held name).
constexpr unsigned kRemainderShift = 40;
constexpr uint64_t kRemainderField = (uint64_t{1} << 24) - 1;
constexpr unsigned kDistanceShift = 33;
constexpr uint64_t kMaxDistance = 127;
constexpr uint64_t kOccupied = uint64_t{1} << 32;
constexpr uint64_t kHeld = uint64_t{1} << 31;
constexpr uint64_t kRunBit = uint64_t{1} << 30;
constexpr uint64_t kRefLimit = uint64_t{1} << 30;
constexpr unsigned kInitialBits = 16;

uint64_t remainderOf(uint64_t slot) {
  return slot >> kRemainderShift;
}
uint64_t distanceOf(uint64_t slot) {
  return (slot >> kDistanceShift) & kMaxDistance;
}
uint64_t withDistance(uint64_t slot, uint64_t distance) {
  return (slot & ~(kMaxDistance << kDistanceShift)) | (distance << kDistanceShift);
}

uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

void sipRound(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

// SipHash-1-3: keyed, so that no input can be made to pile its names onto one slot.
uint64_t sipHash13(uint64_t k0, uint64_t k1, std::string_view data) {
  uint64_t v0 = 0x736f6d6570736575ull ^ k0;
  uint64_t v1 = 0x646f72616e646f6dull ^ k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ k0;
  uint64_t v3 = 0x7465646279746573ull ^ k1;
  const size_t whole = data.size() & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    std::memcpy(&m, data.data() + i, 8);
    v3 ^= m;
    sipRound(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(data.size()) << 56;
  for (size_t i = whole; i < data.size(); ++i) {
    last |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * (i - whole));
  }
  v3 ^= last;
  sipRound(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) sipRound(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

NameIndex::NameIndex() : slots_(size_t{1} << kInitialBits, 0), capacityBits_(kInitialBits) {
  exactBits_ = 24;
  uint64_t key[2] = {0, 0};
  if (getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
    // No random bytes: the time and an address still differ from run to run.
    key[0] = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key[1] = reinterpret_cast<uintptr_t>(this);
  }
  key0_ = key[0];
  key1_ = key[1];
  heldOffsets_.push_back(0);
}

void NameIndex::setReader(NameReader reader, bool run0, bool run1) {
  reader_ = std::move(reader);
  rereadable_[0] = run0 && reader_;
  rereadable_[1] = run1 && reader_;
}

size_t NameIndex::memoryBytes() const {
  size_t overflow = 0;
  for (const std::string& name : overflow_) overflow += name.capacity() + 48;
  return slots_.capacity() * sizeof(uint64_t) + held_.capacity() +
         heldOffsets_.capacity() * sizeof(uint64_t) + overflow;
}

uint64_t NameIndex::hashOf(std::string_view name) const {
  return sipHash13(key0_, key1_, name);
}

bool NameIndex::matches(uint64_t slot, std::string_view name) const {
  const uint64_t ref = slot & (kRefLimit - 1);
  if (slot & kHeld) {
    return std::string_view(held_).substr(heldOffsets_[ref],
                                          heldOffsets_[ref + 1] - heldOffsets_[ref]) == name;
  }
  const std::optional<std::string> earlier = reader_((slot & kRunBit) ? 1 : 0, ref);
  return earlier && *earlier == name;
}

// Places a slot whose home is `home` in a table of 2^bits slots. When the slot, or one it
// displaces, would land too far from its home, that one is handed back with its home and the
// table holds all the others.
std::optional<NameIndex::Carried> NameIndex::placeIn(std::vector<uint64_t>& table, unsigned bits,
                                                     uint64_t slot, uint64_t home) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  uint64_t pos = home;
  uint64_t distance = 0;
  for (;;) {
    uint64_t& here = table[pos];
    if (!(here & kOccupied)) {
      here = withDistance(slot, distance);
      return std::nullopt;
    }
    // Robin Hood: the entry nearer its home makes way.
    if (distanceOf(here) < distance) {
      const uint64_t evicted = here;
      here = withDistance(slot, distance);
      slot = evicted;
      distance = distanceOf(evicted);
    }
    pos = (pos + 1) & mask;
    if (++distance > kMaxDistance) return Carried{slot, (pos - distance) & mask};
  }
}

// The slot and home of an entry in a table twice the size: the home takes the remainder's
// top bit.
NameIndex::Carried NameIndex::doubled(Carried c) {
  const uint64_t remainder = remainderOf(c.slot);
  return {(c.slot & ~(kRemainderField << kRemainderShift)) |
              (((remainder << 1) & kRemainderField) << kRemainderShift),
          (c.home << 1) | (remainder >> 23)};
}

void NameIndex::rebuild(const std::optional<Carried>& extra, unsigned minBits) {
  const uint64_t oldMask = slots_.size() - 1;
  for (unsigned bits = std::max(capacityBits_ + 1, minBits);; ++bits) {
    std::vector<uint64_t> table(size_t{1} << bits, 0);
    auto move = [&](Carried c) {
      for (unsigned b = capacityBits_; b < bits; ++b) c = doubled(c);
      return !placeIn(table, bits, c.slot, c.home);
    };
    bool placed = !extra || move(*extra);
    for (uint64_t pos = 0; placed && pos < slots_.size(); ++pos) {
      const uint64_t slot = slots_[pos];
      if (slot & kOccupied) placed = move({slot, (pos - distanceOf(slot)) & oldMask});
    }
    if (!placed) continue;  // too crowded a stretch even so: larger still
    const unsigned added = bits - capacityBits_;
    exactBits_ = exactBits_ > added ? exactBits_ - added : 0;
    capacityBits_ = bits;
    slots_.swap(table);
    return;
  }
}

void NameIndex::reserve(size_t names) {
  // Straight to the size wanted: one move of the entries, not one per doubling.
  unsigned bits = capacityBits_;
  while (static_cast<double>(names) > 0.85 * static_cast<double>(uint64_t{1} << bits)) ++bits;
  if (bits == capacityBits_) return;
  if (size_ == 0) {
    capacityBits_ = bits;
    slots_.assign(size_t{1} << bits, 0);
  } else {
    rebuild(std::nullopt, bits);
  }
}

bool NameIndex::insert(std::string_view name, int run, uint64_t line) {
  if (!overflow_.empty() && overflow_.count(std::string(name)) != 0) return false;
  if (static_cast<double>(size_ + 1) > 0.85 * static_cast<double>(slots_.size())) {
    rebuild(std::nullopt, 0);
  }
  const uint64_t hash = hashOf(name);
  const uint64_t mask = (uint64_t{1} << capacityBits_) - 1;
  const uint64_t home = hash >> (64 - capacityBits_);
  const uint64_t remainder = (hash << capacityBits_) >> kRemainderShift;
  const uint64_t exact = kRemainderField & ~((uint64_t{1} << (24 - exactBits_)) - 1);
  uint64_t pos = home;
  for (uint64_t distance = 0;; ++distance) {
    const uint64_t slot = slots_[pos];
    if (!(slot & kOccupied) || distanceOf(slot) < distance) break;
    if (distanceOf(slot) == distance && ((remainderOf(slot) ^ remainder) & exact) == 0 &&
        matches(slot, name)) {
      return false;
    }
    pos = (pos + 1) & mask;
  }
  uint64_t slot = kOccupied | (remainder << kRemainderShift);
  if (rereadable_[run] && line < kRefLimit) {
    slot |= line;
  } else if (heldOffsets_.size() - 1 < kRefLimit) {
    slot |= kHeld | (heldOffsets_.size() - 1);
    held_.append(name);
    heldOffsets_.push_back(held_.size());
  } else {
    overflow_.emplace(name);
    ++size_;
    return true;
  }
  if (run == 1) slot |= kRunBit;
  if (std::optional<Carried> carried = placeIn(slots_, capacityBits_, slot, home)) {
    rebuild(carried, 0);
  }
  ++size_;
  return true;
}

}  // namespace report
