#include "email_ventry_report/name_index.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

// Half a million names, a fifth of them repeats (near and far, in either run), against an exact
// set: whether the names are held in memory or read back by line, through the table's growth
// (which leaves fewer hash bits in each slot, so more names share them and must be read back).
TEST(NameIndex, TellsRepeatedNamesExactly) {
  std::mt19937_64 random(5);
  std::vector<std::string> names;
  for (int i = 0; i < 500000; ++i) {
    if (i > 0 && random() % 5 == 0) {
      names.push_back(names[random() % names.size()]);
    } else {
      names.push_back("corpus/" + std::to_string(random() % 100000000) + ".eml");
    }
  }
  for (bool rereadable : {false, true}) {
    SCOPED_TRACE(rereadable ? "read back" : "held");
    report::NameIndex index;
    size_t readBack = 0;
    // Run 0 holds the even lines, run 1 the odd ones; line n of a run is names[2n + run - 2].
    index.setReader(
        [&](int run, uint64_t line) -> std::optional<std::string> {
          ++readBack;
          const size_t at = 2 * line + static_cast<size_t>(run) - 2;
          if (line == 0 || at >= names.size()) return std::nullopt;
          return names[at];
        },
        rereadable, rereadable);
    std::unordered_set<std::string> seen;
    size_t wrong = 0, repeats = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i == names.size() / 4 && rereadable) index.reserve(names.size() / 2);  // at once
      const bool fresh = seen.insert(names[i]).second;
      repeats += fresh ? 0 : 1;
      const int run = static_cast<int>(i % 2);
      wrong += index.insert(names[i], run, i / 2 + 1) != fresh ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(index.size(), seen.size());
    // Every repeat is read back to be sure, and hardly anything else.
    if (rereadable) {
      EXPECT_GE(readBack, repeats);
      EXPECT_LT(readBack, repeats + 100);
    } else {
      EXPECT_EQ(readBack, 0u);
    }
    // About 8 bytes a name, and the names themselves when they cannot be read back.
    EXPECT_LT(index.memoryBytes(), seen.size() * 8 * 2 + (rereadable ? 0 : seen.size() * 40));
  }
}

// Lines too far down to be named in a slot keep their names in memory.
TEST(NameIndex, FarLinesAndReservedRoom) {
  report::NameIndex index;
  index.setReader([](int, uint64_t) { return std::optional<std::string>(); }, true, true);
  index.reserve(200000);
  const uint64_t far = uint64_t{1} << 40;
  EXPECT_TRUE(index.insert("a", 0, far));
  EXPECT_TRUE(index.insert("b", 1, far + 1));
  EXPECT_FALSE(index.insert("a", 1, far + 2));
  EXPECT_FALSE(index.insert("b", 0, 7));
  EXPECT_TRUE(index.insert("c", 0, 8));
  EXPECT_EQ(index.size(), 3u);
}

}  // namespace
