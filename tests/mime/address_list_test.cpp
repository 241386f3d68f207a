#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "email/mime/mime.h"

namespace {

using email::mime::AddressItem;
using email::mime::AddressList;
using email::mime::Header;
using email::mime::Mailbox;
using email::mime::parseAddressList;

// A compact rendering of a parse result: "fail: <error>", or the items joined by " | ",
// each "addr", "name=addr" (with a quoted name shown as ["name"]) or "group[name]{...}".
std::string renderMailbox(const Mailbox& m) {
  if (!m.displayName) return m.address;
  return "[" + *m.displayName + "]=" + m.address;
}

std::string render(const AddressList& list) {
  if (!list.ok) return "fail: " + list.error;
  std::string out;
  for (const AddressItem& item : list.items) {
    if (!out.empty()) out += " | ";
    if (!item.isGroup) {
      out += renderMailbox(item.mailbox);
      continue;
    }
    out += "group[" + item.groupName + "]{";
    for (size_t i = 0; i < item.members.size(); ++i) {
      if (i) out += ", ";
      out += renderMailbox(item.members[i]);
    }
    out += "}";
  }
  return out;
}

struct ListCase {
  std::string value;
  std::string expected;
};

const std::string kNoAt = "fail: Invalid address found: must contain a '@' symbol";
const std::string kTerminated = "fail: Address string unexpectedly terminated";
const std::string kUnterminatedGroup = "fail: Found unterminated group address";
const std::string kOutsideGroup = "fail: Unexpected group terminator found in initial list";

TEST(AddressList, ReferenceTable) {
  const ListCase cases[] = {
      {"", ""},
      {"a@b.c", "a@b.c"},
      {"John Doe <john@x.org>", "[John Doe]=john@x.org"},
      {"\"Doe, John\" <john@x.org>, jane@x.org", "[Doe, John]=john@x.org | jane@x.org"},
      {"\"unterminated <a@b", kTerminated},
      {"group: a@b, C <c@d>;", "group[group]{a@b, [C]=c@d}"},
      {"group:;", "group[group]{}"},
      {"\"\":;", "group[]{}"},
      {"group:", "group[group]{}"},
      {"group: ", kUnterminatedGroup},
      {"a@b;", "a@b"},
      {"<a@b>;", "a@b"},
      {";a@b", kOutsideGroup},
      {"a@b, ;", kOutsideGroup},
      {"<a@b> x", "fail: Unexpected char found after bracketed address"},
      {"<a@b> (comment)", "a@b"},
      {"<a@b>, , c@d", "a@b | , c@d"},
      {"a@b,,c@d", "a@b | ,c@d"},
      {", a@b", ", a@b"},
      {"foo", kNoAt},
      {"foo <bar>", kNoAt},
      {"<>", kNoAt},
      {"g: h: a@b;;", "fail: Found unexpected nested group"},
      {"g: \"h\": a@b;;", "fail: Found unexpected nested group"},
      {"=?utf-8?q?J=C3=B6rg?= <j@x>", "[Jörg]=j@x"},
      {"=?utf-8?q?J=C3=B6rg?= j@x", kTerminated},
      {"\"=?utf-8?q?J=C3=B6rg?=\" <j@x>", "[Jörg]=j@x"},
      {"<a@b> =?utf-8?q?b?=", "fail: Unexpected encoded word found after bracketed address"},
      {"<=?utf-8?q?b?=>", "fail: Unexpected encoded word found inside bracketed address"},
      {"\"a\" b <c@d>", "[a b]=c@d"},
      {"\"a\" \"b\" <c@d>", "[a b]=c@d"},
      {"\"a\", b@c", kTerminated},
      {"\"a\" <x@y>, \"b\"c <d@e>", "[a]=x@y | [b c]=d@e"},
      {"a (comment) @b", "a  @b"},
      {"(c) a@b", "(c) a@b"},
      {"a@b (unterminated", kTerminated},
      {"Last, First <a@b>", kNoAt},
      {"a@b c@d", "a@b c@d"},
      {"a@b:c", kUnterminatedGroup},
      {"=?utf-8?q?Team?=: a@b;", "group[=?utf-8?q?Team?=]{a@b}"},
      {"a@b <c@d>", "[a@b]=c@d"},
      {"\"multi\r\n line\" <a@b>", "[multi line]=a@b"},
  };
  for (const ListCase& c : cases) {
    EXPECT_EQ(render(parseAddressList(Header{"To", c.value})), c.expected) << c.value;
  }
}

TEST(AddressList, NamesAndGroups) {
  const ListCase cases[] = {
      // Quoted names keep their white space and resolve escapes; an empty or blank quoted
      // name is still a name.
      {"\" \" <a@b.c>", "[ ]=a@b.c"},
      {"\"\" <a@b>", "[]=a@b"},
      {"\"a\\\"b\\\\c\" <x@y>", "[a\"b\\c]=x@y"},
      {"\" \":;", "group[ ]{}"},
      {"<a@b>", "a@b"},
      {"< a@b >", " a@b "},  // nothing is trimmed inside the brackets
      {"Ann <ann@example.org>, undisclosed:;", "[Ann]=ann@example.org | group[undisclosed]{}"},
      // After a group the machine is back at an item start, where ',' is address text.
      {"g: a@b;, c@d", "group[g]{a@b} | , c@d"},
      {"g: <a@b>; c@d", "group[g]{a@b} | c@d"},
      {"g: a@b; h: c@d;", "group[g]{a@b} | group[h]{c@d}"},
      {"g: a@b, foo;", kNoAt},
      {"g: <a@b> x;", "fail: Unexpected char found after bracketed address"},
      {"g: a@b", kUnterminatedGroup},
      {"g: a@b,", kUnterminatedGroup},
      {"John  Doe \t <j@x>", "[John  Doe]=j@x"},
      {"a@b (c) , d@e", "a@b | d@e"},
      {"<a@b> (c)", "a@b"},
      {"<a@b> (c", kTerminated},
      {"\"a", kTerminated},
      {"\"a\\", kTerminated},
      {"<a@b", kTerminated},
      // The decoded text of a word is opaque: its ',' and '<' do not split or open anything.
      {"=?utf-8?q?a=2C_b?= <x@y>", "[a, b]=x@y"},
      {"x@y =?utf-8?q?=3Cz=3E?=", kTerminated},
      {"\"=?utf-8?q?a?=\" =?utf-8?q?b?= <c@d>", "[a b]=c@d"},
      // The white space after a quoted name is kept for the next quoted name that needs it.
      {"\"a\" <x@y>, \"b\" <d@e>, \"c\"d <f@g>", "[a]=x@y | [b]=d@e | [c  d]=f@g"},
  };
  for (const ListCase& c : cases) {
    EXPECT_EQ(render(parseAddressList(Header{"To", c.value})), c.expected) << c.value;
  }
}

TEST(AddressList, LongListsStayLinear) {
  std::string value;
  for (int i = 0; i < 20000; ++i) value += "\"N\" <n@x>,\r\n ";
  value += "g: a@b;";
  AddressList list = parseAddressList(Header{"To", value});
  ASSERT_TRUE(list.ok) << list.error;
  ASSERT_EQ(list.items.size(), 20001u);
  EXPECT_TRUE(list.items.back().isGroup);
}

}  // namespace
