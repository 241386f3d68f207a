// Plain address lists take a short scan instead of the state machine. These cases pin the
// mailboxes the scan must give, and the values it must leave to the machine (where a stray
// comma, a missing "@" or text after '>' changes the outcome).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "email/mime/mime.h"

namespace {

namespace mime = email::mime;

// "name|address" per mailbox ("-" for no display name), or "fail".
std::vector<std::string> describe(const mime::AddressList& list) {
  if (!list.ok) return {"fail"};
  std::vector<std::string> out;
  for (const auto& item : list.items) {
    if (item.isGroup) {
      out.push_back("group " + item.groupName);
      continue;
    }
    out.push_back(item.mailbox.displayName.value_or("-") + "|" + item.mailbox.address);
  }
  return out;
}

struct PlainCase {
  const char* value;
  std::vector<std::string> want;
  bool plain;  // whether the scan takes it (countPlainMailboxes answers)
};

TEST(PlainAddressList, ScanGivesTheMachinesMailboxes) {
  const PlainCase cases[] = {
      {"", {}, true},
      {"a@example.org", {"-|a@example.org"}, true},
      {"a@x, b@y,c@z", {"-|a@x", "-|b@y", "-|c@z"}, true},
      {"a@x,", {"-|a@x"}, true},                     // a trailing comma ends the list
      {"a@x ,\r\n\tb@y", {"-|a@x", "-|b@y"}, true},  // folds join lines with one space
      {"john doe@x", {"-|john doe@x"}, true},        // inner white space is kept
      {"a@x\r\n  more@y", {"-|a@x more@y"}, true},   // a fold inside an address
      {"Ann <a@x>, <b@y>", {"Ann|a@x", "-|b@y"}, true},
      {"e-mail <.c@enron.com>", {"e-mail|.c@enron.com"}, true},
      {"Ann  Lee\t<a@x>", {"Ann  Lee|a@x"}, true},  // the name is trimmed at its end only
      {"<a, b @x>", {"-|a, b @x"}, true},           // brackets keep everything as written
      {"<a@x>  ,  b@y", {"-|a@x", "-|b@y"}, true},
      {"x>y <a@x>", {"x>y|a@x"}, true},
      // Left to the machine.
      {"a@x,,b@y", {"-|a@x", "-|,b@y"}, false},  // a stray comma opens an address
      {",a@x", {"-|,a@x"}, false},
      {"a@x, b", {"fail"}, false},                    // no "@"
      {"<a@x", {"fail"}, false},                      // unclosed bracket
      {"<a@x> b@y", {"fail"}, false},                 // text after '>'
      {"\"Ann\" <a@x>", {"Ann|a@x"}, false},          // quotes
      {"=?utf-8?q?Ann?= <a@x>", {"Ann|a@x"}, false},  // encoded word
      {"team: a@x;", {"group team"}, false},
      {"a@x (home)", {"-|a@x"}, false},
      {"caf\xC3\xA9@x", {"-|caf\xC3\xA9@x"}, false},  // not ASCII
      {"a@x\rb@y", {"-|a@x\rb@y"}, false},            // a CR that does not start CRLF
  };
  for (const auto& c : cases) {
    const mime::Header header{"To", c.value};
    EXPECT_EQ(describe(mime::parseAddressList(header)), c.want) << c.value;
    const std::optional<size_t> count = mime::countPlainMailboxes(header);
    EXPECT_EQ(count.has_value(), c.plain) << c.value;
    if (count) {
      EXPECT_EQ(*count, c.want.size()) << c.value;
    }
  }
}

}  // namespace
