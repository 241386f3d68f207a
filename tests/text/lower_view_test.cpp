#include <gtest/gtest.h>

#include <string>

#include "text/text.h"

namespace {

// The view form must give exactly what unicodeLower gives, and hand back the input itself
// only when nothing changes.
TEST(UnicodeLowerView, AgreesWithUnicodeLowerAndCopiesOnlyWhenItMust) {
  struct Case {
    std::string in;
    bool viewsInput;
  } cases[] = {
      {"", true},
      {"text/plain", true},
      {"multipart/alternative", true},
      {"application/vnd.ms-excel+xml; x=1", true},
      {"Text/Plain", false},
      {"multipart/ALTERNATIVE", false},
      {"text/z@[", true},                        // '@' and '[' sit beside 'A' and 'Z'
      {"text/\xC3\xA9t\xC3\xA9", false},         // non-ASCII goes through the full mapping
      {"TEXT/\xCE\xA3\xCE\x91\xCE\xA3", false},  // final sigma
      {"\xC4\xB0stanbul", false},                // dotted capital I
  };
  for (const Case& c : cases) {
    std::string storage = "left over";
    const std::string_view got = text::unicodeLowerView(c.in, storage);
    EXPECT_EQ(got, text::unicodeLower(c.in)) << c.in;
    EXPECT_EQ(got.data() == c.in.data(), c.viewsInput) << c.in;
  }
}

}  // namespace
