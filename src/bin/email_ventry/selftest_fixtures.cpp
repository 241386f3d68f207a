#include "email_ventry/selftest_fixtures.h"

#include <array>

#include "text/text.h"

namespace ventry::fixtures {

using namespace std::string_view_literals;

// Lines shared by many fixtures (string literals are joined at compile time).
#define VENTRY_FROM "From: sender@example.com\r\n"
#define VENTRY_TO "To: alice@example.org\r\n"
#define VENTRY_MULTIPART_HEAD \
  "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"

constexpr std::string_view kPlain = VENTRY_FROM VENTRY_TO "Subject: hi\r\n\r\nhello\r\n"sv;

// The To value opens a quoted name and an angle-bracket address and closes neither.
constexpr std::string_view kBrokenTo =
    VENTRY_FROM "To: \"unterminated <bob@example\r\nSubject: hi\r\n\r\nhello\r\n"sv;

constexpr std::string_view kCalendar = VENTRY_FROM VENTRY_TO VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\ninvite below\r\n"
    "--B\r\nContent-Type: text/calendar; method=REQUEST\r\n\r\n"
    "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"
    "--B--\r\n"sv;

constexpr std::string_view kCid = VENTRY_FROM
    "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"B\"\r\n\r\n"
    "--B\r\nContent-Type: text/html\r\n\r\n<img src=\"cid:logo\">\r\n"
    "--B\r\nContent-Type: image/png\r\nContent-ID: <logo>\r\n\r\nPNGBYTES\r\n"
    "--B--\r\n"sv;

constexpr std::string_view kNested = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\nreal body\r\n"
    "--B\r\nContent-Type: text/plain\r\n\r\nnotes attachment without a name\r\n"
    "--B--\r\n"sv;

// Two delimiter lines in a row: the first part is empty.
constexpr std::string_view kEmptyFirst = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\n--B\r\nContent-Type: text/plain\r\n\r\nreal body\r\n"
    "--B--\r\n"sv;

// An empty part after the real one.
constexpr std::string_view kEmptyAfter = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\nreal body\r\n"
    "--B\r\n--B\r\n--B--\r\n"sv;

constexpr std::string_view kTextualCid = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\nContent-ID: <frag>\r\n\r\ninline fragment\r\n"
    "--B--\r\n"sv;

constexpr std::string_view kEnriched = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
    "--B\r\nContent-Type: text/enriched\r\n\r\n<bold>rich</bold>\r\n"
    "--B--\r\n"sv;

constexpr std::string_view kNamedForward = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\nOuter.\r\n"
    "--B\r\nContent-Type: message/rfc822; name=\"original.eml\"\r\n\r\n"
    "From: forwarder@example.org\r\nContent-Type: text/plain\r\n\r\nInner.\r\n"
    "--B--\r\n"sv;

constexpr std::string_view kRfc822 = VENTRY_FROM VENTRY_MULTIPART_HEAD
    "--B\r\nContent-Type: text/plain\r\n\r\nOuter.\r\n"
    "--B\r\nContent-Type: message/rfc822\r\n\r\n"
    "From: forwarder@example.org\r\nContent-Type: text/plain\r\n\r\nInner.\r\n"
    "--B--\r\n"sv;

// A UTF-32 byte-order mark and no mail structure at all: 22 bytes, two of them NUL.
constexpr std::string_view kHostile = "\xFF\xFE\x00\x00 not a mail at all"sv;

// LF line ends throughout, as in exported archives.
constexpr std::string_view kEnronStyle =
    "Message-ID: <20010514.1639@e>\n"
    "Date: Mon, 14 May 2001 16:39:00 -0700\n"
    "From: sender@example.com\n"
    "To: alice@example.org\n"
    "Subject: re: meeting\n"
    "Mime-Version: 1.0\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "\n"
    "ok will do\n"sv;

constexpr std::string_view kDate =
    VENTRY_FROM VENTRY_TO "Date: Mon, 1 Sep 2026 10:00:00 -0700\r\n\r\nhello\r\n"sv;

constexpr std::string_view kCharsetFallback =
    VENTRY_FROM "Content-Type: text/plain\r\n\r\ncaf\xC3\xA9\r\n"sv;

constexpr std::string_view kDeclaredCharset =
    VENTRY_FROM "Content-Type: text/plain; charset=utf-8\r\n\r\ncaf\xC3\xA9\r\n"sv;

constexpr std::string_view kFlowed =
    VENTRY_FROM "Content-Type: text/plain; format=flowed\r\n\r\nsoft \r\nwrapped\r\n"sv;

constexpr std::string_view kFixed =
    VENTRY_FROM "Content-Type: text/plain; format=fixed\r\n\r\nhard\r\nwrapped\r\n"sv;

constexpr std::string_view kEmptyCc = VENTRY_FROM VENTRY_TO "Cc:\r\n\r\nhello\r\n"sv;

constexpr std::string_view kBlankFoldedCc =
    VENTRY_FROM VENTRY_TO "Cc: \r\n \r\nSubject: x\r\n\r\nhello\r\n"sv;

// An empty group with an empty display name.
constexpr std::string_view kNothingCc = VENTRY_FROM VENTRY_TO "Cc: \"\":;\r\n\r\nhello\r\n"sv;

constexpr std::string_view kFoldedCc =
    VENTRY_FROM VENTRY_TO "Cc:\r\n carol@example.org\r\n\r\nhello\r\n"sv;

constexpr std::string_view kLaterContinuation =
    VENTRY_FROM VENTRY_TO "Cc:\r\nSubject: a folded\r\n subject line\r\n\r\nhello\r\n"sv;

constexpr std::string_view kEmptyTo = VENTRY_FROM "To:\r\nCc: carol@example.org\r\n\r\nhello\r\n"sv;

constexpr std::string_view kSpacedColon =
    VENTRY_FROM "To : alice@example.org\r\nCc : carol@example.org\r\n\r\nhello\r\n"sv;

std::string buildOversize() {
  constexpr std::string_view head = VENTRY_FROM VENTRY_MULTIPART_HEAD
      "--B\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n"sv;
  constexpr std::string_view tail = "\r\n--B--\r\n"sv;
  std::string encoded;
  {
    // The zero buffer lives only until its encoding exists.
    const std::string zeros(kOversizeZeroBytes, '\0');
    encoded = text::encodeBase64(zeros);
  }
  std::string message;
  message.reserve(head.size() + encoded.size() + tail.size());
  message.append(head).append(encoded).append(tail);
  return message;
}

std::span<const NamedFixture> constantFixtures() {
  static constexpr std::array<NamedFixture, 25> kAll{{
      {"plain", kPlain},
      {"broken-to", kBrokenTo},
      {"calendar", kCalendar},
      {"cid", kCid},
      {"nested", kNested},
      {"empty-first", kEmptyFirst},
      {"empty-after", kEmptyAfter},
      {"textual-cid", kTextualCid},
      {"enriched", kEnriched},
      {"named-forward", kNamedForward},
      {"rfc822", kRfc822},
      {"hostile", kHostile},
      {"enron-style", kEnronStyle},
      {"date", kDate},
      {"charset-fallback", kCharsetFallback},
      {"declared-charset", kDeclaredCharset},
      {"flowed", kFlowed},
      {"fixed", kFixed},
      {"empty-cc", kEmptyCc},
      {"blank-folded-cc", kBlankFoldedCc},
      {"nothing-cc", kNothingCc},
      {"folded-cc", kFoldedCc},
      {"later-continuation", kLaterContinuation},
      {"empty-to", kEmptyTo},
      {"spaced-colon", kSpacedColon},
  }};
  return kAll;
}

#undef VENTRY_FROM
#undef VENTRY_TO
#undef VENTRY_MULTIPART_HEAD

}  // namespace ventry::fixtures
