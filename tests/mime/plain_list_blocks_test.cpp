// Plain address lists are recognised and scanned sixteen bytes at a time: every byte that
// rules the short scan out must do so wherever it sits in a block, and names and addresses
// of every length must split where they do byte by byte.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "email/mime/mime.h"

namespace {

namespace mime = email::mime;

std::optional<size_t> countOf(const std::string& value) {
  return mime::countPlainMailboxes(mime::Header{"To", value});
}

TEST(PlainListBlocks, ABytePlacedAnywhereInTheNameKeepsOrRulesOutTheScan) {
  struct ByteCase {
    const char* what;
    std::string inserted;
    bool plain;
  } cases[] = {
      {"letter", "x", true},
      {"question mark alone", "?", true},
      {"tab", "\t", true},
      {"braces and tilde", "{~}", true},
      {"equals then question mark", "=?", false},
      {"double quote", "\"", false},
      {"open parenthesis", "(", false},
      {"close parenthesis", ")", false},
      {"open bracket", "[", false},
      {"backslash", "\\", false},
      {"close bracket", "]", false},
      {"colon", ":", false},
      {"semicolon", ";", false},
      {"control byte", "\x01", false},
      {"vertical tab", "\x0B", false},
      {"lone CR", "\r", false},
      {"DEL", "\x7F", false},
      {"high byte", "\x80", false},
      {"0xFF", "\xFF", false},
      {"UTF-8 letter", "\xC3\xA9", false},
  };
  for (const ByteCase& c : cases) {
    for (size_t at = 1; at < 40; ++at) {
      const std::string value = std::string(at, 'n') + c.inserted + std::string(40 - at, 'm') +
                                " <c@d.example>, e@f.example";
      const std::optional<size_t> count = countOf(value);
      if (c.plain) {
        EXPECT_EQ(count, std::optional<size_t>(2)) << c.what << " at " << at;
      } else {
        EXPECT_EQ(count, std::nullopt) << c.what << " at " << at;
      }
    }
  }
}

TEST(PlainListBlocks, MailboxesAreCountedForEveryNameAndAddressLength) {
  struct ListCase {
    const char* what;
    std::string (*make)(size_t length);
    std::optional<size_t> want;
  } cases[] = {
      {"named mailboxes",
       [](size_t n) { return std::string(n, 'a') + " <x@y>, " + std::string(n, 'b') + " <z@w>"; },
       2},
      {"bare addresses",
       [](size_t n) { return std::string(n, 'a') + "@y, " + std::string(n, 'b') + "@w, q@r"; }, 3},
      {"a bare word without @ needs the machine",
       [](size_t n) { return std::string(n + 1, 'a') + ", x@y"; }, std::nullopt},
      {"an unclosed bracket needs the machine",
       [](size_t n) { return std::string(n, 'a') + " <x@y" + std::string(n, 'c'); }, std::nullopt},
      {"a folded list",
       [](size_t n) { return std::string(n, 'a') + " <x@y>,\r\n " + std::string(n, 'b') + "@w"; },
       2},
  };
  for (const ListCase& c : cases) {
    for (size_t length = 0; length < 40; ++length) {
      EXPECT_EQ(countOf(c.make(length)), c.want) << c.what << ", length " << length;
    }
  }
}

}  // namespace
