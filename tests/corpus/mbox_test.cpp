// mbox framing and un-quoting: the edge cases of the three formats, each fed whole and in
// small pieces (a message must not depend on where the stream was cut).
#include "corpus/mbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using corpus::MboxFormat;

struct Framed {
  std::string locator;  // "#N@OFFSET", "whole" or "#N@OFFSET oversize <size>"
  std::string bytes;    // un-quoted
  bool operator==(const Framed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Framed& framed) {
  return out << framed.locator << " [" << framed.bytes << "]";
}

std::vector<Framed> frame(std::string_view stream, MboxFormat format, size_t piece,
                          uint64_t limit = UINT64_MAX) {
  std::vector<Framed> out;
  const corpus::MboxCallback collect = [&](const corpus::MboxMessage& message) {
    Framed framed;
    if (message.whole) {
      framed.locator = "whole";
      framed.bytes = std::string(message.raw);
    } else {
      framed.locator = "#";
      framed.locator += std::to_string(message.number) + "@" + std::to_string(message.offset);
      corpus::appendUnquoted(message.raw, format, framed.bytes);
    }
    if (message.oversize) framed.locator += " oversize " + std::to_string(message.size);
    out.push_back(framed);
    return true;
  };
  corpus::MboxFramer framer(format, limit);
  if (piece == 0) piece = stream.size() + 1;
  for (size_t at = 0; at < stream.size(); at += piece)
    framer.feed(stream.substr(at, piece), collect);
  framer.finish(collect);
  return out;
}

struct Case {
  const char* label;
  MboxFormat format;
  std::string stream;
  std::vector<Framed> expected;
  uint64_t limit = UINT64_MAX;
};

TEST(MboxFramer, Table) {
  const MboxFormat rd = MboxFormat::Mboxrd;
  const MboxFormat o = MboxFormat::Mboxo;
  const MboxFormat cl2 = MboxFormat::Mboxcl2;
  const std::vector<Case> cases = {
      {"empty mbox", rd, "", {}},
      {"one message is the whole stream, envelope line and all",
       rd,
       "From a\nS: 1\n\n>From x\n\n",
       {{"whole", "From a\nS: 1\n\n>From x\n\n"}}},
      {"two messages; the writer's empty line goes",
       rd,
       "From a\nS: 1\n\nbody\n\nFrom b\nS: 2\n\nx\n",
       {{"#1@0", "S: 1\n\nbody\n"}, {"#2@From b", "S: 2\n\nx\n"}}},
      {"the empty last line at the end is the writer's",
       rd,
       "From a\nS: 1\n\nFrom b\nS: 2\n\nx\n\n",
       {{"#1@0", "S: 1\n"}, {"#2@From b", "S: 2\n\nx\n"}}},
      {"only one empty last line goes",
       rd,
       "From a\nS: 1\n\nFrom b\nx\n\n\n",
       {{"#1@0", "S: 1\n"}, {"#2@From b", "x\n\n"}}},
      {"message without a final line break at the end",
       rd,
       "From a\nS: 1\n\nFrom b\nS: 2\n\nlast",
       {{"#1@0", "S: 1\n"}, {"#2@From b", "S: 2\n\nlast"}}},
      {"a From line not after an empty line is body",
       rd,
       "From a\nS: 1\n\nline\nFrom here\n\nFrom b\nx\n",
       {{"#1@0", "S: 1\n\nline\nFrom here\n"}, {"#2@From b", "x\n"}}},
      {"mboxrd: one > goes from every quoted level",
       rd,
       "From a\n\n>From 1\n>>From 2\n>>>From 3\n >From 4\n>From\n\nFrom b\n>From 5",
       {{"#1@0", "\nFrom 1\n>From 2\n>>From 3\n >From 4\n>From\n"}, {"#2@From b", "From 5"}}},
      {"mboxo: only >From loses its >",
       o,
       "From a\n\n>From 1\n>>From 2\n\nFrom b\n>From 5",
       {{"#1@0", "\nFrom 1\n>>From 2\n"}, {"#2@From b", "From 5"}}},
      {"mboxcl2 copies quoted lines",
       cl2,
       "From a\n\n>From 1\n\nFrom b\nx",
       {{"#1@0", "\n>From 1\n"}, {"#2@From b", "x"}}},
      {"CRLF mbox",
       rd,
       "From a\r\nS: 1\r\n\r\nbody\r\n\r\nFrom b\r\nS: 2\r\n\r\n>From x\r\n\r\n",
       {{"#1@0", "S: 1\r\n\r\nbody\r\n"}, {"#2@From b", "S: 2\r\n\r\nFrom x\r\n"}}},
      {"empty messages",
       rd,
       "From a\n\nFrom b\n\nFrom c\n",
       {{"#1@0", ""}, {"#2@From b", ""}, {"#3@From c", ""}}},
      {"separator line without a line break at the end",
       rd,
       "From a\nx\n\nFrom b",
       {{"#1@0", "x\n"}, {"#2@From b", ""}}},
      {"mboxcl2: Content-Length keeps an unquoted From line in the body",
       cl2,
       "From a\nContent-Length: 15\n\nx\n\nFrom inside\n\nFrom b\nContent-Length: 2\n\nyz\n",
       {{"#1@0", "Content-Length: 15\n\nx\n\nFrom inside\n"},
        {"#2@From b", "Content-Length: 2\n\nyz"}}},
      {"mboxcl2: Content-Length frames a message without a final line break",
       cl2,
       "From a\ncontent-length:  4 \n\nbody\nFrom b\n\n",
       {{"#1@0", "content-length:  4 \n\nbody"}, {"#2@From b", ""}}},
      {"mboxcl2: a length that leads into the body falls back to separators",
       cl2,
       "From a\nContent-Length: 2\n\nbody\n\nFrom b\nx\n",
       {{"#1@0", "Content-Length: 2\n\nbody\n"}, {"#2@From b", "x\n"}}},
      {"mboxcl2: a length past the end falls back to separators",
       cl2,
       "From a\nContent-Length: 999\n\nbody\n\nFrom b\nx\n",
       {{"#1@0", "Content-Length: 999\n\nbody\n"}, {"#2@From b", "x\n"}}},
      {"mboxcl2: a malformed length falls back to separators",
       cl2,
       "From a\nContent-Length: 4x\n\nbody\n\nFrom b\nx\n",
       {{"#1@0", "Content-Length: 4x\n\nbody\n"}, {"#2@From b", "x\n"}}},
      {"mboxcl2: CRLF, length to the end",
       cl2,
       "From a\r\nContent-Length: 3\r\n\r\nabc\r\nFrom b\r\nContent-Length: 0\r\n\r\n\r\n",
       {{"#1@0", "Content-Length: 3\r\n\r\nabc"}, {"#2@From b", "Content-Length: 0\r\n\r\n"}}},
      {"mboxcl2: a lone message with a true length is whole",
       cl2,
       "From a\nContent-Length: 3\n\nabc\n",
       {{"whole", "From a\nContent-Length: 3\n\nabc\n"}}},
      {"white space lines before the first separator belong to no message",
       rd,
       "\n \t\r\n\t\nFrom a\nS: 1\n\n>From x\n\nFrom b\nS: 2\n",
       {{"#1@From a", "S: 1\n\nFrom x\n"}, {"#2@From b", "S: 2\n"}}},
      {"CRLF white space lines",
       rd,
       "\r\n \r\nFrom a\r\nS: 1\r\n\r\nFrom b\r\n",
       {{"#1@From a", "S: 1\r\n"}, {"#2@From b", ""}}},
      {"a lone message after white space lines is whole, with them",
       rd,
       "\n\t\nFrom a\nS: 1\n\n>From x\n",
       {{"whole", "\n\t\nFrom a\nS: 1\n\n>From x\n"}}},
      {"white space only is one whole message", rd, " \n\n\t", {{"whole", " \n\n\t"}}},
      {"the first line with other bytes is the first separator, indented or not",
       rd,
       "\n\n x\nS: 1\n\nFrom b\ny\n",
       {{"#1@2", "S: 1\n"}, {"#2@From b", "y\n"}}},
      {"mboxcl2 after white space lines",
       cl2,
       "\n\nFrom a\nContent-Length: 9\n\n\nFrom in\n\nFrom b\nContent-Length: 1\n\nz",
       {{"#1@From a", "Content-Length: 9\n\n\nFrom in\n"},
        {"#2@From b", "Content-Length: 1\n\nz"}}},
      {"mboxo after white space lines",
       o,
       "  \nFrom a\n>From x\n>>From y\n\nFrom b\n",
       {{"#1@From a", "From x\n>>From y\n"}, {"#2@From b", ""}}},
      {"white space lines over the limit are let go, the messages read",
       rd,
       "\n\n\n\n\n\n\n\n\n\n\n\nFrom a\nx\n\nFrom b\ny\n",
       {{"#1@From a", "x\n"}, {"#2@From b", "y\n"}},
       10},
      {"a lone message over the limit with white space lines",
       rd,
       "   \n\nFrom a\nabc\n",
       {{"whole oversize 16", ""}},
       10},
      {"over the limit: skipped, the next one read",
       rd,
       "From a\n0123456789ABCDEF\n\nFrom b\nsmall\n",
       {{"#1@0 oversize 17", ""}, {"#2@From b", "small\n"}},
       10},
      {"a lone message over the limit",
       rd,
       "From a\n0123456789ABCDEF\n",
       {{"whole oversize 24", ""}},
       10},
  };
  for (const Case& c : cases) {
    // "#N@From x" stands for the offset of the first "From x" line.
    std::vector<Framed> expected = c.expected;
    for (Framed& framed : expected) {
      const size_t at = framed.locator.find("@From ");
      if (at == std::string::npos) continue;
      const size_t end = framed.locator.find(' ', at + 6);
      std::string line = "\n";
      line += framed.locator.substr(at + 1, end - at - 1);
      framed.locator.replace(at + 1, end - at - 1, std::to_string(c.stream.find(line) + 1));
    }
    for (size_t piece : {0, 1, 2, 3, 7}) {
      EXPECT_EQ(frame(c.stream, c.format, piece, c.limit), expected)
          << c.label << " (pieces of " << piece << ")";
    }
  }
}

TEST(MboxFramer, OversizeMessagesAreNotHeld) {
  constexpr size_t kLarge = 8 * corpus::MboxFramer::kBlockBytes;
  const std::string big(kLarge, 'x');
  std::string blankLines;
  while (blankLines.size() < kLarge) blankLines += " \t\n";
  const struct {
    const char* label;
    std::string stream;
    std::vector<uint64_t> sizes;
  } cases[] = {
      {"an oversize message", "From a\n" + big + "\n\nFrom b\nlast\n", {kLarge + 1, 5}},
      {"white space lines before the first separator",
       blankLines + "From a\nfirst\n\nFrom b\nlast\n",
       {6, 5}},
      {"one long line of white space before it",
       std::string(kLarge, ' ') + "\nFrom a\nfirst\n\nFrom b\nlast\n",
       {6, 5}},
  };
  for (const auto& c : cases) {
    corpus::MboxFramer framer(MboxFormat::Mboxrd, 1000);
    size_t held = 0;
    std::vector<uint64_t> sizes;
    const corpus::MboxCallback collect = [&](const corpus::MboxMessage& message) {
      sizes.push_back(message.oversize ? message.size : message.raw.size());
      return true;
    };
    for (size_t at = 0; at < c.stream.size(); at += 4096) {
      framer.feed(std::string_view(c.stream).substr(at, 4096), collect);
      held = std::max(held, framer.heldBytes());
    }
    framer.finish(collect);
    EXPECT_EQ(sizes, c.sizes) << c.label;
    EXPECT_LE(held, corpus::MboxFramer::kBlockBytes) << c.label;
  }
}

// A reported message's bytes stay as they were, through a copy of `storage`, while the
// framer reads on over several blocks (in pieces that do and do not fill a block evenly,
// and through space() and commit() as the expansion does).
TEST(MboxFramer, ReportedMessagesOutliveTheirBlock) {
  std::string stream;
  std::vector<std::string> bodies;
  for (size_t i = 0; stream.size() < 3 * corpus::MboxFramer::kBlockBytes; ++i) {
    bodies.push_back("Subject: " + std::to_string(i) + "\n\n" + std::string(i % 700, 'a' + i % 26) +
                     "\n");
    stream += "From x\n" + bodies.back() + "\n";
  }
  for (const size_t piece : {size_t{65536}, size_t{100000}, corpus::MboxFramer::kBlockBytes}) {
    struct Kept {
      std::shared_ptr<const char[]> storage;
      std::string_view raw;
    };
    std::vector<Kept> kept;
    const corpus::MboxCallback keep = [&](const corpus::MboxMessage& message) {
      kept.push_back({message.storage, message.raw});
      return true;
    };
    corpus::MboxFramer framer(MboxFormat::Mboxrd, UINT64_MAX);
    for (size_t at = 0; at < stream.size(); at += piece) {
      const std::string_view part = std::string_view(stream).substr(at, piece);
      const std::span<char> room = framer.space(part.size());
      std::copy(part.begin(), part.end(), room.begin());
      framer.commit(part.size(), keep);
    }
    framer.finish(keep);
    ASSERT_EQ(kept.size(), bodies.size()) << piece;
    for (size_t i = 0; i < kept.size(); ++i) {
      ASSERT_EQ(kept[i].raw, bodies[i]) << "message " << i + 1 << ", pieces of " << piece;
    }
  }
}

TEST(MboxFramer, StopsWhenTold) {
  corpus::MboxFramer framer(MboxFormat::Mboxrd, UINT64_MAX);
  int calls = 0;
  const corpus::MboxCallback once = [&](const corpus::MboxMessage&) { return ++calls < 1; };
  EXPECT_FALSE(framer.feed("From a\n\nFrom b\n\nFrom c\n\n", once));
  EXPECT_FALSE(framer.finish(once));
  EXPECT_EQ(calls, 1);
}

TEST(MboxFormatName, Parses) {
  EXPECT_EQ(corpus::parseMboxFormat("mboxrd"), MboxFormat::Mboxrd);
  EXPECT_EQ(corpus::parseMboxFormat("mboxo"), MboxFormat::Mboxo);
  EXPECT_EQ(corpus::parseMboxFormat("mboxcl2"), MboxFormat::Mboxcl2);
  EXPECT_EQ(corpus::parseMboxFormat("MBOXRD"), std::nullopt);
  EXPECT_EQ(corpus::parseMboxFormat("mboxcl"), std::nullopt);
}

}  // namespace
