// The MIME layer: what the reader and the probe may use of it, and nothing else.
//
// A parsed message is a flat list of parts in document pre-order (the root first). Parts
// are views into the caller's message bytes, so the bytes must outlive the parse. Decoded
// header values, decoded bodies and decoded texts are produced on demand and owned by the
// caller. Nothing here throws, keeps global state or recurses along the input's depth.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace email::mime {

// One header line (with its continuation lines) as written.
struct Header {
  std::string_view name;   // bytes before the colon, untrimmed (one character per byte)
  std::string_view value;  // raw value bytes: leading spaces skipped, final line break and
                           // trailing CRs excluded, folds kept
};

// Content-Type / Content-Disposition parameters: names trimmed and lower-cased, values
// trimmed and unquoted, RFC 2231 segments merged. Sorted by name; a later duplicate wins.
using ParamMap = std::map<std::string, std::string, std::less<>>;

struct ContentType {
  std::string mimeType;  // lower-cased, no parameters ("text/plain" when absent)
  std::string charset;   // the "charset" parameter as stored; "us-ascii" when absent
  ParamMap params;
};

enum class DispositionKind { Inline, Attachment, FormData, Extension };

struct ContentDisposition {
  DispositionKind kind = DispositionKind::Inline;
  std::string extension;  // the lower-cased word when kind is Extension
  ParamMap params;
};

inline constexpr uint32_t kNoPart = UINT32_MAX;

// A part's transfer-decoded body bytes.
struct BodyBytes {
  bool ok = true;            // false when the transfer decoding failed
  bool transformed = false;  // true when `decoded` holds the bytes, false for a view
  std::string decoded;
  std::string_view view;

  std::string_view bytes() const { return transformed ? std::string_view(decoded) : view; }
};

// The outcome of a part's transfer decoding as a byte count.
struct BodySize {
  bool ok = true;     // false when the transfer decoding fails (size is then 0)
  uint64_t size = 0;  // decoded byte count
};

struct Part {
  std::string_view raw;         // this part's bytes: header block and body
  std::vector<Header> headers;  // in order
  std::string_view body;        // the body bytes; for a split multipart only the preamble
  ContentType contentType;
  uint32_t depth = 0;         // nesting level, the root is 0
  uint32_t parent = kNoPart;  // index of the enclosing multipart part
  uint32_t childCount = 0;    // number of direct sub-parts
  uint32_t subtreeEnd = 0;    // index one past this part's last descendant
  // Filled by the first transferDecodedSize / decodedBody of the part, which later calls
  // return.
  mutable std::optional<BodySize> decodedSizeMemo;
  mutable std::optional<BodyBytes> decodedBodyMemo;
};

struct ParsedMessage {
  std::vector<Part> parts;  // pre-order; parts[0] is the root; empty when rejected
  std::string error;        // the parser's one-line description when the bytes are rejected

  bool ok() const { return error.empty(); }
};

// Parses a whole message. Always returns: a tree, or a rejection in `error`.
ParsedMessage parseMessage(std::string_view bytes);

// The first header of `part` whose name equals `name` ignoring ASCII case (no trimming).
const Header* firstHeader(const Part& part, std::string_view name);

// The header's value decoded to text: UTF-8 when the raw bytes are valid UTF-8, Latin-1
// otherwise; folded lines unfolded; RFC 2047 encoded words decoded.
std::string headerValue(const Header& header);

// The header name decoded one byte per character (Latin-1), as UTF-8 text.
std::string headerName(const Header& header);

// The part's Content-Disposition (the first such header); Inline with no parameters when
// the part has none.
ContentDisposition contentDisposition(const Part& part);

BodyBytes transferDecode(const Part& part);

// The same, decoded on the first call and kept with the part, so that the probe and the
// reader, which both read text bodies, decode each once. Valid as long as the part.
const BodyBytes& decodedBody(const Part& part);

// The number of bytes `transferDecode` gives for the part, worked out without keeping them
// (once per part: the probe and the reader both ask).
BodySize transferDecodedSize(const Part& part);

// Turns bytes into text by a charset label the way body text is decoded: the label is
// looked up in the WHATWG label table (plus UTF-7 and a few extra aliases); a found label
// sniffs a byte-order mark (UTF-8, UTF-16LE, UTF-16BE), which overrides it and is removed,
// and malformed input becomes U+FFFD; a label that is not found decodes as ISO-8859-1.
std::string decodeCharset(std::string_view bytes, std::string_view label);

// Whether `decodeCharset(bytes, label)` gives non-empty text; settled without decoding
// whenever the first byte decides it.
bool decodesToText(std::string_view bytes, std::string_view label);

// The part's body as text: transfer decoding, then `decodeCharset` with the part's charset.
// Empty optional when the transfer decoding fails.
std::optional<std::string> bodyText(const Part& part);

// Address lists (RFC 5322), as the reader's recipients need them.
struct Mailbox {
  std::optional<std::string> displayName;
  std::string address;
};
struct AddressItem {
  bool isGroup = false;
  Mailbox mailbox;               // when !isGroup
  std::string groupName;         // when isGroup
  std::vector<Mailbox> members;  // when isGroup
};
struct AddressList {
  bool ok = false;
  std::string error;  // description when !ok
  std::vector<AddressItem> items;
};
AddressList parseAddressList(const Header& header);

// For a plain list (mailboxes only, with or without display names, no quotes, comments,
// groups or encoded words, as most To and Cc headers are) the number of mailboxes
// parseAddressList gives, found without building them; empty optional for any other value.
std::optional<size_t> countPlainMailboxes(const Header& header);

// RFC 5322 date-time to seconds since the epoch, zone applied. Text without a day number
// gives 0 (success).
struct DateParse {
  bool ok = false;
  int64_t seconds = 0;
  std::string error;  // description when !ok
};
DateParse parseDate(std::string_view trimmedText);

// Strict standard base64 (padding required, non-zero trailing bits rejected, nothing
// skipped). Empty optional on failure.
std::optional<std::string> decodeBase64Strict(std::string_view text);

}  // namespace email::mime
