// The top-level header lookup: names are read as Latin-1, trimmed of white space (Latin-1's
// NEL and no-break space among it) and compared ignoring ASCII case.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "email/mime/mime.h"
#include "email/reader.h"

namespace {

namespace mime = email::mime;

struct LookupCase {
  std::string headerName;  // the bytes before the colon
  const char* wanted;
  bool found;
};

TEST(FindHeader, TrimsLatin1WhiteSpaceAndIgnoresCase) {
  const LookupCase cases[] = {
      {"To", "To", true},      {"tO", "To", true},          {"To ", "To", true},
      {"\tTo", "To", true},    {"To\xA0", "To", true},  // no-break space
      {"\x85To", "To", true},                           // next line
      {"T o", "To", false},    {"Tox", "To", false},        {"T", "To", false},
      {"To\xE9", "To", false},                               // a Latin-1 letter is not white space
      {"DATE", "Date", true},  {"Date \x0B", "Date", true},  // vertical tab
      {"Dat", "Date", false},  {"Cc", "To", false},
  };
  for (const auto& c : cases) {
    const std::string message = c.headerName + ": value\r\n\r\nbody\r\n";
    const mime::ParsedMessage parsed = mime::parseMessage(message);
    ASSERT_TRUE(parsed.ok()) << c.headerName;
    size_t cursor = 0;
    const std::optional<mime::Header> header = email::findHeader(parsed, cursor, c.wanted);
    EXPECT_EQ(header.has_value(), c.found) << testing::PrintToString(c.headerName);
  }
}

TEST(FindHeader, CursorMovesPastEachMatch) {
  const std::string message = "To: a@x\r\nSubject: s\r\nto : b@y\r\nX: 1\r\n\r\n";
  const mime::ParsedMessage parsed = mime::parseMessage(message);
  size_t cursor = 0;
  const std::optional<mime::Header> first = email::findHeader(parsed, cursor, "To");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->value, "a@x");
  const std::optional<mime::Header> second = email::findHeader(parsed, cursor, "To");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->value, "b@y");
  EXPECT_FALSE(email::findHeader(parsed, cursor, "To"));
}

}  // namespace
