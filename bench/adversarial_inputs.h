// Generators of hostile messages whose size grows with one knob (the number of units), for
// the linear-cost measurements (bench/adversarial.cpp) and the crash tests at the base size
// (tests/hardening). Each generator reserves its exact size so that building the input does
// not inflate the peak memory of a measurement.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace adversarial {

struct Case {
  std::string_view name;
  std::string_view description;
  size_t baseUnits;  // the units of the base (1x) input
  std::string (*build)(size_t units);
};

namespace detail {

inline void appendNumber(std::string& out, size_t n) {
  out += std::to_string(n);
}

// Distinct boundaries that are never a prefix of one another: "b<n>x".
inline std::string boundary(size_t level) {
  std::string out(1, 'b');
  out += std::to_string(level);
  out += 'x';
  return out;
}

inline std::string nestedMultiparts(size_t levels) {
  std::string out;
  out.reserve(levels * 72 + 64);
  for (size_t i = 0; i < levels; ++i) {
    std::string b = boundary(i);
    out += "Content-Type: multipart/mixed; boundary=";
    out += b;
    out += "\r\n\r\n--";
    out += b;
    out += "\r\n";
  }
  out += "Content-Type: text/plain\r\n\r\ninnermost\r\n";
  for (size_t i = levels; i-- > 0;) {
    out += "--";
    out += boundary(i);
    out += "--\r\n";
  }
  return out;
}

inline std::string siblingParts(size_t parts) {
  std::string out = "Content-Type: multipart/mixed; boundary=sib\r\n\r\n";
  out.reserve(out.size() + parts * 48 + 16);
  for (size_t i = 0; i < parts; ++i) {
    out += "--sib\r\nContent-Type: text/plain\r\n\r\npart ";
    appendNumber(out, i % 1000);
    out += "\r\n";
  }
  out += "--sib--\r\n";
  return out;
}

// One Subject folded into 76-byte lines; units are MiB of header block.
inline std::string foldedHeader(size_t mebibytes) {
  const size_t size = mebibytes << 20;
  std::string out = "Subject: start";
  out.reserve(size + 64);
  const std::string_view line = "\r\n folded words of one very long header, again and again  ";
  while (out.size() + line.size() < size) out += line;
  out += "\r\n\r\nbody\r\n";
  return out;
}

// A To header of one line with no line feed anywhere; units are MiB.
inline std::string longLine(size_t mebibytes) {
  const size_t size = mebibytes << 20;
  std::string out = "To: ";
  out.reserve(size);
  out.append(size - out.size(), 'a');
  return out;
}

// A multipart body whose lines start with all but the last character of the 70-character
// boundary, or hold the whole boundary after the line start; units are MiB.
inline std::string boundaryLookalikes(size_t mebibytes) {
  const size_t size = mebibytes << 20;
  const std::string b(70, 'q');
  std::string out = "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b +
                    "\r\nContent-Type: text/plain\r\n\r\n";
  out.reserve(size + 256);
  const std::string nearly = "--" + b.substr(0, 69) + "r\r\n";
  const std::string inside = "x--" + b + "\r\n";
  for (size_t i = 0; out.size() < size; ++i) out += (i % 2 == 0) ? nearly : inside;
  out += "--" + b + "--\r\n";
  return out;
}

inline std::string encodedWords(size_t words) {
  std::string out = "Subject: ";
  out.reserve(words * 16 + 32);
  for (size_t i = 0; i < words; ++i) out += "=?utf-8?q?w=C3=A9?= ";
  out += "\r\n\r\nbody\r\n";
  return out;
}

// The same words after a leading two-byte character (the boundary test then looks at
// character indexes that differ from byte offsets).
inline std::string encodedWordsNonAscii(size_t words) {
  std::string out = "Subject: \xC3\xA9 ";
  out.reserve(words * 16 + 32);
  for (size_t i = 0; i < words; ++i) out += "=?utf-8?q?w?= ";
  out += "\r\n\r\nbody\r\n";
  return out;
}

// Encoded-word openers that never close.
inline std::string unclosedOpeners(size_t openers) {
  std::string out = "Subject: ";
  out.reserve(openers * 8 + 32);
  for (size_t i = 0; i < openers; ++i) out += "=?a?q?b ";
  out += "\r\n\r\nbody\r\n";
  return out;
}

// RFC 2231 continuations of one encoded name, each on its own folded line.
inline std::string manyParameters(size_t parameters) {
  std::string out = "Content-Type: application/octet-stream";
  out.reserve(parameters * 32 + 128);
  for (size_t i = 0; i < parameters; ++i) {
    out += ";\r\n name*";
    appendNumber(out, i);
    out += i == 0 ? "*=utf-8''%41b" : "*=%41b";
  }
  out += "\r\nContent-Disposition: attachment\r\n\r\nAAAA\r\n";
  return out;
}

// Two RFC 2231 segments whose names are long runs of '*': the second ("a**...*1*") takes
// the charset of the first ("a**...*0*"), found among the prefixes of its name that end
// at a '*'. Units are the '*' of one name.
inline std::string starredNames(size_t stars) {
  const std::string run(stars, '*');
  std::string out = "Content-Type: application/x; a";
  out.reserve(out.size() + 2 * stars + 32);
  out += run;
  out += "0*=utf-8''x; a";
  out += run;
  out += "*1*=y\r\n\r\nbody\r\n";
  return out;
}

// A named base64 attachment with a space between every character; units are MiB of
// decoded bytes.
inline std::string spacedBase64(size_t mebibytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t symbols = (mebibytes << 20) / 3 * 4;
  std::string out =
      "Content-Type: application/octet-stream; name=blob.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  out.reserve(out.size() + symbols * 2 + symbols / 38 + 16);
  for (size_t i = 0; i < symbols; ++i) {
    out += kAlphabet[(i * 7 + i / 64) % 64];
    out += ' ';
    if (i % 76 == 75) out += "\r\n";
  }
  out += "\r\n";
  return out;
}

inline std::string manyHeaders(size_t headers) {
  std::string out;
  out.reserve(headers * 16 + 32);
  for (size_t i = 0; i < headers; ++i) out += (i % 3 == 0) ? "To: a@b.c\r\n" : "X-H: v\r\n";
  out += "\r\nbody\r\n";
  return out;
}

inline std::string manyAddresses(size_t addresses) {
  std::string out = "To: ";
  out.reserve(addresses * 24 + 32);
  for (size_t i = 0; i < addresses; ++i) {
    out += i % 2 == 0 ? "\"N, x\" <user@example.com>, " : "user@example.com,\r\n ";
  }
  out += "last@example.com\r\n\r\nbody\r\n";
  return out;
}

// Parts as small as a multipart allows: the body is one delimiter line after another, so
// every part is empty (or holds one short header line). Units are delimiter lines.
inline std::string repeatedBody(std::string_view head, std::string_view piece, size_t times,
                                std::string_view tail = {}) {
  std::string out(head);
  out.reserve(head.size() + piece.size() * times + tail.size());
  for (size_t i = 0; i < times; ++i) out += piece;
  out += tail;
  return out;
}

// multipart/digest with an empty boundary: every "--" line opens a message/rfc822 part.
inline std::string digestBareDelimiters(size_t lines) {
  return repeatedBody("Content-Type: multipart/digest; boundary=\"\"\r\n\r\n", "--\n", lines);
}

// The same body in a multipart/mixed: every part is an empty text/plain body.
inline std::string mixedBareDelimiters(size_t lines) {
  return repeatedBody("Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n", "--\n", lines);
}

inline std::string crlfBareDelimiters(size_t lines) {
  return repeatedBody("Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n", "--\r\n", lines);
}

// Every part holds one header line without a colon.
inline std::string delimiterHeaderPairs(size_t lines) {
  return repeatedBody("Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n", "--\na\n", lines);
}

inline std::string shortBoundarySiblings(size_t lines) {
  return repeatedBody("Content-Type: multipart/mixed; boundary=b\r\n\r\n", "--b\n", lines);
}

// Parts that name an image by Content-ID (referenced inline, never listed).
inline std::string contentIdParts(size_t parts) {
  return repeatedBody("Content-Type: multipart/related; boundary=\"\"\r\n\r\n",
                      "--\nContent-Type:image/gif\nContent-ID:c\n", parts);
}

// Unnamed textual parts that are neither plain text nor HTML.
inline std::string otherTextualParts(size_t parts) {
  return repeatedBody("Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n",
                      "--\nContent-Type:text/x\n", parts);
}

// One To header of empty groups ("g:;g:;..."); units are groups.
inline std::string emptyGroups(size_t groups) {
  return repeatedBody("To: ", "g:;", groups, "\r\n\r\nbody\r\n");
}

// One To header of mailboxes each closed by ';' ("a@b;a@b;..."); units are mailboxes.
inline std::string semicolonMailboxes(size_t mailboxes) {
  return repeatedBody("To: ", "a@b;", mailboxes, "\r\n\r\nbody\r\n");
}

// Header blocks of the shortest lines: a name without a colon, a colon alone, a name with an
// empty value. Units are lines.
inline std::string bareNameLines(size_t lines) {
  return repeatedBody("", "a\n", lines, "\nbody\n");
}

inline std::string bareColonLines(size_t lines) {
  return repeatedBody("", ":\n", lines, "\nbody\n");
}

inline std::string emptyValueLines(size_t lines) {
  return repeatedBody("", "a:\n", lines, "\nbody\n");
}

// One To header folded after every character ("a" lines): not an address list, so the
// value is carried as one entry; units are lines.
inline std::string foldedRecipients(size_t lines) {
  return repeatedBody("To: ", "a\n ", lines, "\r\n\r\nbody\r\n");
}

// Parts that each declare a charset of their own; units are parts.
inline std::string distinctCharsets(size_t parts) {
  std::string out = "Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n";
  out.reserve(out.size() + parts * (37 + std::to_string(parts).size()));
  for (size_t i = 0; i < parts; ++i) {
    out += "--\nContent-Type:text/plain;charset=c";
    appendNumber(out, i);
    out += '\n';
  }
  return out;
}

// A text/plain body in base64 (76-character lines); units are MiB of decoded text.
inline std::string base64TextBody(size_t mebibytes) {
  // "YS5i" is "a.b": the decoded text is plain ASCII, and with its '.' no base64 text (which
  // would make the reader try it as a report attachment, up to the inline cap).
  const size_t groups = (mebibytes << 20) / 3;
  std::string out =
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  out.reserve(out.size() + groups * 4 + groups / 19 * 2 + 16);
  for (size_t i = 0; i < groups; ++i) {
    out += "YS5i";
    if (i % 19 == 18) out += "\r\n";
  }
  out += "\r\n";
  return out;
}

}  // namespace detail

inline const std::array<Case, 28>& cases() {
  static const std::array<Case, 28> kCases = {{
      {"nested-multipart", "multiparts nested one in the other", 100000, detail::nestedMultiparts},
      {"sibling-parts", "sibling parts of one multipart", 200000, detail::siblingParts},
      {"folded-header", "MiB of one folded Subject header", 64, detail::foldedHeader},
      {"long-line", "MiB of one line without LF (a To header)", 100, detail::longLine},
      // 64 MiB: smaller inputs still partly fit the caches and look cheaper per byte.
      {"boundary-lookalikes", "MiB of lines that nearly match the boundary", 64,
       detail::boundaryLookalikes},
      {"encoded-words", "encoded words in one Subject line", 1000000, detail::encodedWords},
      {"encoded-words-non-ascii", "encoded words after a non-ASCII character", 1000000,
       detail::encodedWordsNonAscii},
      {"unclosed-openers", "encoded-word openers that never close", 1000000,
       detail::unclosedOpeners},
      {"rfc2231-parameters", "folded RFC 2231 continuations of one parameter", 100000,
       detail::manyParameters},
      {"starred-names", "'*' in each of two RFC 2231 segment names", (1 << 20) / 2,
       detail::starredNames},
      {"spaced-base64", "MiB of base64 with a space after every character", 8,
       detail::spacedBase64},
      {"many-headers", "header lines (every third a To)", 1000000, detail::manyHeaders},
      {"many-addresses", "addresses in one folded To header", 1000000, detail::manyAddresses},
      // The shapes below have 1 MiB as their base (1x) size, so 16x is 16 MiB.
      {"digest-bare-delimiters", "\"--\" lines of a multipart/digest with boundary=\"\"",
       (1 << 20) / 3, detail::digestBareDelimiters},
      {"mixed-bare-delimiters", "\"--\" lines of a multipart/mixed with boundary=\"\"",
       (1 << 20) / 3, detail::mixedBareDelimiters},
      {"crlf-bare-delimiters", "\"--\" CRLF lines of a multipart/mixed with boundary=\"\"",
       (1 << 20) / 4, detail::crlfBareDelimiters},
      {"delimiter-header-pairs", "\"--\" lines each followed by a header line without colon",
       (1 << 20) / 5, detail::delimiterHeaderPairs},
      {"short-boundary-siblings", "\"--b\" lines of a multipart/mixed with boundary=b",
       (1 << 20) / 4, detail::shortBoundarySiblings},
      {"content-id-parts", "image parts named by Content-ID", (1 << 20) / 39,
       detail::contentIdParts},
      {"other-textual-parts", "unnamed text/x parts", (1 << 20) / 23, detail::otherTextualParts},
      {"empty-groups", "empty groups \"g:;\" in one To header", (1 << 20) / 3, detail::emptyGroups},
      {"semicolon-mailboxes", "mailboxes \"a@b;\" in one To header", (1 << 20) / 4,
       detail::semicolonMailboxes},
      {"bare-name-lines", "header lines \"a\" without a colon", (1 << 20) / 2,
       detail::bareNameLines},
      {"bare-colon-lines", "header lines \":\"", (1 << 20) / 2, detail::bareColonLines},
      {"empty-value-lines", "header lines \"a:\"", (1 << 20) / 3, detail::emptyValueLines},
      {"base64-text-body", "MiB of base64 text/plain body", 4, detail::base64TextBody},
      {"folded-recipients", "one-character lines of one folded To header", (1 << 20) / 3,
       detail::foldedRecipients},
      {"distinct-charsets", "parts that each declare their own charset", (1 << 20) / 40,
       detail::distinctCharsets},
  }};
  return kCases;
}

// The units that make the case's input about `bytes` long: every input grows linearly with
// its units, so two small builds give the size of a unit and the fixed part.
inline size_t unitsForBytes(const Case& which, size_t bytes) {
  const size_t small = std::max<size_t>(1, which.baseUnits / 64);
  const size_t one = which.build(small).size();
  const size_t two = which.build(2 * small).size();
  const double perUnit = static_cast<double>(two - one) / static_cast<double>(small);
  const double fixed = static_cast<double>(one) - perUnit * static_cast<double>(small);
  if (perUnit <= 0) return 1;
  const double units = (static_cast<double>(bytes) - fixed) / perUnit;
  return units < 1 ? 1 : static_cast<size_t>(units + 0.5);
}

}  // namespace adversarial
