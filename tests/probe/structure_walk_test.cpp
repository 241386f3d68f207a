#include <gtest/gtest.h>

#include <string>

#include "probe/probe.h"
#include "probe/probe_describe.h"
#include "text/text.h"

namespace {

// A multipart/mixed message with boundary B around `body` (LF line ends).
std::string mixed(std::string_view body) {
  return "Content-Type: multipart/mixed; boundary=\"B\"\n\n" + std::string(body);
}

// One named base64 attachment whose decoded body is `size` bytes long.
std::string attachmentOfSize(size_t size) {
  return mixed(
      "--B\nContent-Type: application/octet-stream; name=\"big.bin\"\n"
      "Content-Transfer-Encoding: base64\n\n" +
      text::encodeBase64(std::string(size, '\0')) + "\n--B--\n");
}

struct WalkCase {
  const char* what;
  std::string message;
  const char* members;  // as probe_test::walkMembers writes them
};

void expectWalks(const std::vector<WalkCase>& cases) {
  for (const WalkCase& c : cases) {
    EXPECT_EQ(probe_test::walkMembers(ventry::probeMessage(c.message)), c.members) << c.what;
  }
}

// The lists of distinct values are searched while short and indexed once long; either way
// each value is listed once, in the order first seen.
TEST(StructureWalk, LongListsOfDistinctValuesKeepTheirOrder) {
  std::string body;
  std::string expected;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40; ++i) {
      body += "--B\nContent-Type: text/plain; charset=c" + std::to_string(i) + "\n\n";
      if (round == 0)
        expected += std::string(expected.empty() ? "" : ",") + "c" + std::to_string(i);
    }
  }
  const ventry::Probe probe = ventry::probeMessage(mixed(body + "--B--\n"));
  std::string got;
  for (const std::string& charset : probe.charsets) got += (got.empty() ? "" : ",") + charset;
  EXPECT_EQ(got, expected);
  EXPECT_EQ(probe.parts, 80u);
}

TEST(StructureWalk, TreeShapeAndLeafCounts) {
  expectWalks({
      {"empty message", "", "topCt=text/plain parts=1 plain=1 charsets=[us-ascii]"},
      {"hostile bytes", std::string("\xFF\xFE\x00\x00 not a mail at all", 22),
       "topCt=text/plain parts=1 plain=1 charsets=[us-ascii]"},
      {"plain and unnamed calendar",
       mixed("--B\nContent-Type: text/plain\n\ninvite\n"
             "--B\nContent-Type: text/calendar; method=REQUEST\n\nBEGIN:VCALENDAR\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 plain=1 plainNonempty=1 calUnnamed=1 "
       "charsets=[us-ascii]"},
      {"named calendar",
       mixed("--B\nContent-Type: text/calendar; name=invite.ics\n\nBEGIN:VCALENDAR\n--B--\n"),
       "topCt=multipart/mixed parts=1 depth=1 calNamed=1 attachDecl=1 charsets=[us-ascii]"},
      {"two plain parts with text",
       mixed("--B\nContent-Type: text/plain\n\none\n--B\nContent-Type: text/plain\n\ntwo\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 plain=2 plainNonempty=2 charsets=[us-ascii]"},
      {"an empty stretch before the text part",
       mixed("--B\n--B\nContent-Type: text/plain\n\nreal body\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 plain=2 plainNonempty=1 charsets=[us-ascii]"},
      {"two empty stretches after the text part",
       mixed("--B\nContent-Type: text/plain\n\nreal body\n--B\n--B\n--B--\n"),
       "topCt=multipart/mixed parts=3 depth=1 plain=3 plainNonempty=1 charsets=[us-ascii]"},
      {"multipart without a boundary is an empty container",
       "Content-Type: multipart/mixed\n\n--B\nContent-Type: text/plain\n\nx\n--B--\n",
       "topCt=multipart/mixed"},
      {"empty Content-Type value", "Content-Type:\n\nx\n", "parts=1 charsets=[us-ascii]"},
      {"signed alternative",
       "Content-Type: multipart/signed; boundary=S\n\n"
       "--S\nContent-Type: multipart/alternative; boundary=A\n\n"
       "--A\nContent-Type: text/plain\n\nx\n--A\nContent-Type: text/html\n\n<p>x</p>\n--A--\n\n"
       "--S\nContent-Type: application/pkcs7-signature\n\nSIG\n--S--\n",
       "topCt=multipart/signed parts=3 depth=2 plain=1 html=1 plainNonempty=1 htmlNonempty=1 "
       "charsets=[us-ascii] signed"},
      {"report container", "Content-Type: multipart/report; boundary=R\n\n--R\n\nx\n--R--\n",
       "topCt=multipart/report parts=1 depth=1 plain=1 plainNonempty=1 charsets=[us-ascii] "
       "report"},
      {"encrypted container without parts", "Content-Type: multipart/encrypted\n\nx\n",
       "topCt=multipart/encrypted encrypted"},
  });
}

TEST(StructureWalk, NamedUnnamedAndForwarded) {
  const std::string inner = "From: x@example.org\nContent-Type: text/html\n\n<p>in</p>\n";
  expectWalks({
      {"unnamed forward", mixed("--B\nContent-Type: message/rfc822\n\n" + inner + "--B--\n"),
       "topCt=multipart/mixed parts=1 depth=1 rfc822=1 rfc822Unnamed=1 charsets=[us-ascii]"},
      {"forward named on its Content-Type",
       mixed("--B\nContent-Type: message/rfc822; name=\"original.eml\"\n\n" + inner + "--B--\n"),
       "topCt=multipart/mixed parts=1 depth=1 rfc822=1 attachDecl=1 charsets=[us-ascii]"},
      {"digest child without Content-Type is a forward",
       "Content-Type: multipart/digest; boundary=D\n\n--D\n\nFrom: x@example.org\n\nhi\n--D--\n",
       "topCt=multipart/digest parts=1 depth=1 rfc822=1 rfc822Unnamed=1 charsets=[us-ascii]"},
      {"text/plain with a Content-ID is no cid part",
       "Content-Type: text/plain\nContent-ID: <frag>\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii]"},
      {"related html and unnamed image",
       "Content-Type: multipart/related; boundary=B\n\n"
       "--B\nContent-Type: text/html\n\n<img src=\"cid:logo\">\n"
       "--B\nContent-Type: image/png\nContent-ID: <logo>\n\nPNG\n--B--\n",
       "topCt=multipart/related parts=2 depth=1 html=1 htmlNonempty=1 cidParts=1 cidRefs "
       "charsets=[us-ascii]"},
      {"attachment in capitals without filename",
       "Content-Type: image/png\nContent-Disposition: ATTACHMENT\nContent-ID: <x>\n\nPNG\n",
       "topCt=image/png parts=1 attachDecl=1 charsets=[us-ascii]"},
      {"a space before the colon hides Content-ID",
       "Content-Type: image/png\nContent-ID : <x>\n\nP\n",
       "topCt=image/png parts=1 charsets=[us-ascii]"},
      {"one unnamed enriched part",
       mixed("--B\nContent-Type: text/plain\n\nbody\n"
             "--B\nContent-Type: text/enriched\n\n<bold>rich</bold>\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 plain=1 plainNonempty=1 otherTextual=1 "
       "otherTypes=[text/enriched] charsets=[us-ascii]"},
      {"two unnamed enriched parts list the type once",
       mixed(
           "--B\nContent-Type: text/enriched\n\na\n--B\nContent-Type: Text/Enriched\n\nb\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 otherTextual=2 otherTypes=[text/enriched] "
       "charsets=[us-ascii]"},
      {"an empty name still names", "Content-Type: text/csv; name=\"\"\n\na,b\n",
       "topCt=text/csv parts=1 attachDecl=1 charsets=[us-ascii]"},
      {"filename on an inline disposition names",
       "Content-Type: text/csv\nContent-Disposition: inline; FILENAME=a.csv\n\na,b\n",
       "topCt=text/csv parts=1 attachDecl=1 charsets=[us-ascii]"},
      {"an html attachment is still searched",
       "Content-Type: text/html\nContent-Disposition: attachment; filename=a.html\n\n"
       "<script src=http://x.example/a.js></script>\n",
       "topCt=text/html parts=1 html=1 htmlNonempty=1 remoteRefs script attachDecl=1 "
       "charsets=[us-ascii]"},
      {"Final_Sigma in the media type", "Content-Type: TEXT/\xCE\x91\xCE\xA3\n\nx\n",
       "topCt=text/\xCE\xB1\xCF\x82 parts=1 otherTextual=1 otherTypes=[text/\xCE\xB1\xCF\x82] "
       "charsets=[us-ascii]"},
      {"sigma inside a word", "Content-Type: TEXT/\xCE\x91\xCE\xA3.X\n\nx\n",
       "topCt=text/\xCE\xB1\xCF\x83.x parts=1 otherTextual=1 otherTypes=[text/\xCE\xB1\xCF\x83.x] "
       "charsets=[us-ascii]"},
  });
}

TEST(StructureWalk, BodiesEncodingsAndCharsets) {
  expectWalks({
      {"undeclared UTF-8", "Content-Type: text/plain\n\ncaf\xC3\xA9\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii] undeclNonAscii"},
      {"declared UTF-8", "Content-Type: text/plain; charset=UTF-8\n\ncaf\xC3\xA9\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[utf-8]"},
      {"ASCII in capitals", "Content-Type: text/plain; charset=ASCII\n\ncaf\xC3\xA9\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[ascii] undeclNonAscii"},
      {"empty charset", "Content-Type: text/plain; charset=\"\"\n\ncaf\xC3\xA9\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[] undeclNonAscii"},
      {"format=flowed", "Content-Type: text/plain; format=flowed\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii] flowed"},
      {"format=FLOWED", "Content-Type: text/plain; Format=FLOWED\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii] flowed"},
      {"format=fixed", "Content-Type: text/plain; format=fixed\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii]"},
      {"format with a trailing space inside quotes",
       "Content-Type: text/plain; format=\"flowed \"\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 charsets=[us-ascii]"},
      {"remote source in capitals",
       "Content-Type: text/html\n\n<IMG SRC=\"HTTPS://x.example/a\">\n",
       "topCt=text/html parts=1 html=1 htmlNonempty=1 remoteRefs charsets=[us-ascii]"},
      {"spaces around the equals sign", "Content-Type: text/html\n\n<img src = \"http://x\">\n",
       "topCt=text/html parts=1 html=1 htmlNonempty=1 charsets=[us-ascii]"},
      {"script in capitals", "Content-Type: text/html\n\n<SCRIPT>x</SCRIPT>\n",
       "topCt=text/html parts=1 html=1 htmlNonempty=1 script charsets=[us-ascii]"},
      {"failed base64 html is not searched",
       "Content-Type: text/html\nContent-Transfer-Encoding: base64\n\n<p>cid:x</p>\n",
       "topCt=text/html parts=1 html=1 cte=[base64] charsets=[us-ascii]"},
      {"failed base64 hides non-ASCII",
       "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\ncaf\xC3\xA9\n",
       "topCt=text/plain parts=1 plain=1 cte=[base64] charsets=[us-ascii]"},
      {"base64 in two spellings",
       mixed("--B\nContent-Type: text/plain\nContent-Transfer-Encoding: Base64\n\naGk=\n"
             "--B\nContent-Type: text/plain\ncontent-transfer-encoding: base64\n\naGk=\n--B--\n"),
       "topCt=multipart/mixed parts=2 depth=1 plain=2 plainNonempty=2 cte=[base64] "
       "charsets=[us-ascii]"},
      {"a folded encoding is trimmed for the list",
       "Content-Type: text/plain\nContent-Transfer-Encoding:\n base64\n\naGk=\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 cte=[base64] charsets=[us-ascii]"},
      {"an empty encoding is listed", "Content-Transfer-Encoding:\n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 cte=[] charsets=[us-ascii]"},
      {"padded encoding", "Content-Transfer-Encoding:   QUOTED-Printable  \n\nx\n",
       "topCt=text/plain parts=1 plain=1 plainNonempty=1 cte=[quoted-printable] "
       "charsets=[us-ascii]"},
      {"a soft break alone decodes to nothing",
       "Content-Transfer-Encoding: quoted-printable\n\n=\n",
       "topCt=text/plain parts=1 plain=1 cte=[quoted-printable] charsets=[us-ascii]"},
      {"a byte-order mark alone decodes to nothing",
       "Content-Type: text/plain; charset=utf-8\n\n\xEF\xBB\xBF",
       "topCt=text/plain parts=1 plain=1 charsets=[utf-8]"},
      {"lists keep first-met order",
       mixed("--B\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\na\n"
             "--B\nContent-Type: image/png\nContent-Transfer-Encoding: base64\n\nUE5H\n"
             "--B\nContent-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8BIT\n\nb\n"
             "--B--\n"),
       "topCt=multipart/mixed parts=3 depth=1 plain=2 plainNonempty=2 cte=[8bit,base64] "
       "charsets=[utf-8,us-ascii]"},
  });
}

TEST(StructureWalk, OversizeLimitIsExclusive) {
  expectWalks({
      {"one byte above the cap", attachmentOfSize(5242881),
       "topCt=multipart/mixed parts=1 depth=1 attachDecl=1 oversize=1 cte=[base64] "
       "charsets=[us-ascii]"},
      {"exactly the cap", attachmentOfSize(5242880),
       "topCt=multipart/mixed parts=1 depth=1 attachDecl=1 cte=[base64] charsets=[us-ascii]"},
  });
}

TEST(StructureWalk, DeepNestingCountsEveryLevel) {
  constexpr int kLevels = 2000;
  std::string message;
  for (int level = 0; level < kLevels; ++level) {
    // "x" closes each boundary so that none is a prefix of another.
    std::string boundary = std::to_string(level);
    boundary.insert(boundary.begin(), 'b');
    boundary += 'x';
    message += "Content-Type: multipart/mixed; boundary=" + boundary + "\n\n--" + boundary + "\n";
  }
  message += "Content-Type: text/plain\n\ndeep\n";
  const ventry::Probe probe = ventry::probeMessage(message);
  EXPECT_EQ(probe_test::walkMembers(probe),
            "topCt=multipart/mixed parts=1 depth=2000 plain=1 plainNonempty=1 "
            "charsets=[us-ascii]");
}

TEST(StructureWalk, ProbePartWalksOnlyTheGivenSubtree) {
  const std::string message = mixed(
      "--B\nContent-Type: multipart/alternative; boundary=A\n\n"
      "--A\nContent-Type: text/plain\n\nx\n--A\nContent-Type: text/html\n\n<p>y</p>\n--A--\n"
      "\n--B\nContent-Type: text/calendar\n\nBEGIN\n--B--\n");
  const email::mime::ParsedMessage parsed = email::mime::parseMessage(message);
  ASSERT_TRUE(parsed.ok());
  ASSERT_EQ(parsed.parts.size(), 5u);
  ventry::Probe probe;
  ventry::probePart(parsed, 1, probe);  // the alternative part at level 1
  EXPECT_EQ(probe_test::walkMembers(probe),
            "parts=2 depth=2 plain=1 html=1 plainNonempty=1 htmlNonempty=1 charsets=[us-ascii]");
}

}  // namespace
