#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "email/mime/header_block.h"
#include "email/mime/mime.h"
#include "email/mime/multipart.h"

namespace {

using email::mime::Header;
using email::mime::kNoPart;
using email::mime::ParsedMessage;
using email::mime::parseMessage;

using NameValue = std::pair<std::string, std::string>;

std::vector<NameValue> namesAndValues(const ParsedMessage& m, uint32_t part) {
  std::vector<NameValue> out;
  for (const Header& h : email::mime::partHeaders(m, part)) out.emplace_back(h.name, h.value);
  return out;
}

std::vector<std::string> childRaws(const ParsedMessage& m, uint32_t parent) {
  std::vector<std::string> out;
  const std::vector<uint32_t> parents = email::mime::parentLinks(m);
  for (uint32_t i = 0; i < m.parts.size(); ++i) {
    if (parents[i] == parent) out.emplace_back(email::mime::partBytes(m, i));
  }
  return out;
}

struct HeaderCase {
  std::string input;
  std::vector<NameValue> headers;
  std::string body;
  std::string error;  // empty when accepted
};

TEST(ParseMessage, HeaderBlock) {
  const std::string space(email::mime::kLeadingSpaceError);
  const std::string loneCr(email::mime::kLoneCrError);
  const std::vector<HeaderCase> cases = {
      {"Key: v", {{"Key", "v"}}, "", ""},
      {"Key: v\r", {{"Key", "v"}}, "", ""},
      {"Key:   ", {{"Key", ""}}, "", ""},
      {"Key:\tv\n\nb", {{"Key", "\tv"}}, "b", ""},
      {"NoColon", {{"NoColon", ""}}, "", ""},
      {"NoColon\r\nKey: v\r\n\r\nbody", {{"NoColon\r", ""}, {"Key", "v"}}, "body", ""},
      {"NoColon\n continuation\n\nb", {}, "", space},
      {" Leading: x\n\nb", {}, "", space},
      {"Key: v\n\rbody", {}, "", loneCr},
      {"Key: v\r\n\r", {}, "", loneCr},
      {"\r", {}, "", loneCr},
      {"Key: a\n\r\n\r\nbody", {{"Key", "a"}}, "\r\nbody", ""},
      {"K: v\n \n\nb", {{"K", "v\n "}}, "b", ""},
      {"", {}, "", ""},
      {"\nbody", {}, "body", ""},
      {"Key: a\rb\n\n", {{"Key", "a\rb"}}, "", ""},
      {"Key: abc \n\n", {{"Key", "abc "}}, "", ""},
      {"\tTab: x\nKey : v\n:\n\n", {{"\tTab", "x"}, {"Key ", "v"}, {"", ""}}, "", ""},
      {"A: x\r\n y\r\n\tz\r\r\nB: w\r\n\r\n", {{"A", "x\r\n y\r\n\tz"}, {"B", "w"}}, "", ""},
      {"A: \r\n b\n\n", {{"A", "\r\n b"}}, "", ""},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    const ParsedMessage m = parseMessage(c.input);
    EXPECT_EQ(m.error, c.error);
    if (!c.error.empty()) {
      EXPECT_TRUE(m.parts.empty());
      continue;
    }
    ASSERT_EQ(m.parts.size(), 1u);
    EXPECT_EQ(namesAndValues(m, 0), c.headers);
    EXPECT_EQ(email::mime::partBody(m, 0), c.body);
    EXPECT_EQ(email::mime::partBytes(m, 0), c.input);
  }
}

struct SplitCase {
  std::string body;                   // after "Content-Type: multipart/mixed; boundary=B\n\n"
  std::string preamble;               // the root's body
  std::vector<std::string> children;  // raw slices of the root's children
};

TEST(ParseMessage, MultipartSplitting) {
  const std::vector<SplitCase> cases = {
      {"pre\n--B\nCT: text/plain\n\none\n--B\n\ntwo\n--B--\nepi\n",
       "pre\n",
       {"CT: text/plain\n\none\n", "\ntwo\n"}},
      {"pre\r\n--B\r\nA: 1\r\n\r\none\r\n--B\r\n\r\ntwo\r\n--B--\r\n",
       "pre\r\n",
       {"A: 1\r\n\r\none\r\n", "\r\ntwo\r\n"}},
      {"--B\n--B\nCT: text/plain\n\nreal\n--B--\n", "", {"", "CT: text/plain\n\nreal\n"}},
      {"--B\nCT: x\n\nreal\n--B\n--B\n--B--\n", "", {"CT: x\n\nreal\n", "", ""}},
      {"--B  \nA: b\n\nx --B\n--BOGUS\nA: c\n\ny\n--B--\n", "", {"A: b\n\nx --B\n", "A: c\n\ny\n"}},
      {"--B\nA: b\n\nx\r--B\nmore\n--B--\n", "", {"A: b\n\nx\r--B\nmore\n"}},
      {"--B--\n", "", {}},
      {"--B\n\nhi\n--B--\n--B\n\nafter\n--B--\n", "", {"\nhi\n"}},
      // The first delimiter line always opens a part, even when it looks like a close.
      {"--B--x\nA: 1\n\nz\n--B--\n", "", {"A: 1\n\nz\n"}},
      // Missing close delimiter: the last part runs to the end.
      {"--B\n\nx\n", "", {"\nx\n"}},
      // A bare delimiter as the very last bytes is not one.
      {"--B\n\nx\n--B", "", {"\nx\n--B"}},
      {"--B\n\nx\n--B--", "", {"\nx\n"}},
      // Nothing usable after the first delimiter line: no sub-parts.
      {"--B\n", "", {}},
      {"--B\r\n", "", {}},
      {"--Bx", "", {}},
      {"--B", "--B", {}},
      // Only a LF starts a line.
      {"x\r--B\n\ny\n", "x\r--B\n\ny\n", {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.body));
    const std::string message = "Content-Type: multipart/mixed; boundary=B\n\n" + c.body;
    const ParsedMessage m = parseMessage(message);
    ASSERT_TRUE(m.ok()) << m.error;
    EXPECT_EQ(email::mime::partBody(m, 0), c.preamble);
    EXPECT_EQ(childRaws(m, 0), c.children);
    EXPECT_EQ(email::mime::childCount(m, 0), c.children.size());
    EXPECT_EQ(email::mime::subtreeEnd(m, 0), m.parts.size());
  }
}

TEST(ParseMessage, SplitConditionsAndRejection) {
  // An empty boundary still splits: the delimiter is "--".
  ParsedMessage m =
      parseMessage("Content-Type: multipart/mixed; boundary=\"\"\n\n--\nA: b\n\nx\n----\n");
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(childRaws(m, 0), std::vector<std::string>{"A: b\n\nx\n"});

  // A rejected sub-part rejects the whole message.
  m = parseMessage("Content-Type: multipart/mixed; boundary=B\n\n--B\n leading space\n--B--\n");
  EXPECT_EQ(m.error, email::mime::kLeadingSpaceError);
  EXPECT_TRUE(m.parts.empty());

  // No split without a boundary parameter or for a type other than multipart.
  for (const std::string& head :
       {std::string("Content-Type: multipart/mixed\n\n--B\n\nx\n"),
        std::string("Content-Type: text/plain; boundary=B\n\n--B\n\nx\n"),
        std::string("Content-Type: message/rfc822; boundary=B\n\n--B\n\nx\n")}) {
    m = parseMessage(head);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.parts.size(), 1u) << head;
    EXPECT_EQ(email::mime::partBody(m, 0), "--B\n\nx\n");
  }
}

TEST(ParseMessage, NestingAndDigest) {
  const std::string message =
      "Content-Type: multipart/digest; boundary=outer\n\n"
      "--outer\n\nfirst\n"
      "--outer\nContent-Type: multipart/mixed; boundary=inner\n\n"
      "--inner\n\ngrandchild\n--inner--\n"
      "--outer\nContent-Type:\n\nempty type\n"
      "--outer\nContent-Type: multipart/mixed; boundary=outer\n\n--outer\n\ncut\n"
      "--outer--\n";
  const ParsedMessage m = parseMessage(message);
  ASSERT_TRUE(m.ok()) << m.error;
  ASSERT_EQ(m.parts.size(), 7u);
  struct Expected {
    std::string mimeType;
    uint32_t depth, parent, childCount, subtreeEnd;
  };
  const std::vector<Expected> expected = {
      {"multipart/digest", 0, kNoPart, 5, 7},
      {"message/rfc822", 1, 0, 0, 2},
      {"multipart/mixed", 1, 0, 1, 4},
      {"text/plain", 2, 2, 0, 4},  // grandchildren keep the plain default
      {"", 1, 0, 0, 5},            // an empty value is not the digest default
      // Same boundary as the parent: cut at its own first delimiter, no children.
      {"multipart/mixed", 1, 0, 0, 6},
      {"message/rfc822", 1, 0, 0, 7},
  };
  for (uint32_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(email::mime::mediaType(m, i), expected[i].mimeType);
    EXPECT_EQ(m.parts[i].depth, expected[i].depth);
    EXPECT_EQ(email::mime::parentOf(m, i), expected[i].parent);
    EXPECT_EQ(email::mime::childCount(m, i), expected[i].childCount);
    EXPECT_EQ(email::mime::subtreeEnd(m, i), expected[i].subtreeEnd);
    EXPECT_EQ(email::mime::hasChildren(m, i), expected[i].childCount > 0);
  }
  EXPECT_EQ(email::mime::partBody(m, 3), "grandchild\n");
  EXPECT_EQ(email::mime::partBody(m, 5), "");
  EXPECT_EQ(email::mime::partBody(m, 6), "cut\n");
}

struct TreeCase {
  std::string message;
  std::vector<std::pair<uint32_t, std::string>> depthAndBody;  // per part, pre-order
};

TEST(ParseMessage, BoundariesThatArePrefixesOfOthers) {
  const std::string ct = "Content-Type: multipart/mixed; boundary=";
  const std::vector<TreeCase> cases = {
      // An inner boundary that is a prefix of the outer one works inside it.
      {ct + "abc\n\n--abc\n" + ct + "a\n\n--a\n\nin1\n--a\n\nin2\n--a--\n--abc\n\nlast\n--abc--\n",
       {{0, ""}, {1, ""}, {2, "in1\n"}, {2, "in2\n"}, {1, "last\n"}}},
      // An inner boundary that extends the outer one is cut by the outer split.
      {ct + "abc\n\n--abc\n" + ct + "abcdef\n\n--abcdef\n\nx\n--abcdef--\n--abc--\n",
       {{0, ""}, {1, ""}, {1, "x\n"}, {1, ""}}},
      // Sibling multiparts with the same boundary each find their own delimiters.
      {ct + "out\n\n--out\n" + ct + "in\n\n--in\n\na\n--in--\n--out\n" + ct +
           "in\n\n--in\n\nb\n--in--\n--out--\n",
       {{0, ""}, {1, ""}, {2, "a\n"}, {1, ""}, {2, "b\n"}}},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.message));
    const ParsedMessage m = parseMessage(c.message);
    ASSERT_TRUE(m.ok());
    std::vector<std::pair<uint32_t, std::string>> got;
    for (uint32_t i = 0; i < m.parts.size(); ++i) {
      got.emplace_back(m.parts[i].depth, std::string(email::mime::partBody(m, i)));
    }
    EXPECT_EQ(got, c.depthAndBody);
  }
}

TEST(ParseMessage, DeepNestingUsesNoRecursion) {
  constexpr int kDepth = 20000;
  std::string message;
  for (int i = 0; i < kDepth; ++i) {
    message += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "x\n\n";
    message += "--b" + std::to_string(i) + "x\n";
  }
  message += "Content-Type: text/plain\n\nleaf\n";
  for (int i = kDepth - 1; i >= 0; --i) message += "--b" + std::to_string(i) + "x--\n";

  const auto started = std::chrono::steady_clock::now();
  const ParsedMessage m = parseMessage(message);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(m.ok()) << m.error;
  ASSERT_EQ(m.parts.size(), kDepth + 1u);
  EXPECT_EQ(m.parts.back().depth, static_cast<uint32_t>(kDepth));
  EXPECT_EQ(email::mime::partBody(m, kDepth), "leaf\n");
  EXPECT_EQ(email::mime::mediaType(m, kDepth), "text/plain");
  // Each level holds the next one and nothing else.
  for (uint32_t i = 0; i <= kDepth; ++i) ASSERT_EQ(m.parts[i].depth, i) << i;
  EXPECT_EQ(email::mime::subtreeEnd(m, 0), m.parts.size());
  // Each level's delimiters are found by lookup, not by rescanning the nested bytes.
  EXPECT_LT(elapsed, std::chrono::seconds(20));
}

TEST(ParseMessage, ManySiblingsAndNearMissLines) {
  constexpr size_t kSiblings = 200000;
  std::string message = "Content-Type: multipart/mixed; boundary=sep\n\n";
  for (size_t i = 0; i < kSiblings; ++i) message += "--sep\n\nx\n";
  message += "--sep--\n";
  ParsedMessage m = parseMessage(message);
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(m.parts.size(), kSiblings + 1);
  EXPECT_EQ(email::mime::childCount(m, 0), kSiblings);
  EXPECT_EQ(email::mime::partBody(m, kSiblings), "x\n");
  EXPECT_EQ(email::mime::parentOf(m, kSiblings), 0u);

  // Lines that almost start with the delimiter never match.
  const std::string boundary(200, 'B');
  message = "Content-Type: multipart/mixed; boundary=" + boundary + "\n\n";
  for (int i = 0; i < 100000; ++i) message += "--" + boundary.substr(1) + "C\n";
  m = parseMessage(message);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.parts.size(), 1u);
}

TEST(ParseMessage, DelimiterWithLineFeed) {
  // An encoded word can put a line break into the boundary; the delimiter then spans lines.
  const std::string message =
      "Content-Type: multipart/mixed; boundary=\"=?utf-8?q?a=0Ab?=\"\n\n"
      "--a\nb\n\none\n--a\nc\n--a\nb--\n";
  const ParsedMessage m = parseMessage(message);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(childRaws(m, 0), std::vector<std::string>{"\none\n--a\nc\n"});
}

// A delimiter is first looked for by scanning and, once the scans have passed over enough
// bytes, through the index of "--" lines; both must find the same line for every start and
// slice end.
TEST(DelimiterSearch, ScansAndTheIndexFindTheSameLines) {
  const std::string messages[] = {
      "--B\n--BOGUS\nx --B\n--B--\n--b\n--B",
      "--\n--\r\n----\n-- x\n--B\n-",
      "pre\n--abc\n--ab\n--a\n--abcdef\n--abc--\n--abc",
      "--B\r\n\r\n--B\r\n--B\r\nx\r\n--B--\r\n",
      "no delimiter at all\n- -\n",
  };
  const std::string boundaries[] = {"", "B", "BO", "a", "ab", "abc", "abcdef", "x", "-"};
  for (const std::string& message : messages) {
    std::vector<size_t> lineStarts = {0};
    for (size_t i = 0; i < message.size(); ++i) {
      if (message[i] == '\n') lineStarts.push_back(i + 1);
    }
    for (const std::string& boundary : boundaries) {
      SCOPED_TRACE(testing::PrintToString(message) + " boundary " + boundary);
      const email::mime::Delimiter delimiter = email::mime::makeDelimiter(boundary);
      email::mime::DelimiterIndex scanned = email::mime::makeDelimiterIndex(message);
      email::mime::DelimiterIndex indexed = email::mime::makeDelimiterIndex(message, 0);
      for (const size_t start : lineStarts) {
        for (const size_t sliceEnd : lineStarts) {
          EXPECT_EQ(email::mime::findDelimiterLine(scanned, delimiter, start, sliceEnd),
                    email::mime::findDelimiterLine(indexed, delimiter, start, sliceEnd))
              << start << " " << sliceEnd;
        }
        EXPECT_EQ(email::mime::findDelimiterLine(scanned, delimiter, start, message.size()),
                  email::mime::findDelimiterLine(indexed, delimiter, start, message.size()))
            << start;
      }
      EXPECT_FALSE(scanned.built);
      EXPECT_TRUE(indexed.built || lineStarts.size() == 1);
    }
  }
}

TEST(HeaderLookup, FirstHeaderMatchesNamesExactlyIgnoringAsciiCase) {
  const ParsedMessage m = parseMessage(
      "\tContent-Type: c/d\nContent-Type : a/b\nCONTENT-TYPE: e/f\ncontent-type: g/h\n"
      "X-\xC9t\xE9: 1\n\n");
  ASSERT_TRUE(m.ok());
  const std::optional<Header> found = email::mime::firstHeader(m, 0, "content-type");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->value, "e/f");
  EXPECT_EQ(email::mime::mediaType(m, 0), "e/f");
  EXPECT_FALSE(email::mime::firstHeader(m, 0, "X-\xC3\x89t\xC3\xA9"));
  EXPECT_FALSE(email::mime::firstHeader(m, 0, "Missing"));
  EXPECT_EQ(email::mime::headerName(email::mime::headerAt(m, 0, 4)), "X-\xC3\x89t\xC3\xA9");
  EXPECT_EQ(email::mime::headerName(email::mime::headerAt(m, 0, 0)), "\tContent-Type");
}

}  // namespace
