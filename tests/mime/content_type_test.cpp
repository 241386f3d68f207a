#include "email/mime/content_type.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "email/mime/mime.h"

namespace {

using email::mime::ContentType;
using email::mime::DispositionKind;
using email::mime::Header;
using email::mime::ParamMap;
using email::mime::parseContentType;

ContentType typeOf(const std::string& value) {
  const Header header{"Content-Type", value};
  return parseContentType(&header, false);
}

struct TypeCase {
  std::string value;
  std::string mimeType;
  std::string charset;
  ParamMap params;
};

TEST(ContentType, FieldsAndParameters) {
  const std::vector<TypeCase> cases = {
      {"TEXT/Plain ; Charset = \"UTF-8\"", "text/plain", "UTF-8", {{"charset", "UTF-8"}}},
      {"", "", "us-ascii", {}},
      {"text/plain; charset=", "text/plain", "", {{"charset", ""}}},
      {"text/plain; charset=\"\"", "text/plain", "", {{"charset", ""}}},
      {"text/plain; charset=\"", "text/plain", "\"", {{"charset", "\""}}},
      {"text/plain; name=\" spaced \"", "text/plain", "us-ascii", {{"name", " spaced "}}},
      {"text/plain; charset=utf-8 (comment)",
       "text/plain",
       "utf-8 (comment)",
       {{"charset", "utf-8 (comment)"}}},
      {"text/plain (comment)", "text/plain (comment)", "us-ascii", {}},
      // Quotes do not protect ';', pieces without '=' are dropped, single quotes stay.
      {"application/x; name=\"a;b.txt\"; flag; q='x'",
       "application/x",
       "us-ascii",
       {{"name", "\"a"}, {"q", "'x'"}}},
      // The later duplicate wins after lower-casing; an empty name is a key.
      {"a/b; CHARSET=a; charset=b; =value", "a/b", "b", {{"charset", "b"}, {"", "value"}}},
      {"a/b; name=\"=?utf-8?B?6L+O5ai255m95a+M576O?=\"",
       "a/b",
       "us-ascii",
       {{"name", "\xE8\xBF\x8E\xE5\xA8\xB6\xE7\x99\xBD\xE5\xAF\x8C\xE7\xBE\x8E"}}},
      {"a/b; name==?utf-8?q?a?=", "a/b", "us-ascii", {{"name", "=?utf-8?q?a?="}}},
      // Full Unicode lower-casing with the final-sigma rule.
      {"TEXT/\xCE\x91\xCE\xA3", "text/\xCE\xB1\xCF\x82", "us-ascii", {}},
      {"TEXT/\xCE\x91\xCE\xA3.X", "text/\xCE\xB1\xCF\x83.x", "us-ascii", {}},
  };
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(c.value);
    const ContentType type = typeOf(c.value);
    EXPECT_EQ(type.mimeType, c.mimeType);
    EXPECT_EQ(type.charset, c.charset);
    EXPECT_EQ(type.params, c.params);
  }
}

// The parse keeps the media type and charset and reads parameters in place when the value is
// plain; whatever way it takes, each must come out as the full reading gives it.
TEST(ContentType, PartsReadTheSameAsTheFullReading) {
  const std::vector<std::string> values = {
      "TEXT/Plain ; Charset = \"UTF-8\"",
      "",
      "text/plain; charset=",
      "text/plain; charset=\"",
      "text/plain; name=\" spaced \"; format=flowed",
      "application/x; name=\"a;b.txt\"; flag; q='x'",
      "a/b; CHARSET=a; charset=b; =value",
      "a/b; name=\"=?utf-8?B?6L+O5ai255m95a+M576O?=\"",
      "TEXT/\xCE\x91\xCE\xA3",
      "text/plain; name*=utf-8''caf%C3%A9.txt",
      "text/plain;\tformat=\"flowed \" ;delsp=yes",
      // Folds between pieces are trimmed away; one inside a name or value is a space.
      "multipart/mixed;\r\n boundary=\"b1\";\r\n\tcharset=us-ascii",
      "text/plain; charset=\r\n utf-8\r\n ; format=flowed",
      "text/plain; name=\"a\r\n b.txt\"",
      "text/plain; na\r\n me=x",
      "text/\r\n plain",
      "\r\n text/html",
  };
  for (const std::string& value : values) {
    SCOPED_TRACE(testing::PrintToString(value));
    const std::string message = "Content-Type: " + value + "\n\nbody";
    const email::mime::ParsedMessage m = email::mime::parseMessage(message);
    ASSERT_TRUE(m.ok());
    const auto found = email::mime::firstHeader(m, 0, "Content-Type");
    ASSERT_TRUE(found);
    const ContentType full = parseContentType(&*found, false);
    EXPECT_EQ(email::mime::mediaType(m, 0), full.mimeType);
    EXPECT_EQ(email::mime::charset(m, 0), full.charset);
    EXPECT_EQ(email::mime::declaresCharset(m, 0), full.params.contains("charset"));
    for (const std::string name : {"charset", "name", "format", "delsp", "boundary", "q", ""}) {
      const auto it = full.params.find(name);
      const std::optional<std::string_view> want =
          it == full.params.end() ? std::nullopt : std::optional<std::string_view>(it->second);
      std::string storage;
      EXPECT_EQ(email::mime::contentTypeParam(m, 0, name, storage), want) << name;
    }
  }
}

struct ParamCase {
  std::string params;  // appended to "text/plain"
  ParamMap expected;
};

TEST(ContentType, Rfc2231Values) {
  const std::vector<ParamCase> cases = {
      {"; name*=utf-8''caf%C3%A9.txt", {{"name", "caf\xC3\xA9.txt"}}},
      // A plain name beats the encoded one, which stays under its starred key.
      {"; name*=UTF-8'en'caf%C3%A9.txt; name=plain.txt",
       {{"name", "plain.txt"}, {"name*", "UTF-8'en'caf%C3%A9.txt"}}},
      {"; name*0=abc; name*1=def", {{"name", "abcdef"}}},
      {"; name*0=abc; name*2=ghi", {{"name", "abc"}, {"name*2", "ghi"}}},
      {"; name*=unknowncs''abc", {{"name*", "unknowncs''abc"}}},
      // Unencoded segments are not percent-decoded.
      {"; name*0*=utf-8''a; name*1=b%41", {{"name", "ab%41"}}},
      // Later encoded segments take the first segment's charset and have no prefix.
      {"; name*0*=iso-8859-1'en'caf%E9; name*1*=%E9%4", {{"name", "caf\xC3\xA9\xC3\xA9%4"}}},
      // Each segment is decoded on its own.
      {"; name*0*=utf-8''caf%C3; name*1*=%A9", {{"name", "caf\xEF\xBF\xBD\xEF\xBF\xBD"}}},
      // Fewer than two quotes: the text after the language is empty.
      {"; name*=utf-8'abc", {{"name", ""}}},
      // A segment without an initial one carries its own prefix.
      {"; name*1*=utf-8''x%41", {{"name*1", "xA"}}},
      {"; title*=us-ascii'en'%E9t%zz%", {{"title", "\xC3\xA9t%zz%"}}},
  };
  for (const ParamCase& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(typeOf("text/plain" + c.params).params, c.expected);
  }
}

struct DispositionCase {
  std::string headerBlock;
  DispositionKind kind;
  std::string extension;
  ParamMap params;
};

TEST(ContentDisposition, KindsAndParameters) {
  const std::vector<DispositionCase> cases = {
      {"X: y\n", DispositionKind::Inline, "", {}},
      {"Content-Disposition: INLINE\n", DispositionKind::Inline, "", {}},
      {"Content-Disposition:  Attachment ; FileName=\"a b.pdf\"\n",
       DispositionKind::Attachment,
       "",
       {{"filename", "a b.pdf"}}},
      {"content-disposition: form-data; name=f\n", DispositionKind::FormData, "", {{"name", "f"}}},
      {"Content-Disposition: Signal\n", DispositionKind::Extension, "signal", {}},
      {"Content-Disposition:\n", DispositionKind::Extension, "", {}},
      {"Content-Disposition: attachment; filename*=utf-8''%E2%82%AC.txt\n"
       "Content-Disposition: inline\n",
       DispositionKind::Attachment,
       "",
       {{"filename", "\xE2\x82\xAC.txt"}}},
  };
  for (const DispositionCase& c : cases) {
    SCOPED_TRACE(c.headerBlock);
    const std::string message = c.headerBlock + "\nbody";  // the parts view these bytes
    const email::mime::ParsedMessage m = email::mime::parseMessage(message);
    ASSERT_TRUE(m.ok());
    const email::mime::ContentDisposition d = email::mime::contentDisposition(m, 0);
    EXPECT_EQ(d.kind, c.kind);
    EXPECT_EQ(d.extension, c.extension);
    EXPECT_EQ(d.params, c.params);
  }
}

}  // namespace
