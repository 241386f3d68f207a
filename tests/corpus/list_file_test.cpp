#include "corpus/list_file.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using Entries = std::vector<std::string>;

Entries split(std::string_view text) {
  Entries out;
  for (std::string_view entry : corpus::splitListEntries(text)) out.emplace_back(entry);
  return out;
}

struct SplitCase {
  const char* label;
  std::string text;
  Entries expected;
};

TEST(SplitListEntries, Table) {
  const std::vector<SplitCase> cases = {
      {"empty file", "", {}},
      {"only blank and comment lines", "\n   \n# one\n\t# two\r\n", {}},
      {"last line without line end", "a.eml\nb.eml", {"a.eml", "b.eml"}},
      {"mixed", "  a b.eml  \n\n# skip\n   # skip too\nc.eml\r\n", {"a b.eml", "c.eml"}},
      {"hash later in a line is kept", "mail#1.eml\n", {"mail#1.eml"}},
      {"lone CR in the middle stays", "a\rb.eml\n", {"a\rb.eml"}},
      {"CR at the very end without LF is trimmed as white space", "a.eml\r", {"a.eml"}},
      {"two CRs before LF: both go (one ending, one trimmed)", "a.eml\r\r\n", {"a.eml"}},
      {"unicode white space around an entry",
       "\xC2\xA0\xE3\x80\x80x.eml\xE2\x80\xA8\xC2\x85\n",
       {"x.eml"}},
      {"white space inside an entry is kept",
       "\xE2\x80\x83 a\xC2\xA0"
       "b.eml \n",
       {"a\xC2\xA0"
        "b.eml"}},
      {"zero width space is not white space", "\xE2\x80\x8Bz.eml\n", {"\xE2\x80\x8Bz.eml"}},
      {"byte-order mark is kept on the first line",
       "\xEF\xBB\xBF# not a comment\n# comment\n",
       {"\xEF\xBB\xBF# not a comment"}},
      {"byte-order mark before a path",
       "\xEF\xBB\xBF"
       "a.eml\n",
       {"\xEF\xBB\xBF"
        "a.eml"}},
      {"duplicates are kept", "a.eml\na.eml\n", {"a.eml", "a.eml"}},
      {"windows path", "dir\\m.eml\r\n", {"dir\\m.eml"}},
      {"vertical tab and form feed trimmed", "\x0B\x0Cm.eml\x0C\n", {"m.eml"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(split(c.text), c.expected) << c.label;
  }
}

TEST(JoinPath, Table) {
  struct Case {
    const char* root;
    const char* entry;
    const char* expected;
  };
  const Case cases[] = {
      {".", "a.eml", "./a.eml"},
      {"corpus", "sub/a.eml", "corpus/sub/a.eml"},
      {"corpus/", "a.eml", "corpus/a.eml"},
      {"corpus", "/abs/a.eml", "/abs/a.eml"},
      {"", "a.eml", "a.eml"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(corpus::joinPath(c.root, c.entry), c.expected) << c.root << " + " << c.entry;
  }
}

}  // namespace
