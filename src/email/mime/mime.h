// The MIME layer: what the reader and the probe may use of it, and nothing else.
//
// A parsed message is a flat list of parts in document pre-order (the root first). A part is
// a few offsets into the caller's message bytes, which must outlive the parse, and into the
// message's one list of header positions; each part's media type and charset are worked out
// once and kept in a small per-message table. Header names and values, bodies and the
// Content-Type parameters are read from the bytes when asked for, so the tree holds nothing
// per part or header beyond a fixed size. Decoded header values, decoded bodies and decoded
// texts are produced on demand and owned by the caller, except that the bodies both the probe
// and the reader decode are kept once per message. Nothing here throws, keeps global state
// or recurses along the input's depth.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace email::mime {

// One header line (with its continuation lines) as written: views into the message bytes.
struct Header {
  std::string_view name;   // bytes before the colon, untrimmed (one character per byte)
  std::string_view value;  // raw value bytes: leading spaces skipped, final line break and
                           // trailing CRs excluded, folds kept
};

// Where the parse found a header: the offset of its line in the message and the length of its
// name (kLongName when the name is too long to keep here; it is then found again).
struct HeaderSpot {
  static constexpr uint32_t kLongName = 0xFFFF;
  uint64_t packed = 0;  // line start in the low 48 bits, name length in the high 16

  uint64_t lineStart() const { return packed & ((uint64_t{1} << 48) - 1); }
  uint32_t nameLength() const { return static_cast<uint32_t>(packed >> 48); }
};

// Content-Type / Content-Disposition parameters: names trimmed and lower-cased, values
// trimmed and unquoted, RFC 2231 segments merged. Sorted by name; a later duplicate wins.
using ParamMap = std::map<std::string, std::string, std::less<>>;

// A part's Content-Type, all of it (for tools and tests; the walks ask for the pieces).
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

// The Content-Transfer-Encoding that decoding applies (the first such header decides).
enum class TransferEncoding : uint8_t { Identity, Base64, QuotedPrintable };

inline constexpr uint32_t kNoPart = UINT32_MAX;

// Offsets (48 bits each: any message that fits in memory) of one part in the message bytes.
struct Part {
  uint64_t begin : 48 = 0;  // the part's first byte (its header block)
  uint64_t typeLow : 16 = 0;
  uint64_t end : 48 = 0;  // one past its last byte
  uint64_t typeHigh : 16 = 0;
  uint64_t bodyStart : 48 = 0;  // the body's first byte; the body runs to `end`, except that
                                // of a split multipart, which is only its preamble
  uint64_t encoding : 2 = 0;    // a TransferEncoding
  uint64_t split : 1 = 0;       // a multipart whose delimiters were found
  // Where the part's first Content-Type header is among its headers (index + 1; 0 when it
  // has none, kFarHeader when it is too far down to say here); whether its value is read in
  // place (see contentTypeParam) and whether it then holds no parameter but charset and
  // boundary; whether the part has the other headers the walks ask for.
  uint64_t contentTypeHeader : 8 = 0;
  uint64_t plainContentType : 1 = 0;
  uint64_t typeParamsOnly : 1 = 0;
  uint64_t hasTransferEncoding : 1 = 0;
  uint64_t hasDisposition : 1 = 0;
  uint64_t hasContentId : 1 = 0;
  uint32_t firstHeader = 0;  // index of its first header in ParsedMessage::headers
  uint32_t depth = 0;        // nesting level, the root is 0

  static constexpr uint32_t kFarHeader = 255;

  // The index of the part's media type and charset in the message's type table.
  uint32_t typeId() const {
    return static_cast<uint32_t>(typeLow) | static_cast<uint32_t>(typeHigh) << 16;
  }
  void setTypeId(uint32_t id) {
    typeLow = id & 0xFFFF;
    typeHigh = id >> 16;
  }
  TransferEncoding transferEncoding() const { return static_cast<TransferEncoding>(encoding); }
};
static_assert(sizeof(Part) == 32, "a part is four words");

// Media types and charsets, each pair kept once per run of parts that share it. Ids 0 and 1
// stand for the two defaults and take no room: text/plain and message/rfc822 (the default
// of a multipart/digest's children), both without a charset parameter. The texts are views
// into the message where they stand there as they are (the common case), or copies kept in
// `text`.
struct TypeName {
  uint64_t mediaTypeOffset : 48 = 0;
  uint64_t mediaTypeKept : 1 = 0;  // the offset is in TypeTable::text, not in the message
  uint64_t charsetKept : 1 = 0;
  uint64_t charsetDeclared : 1 = 0;  // a "charset" parameter is there (else "us-ascii" stands)
  uint64_t mediaTypeSize : 48 = 0;
  uint64_t charsetOffset : 48 = 0;
  uint64_t charsetSize : 48 = 0;
};
struct TypeTable {
  std::string text;
  std::vector<TypeName> names;  // id - 2
};

// The preamble end of every split multipart, in part order.
struct PreambleEnd {
  uint32_t part = 0;
  uint64_t end = 0;
};

// A part's transfer-decoded body bytes.
struct BodyBytes {
  bool ok = true;            // false when the transfer decoding failed
  bool transformed = false;  // true when `decoded` holds the bytes, false for a view
  std::string decoded;
  std::string_view view;

  std::string_view bytes() const { return transformed ? std::string_view(decoded) : view; }
};

// The same as a view: into the message, or into the bytes the message keeps.
struct BodyView {
  bool ok = true;
  std::string_view bytes;
};

// The outcome of a part's transfer decoding as a byte count.
struct BodySize {
  bool ok = true;     // false when the transfer decoding fails (size is then 0)
  uint64_t size = 0;  // decoded byte count
};

// What decodedBody and transferDecodedSize keep, by part index, for the parts whose transfer
// encoding changes the bytes (identity bodies are views and need nothing kept).
struct DecodedBodies {
  std::unordered_map<uint32_t, BodyBytes> bodies;
  std::unordered_map<uint32_t, BodySize> sizes;
};

struct ParsedMessage {
  std::string_view bytes;              // the message the offsets point into
  std::deque<Part> parts;              // pre-order; parts[0] is the root; empty when rejected
  std::vector<HeaderSpot> headers;     // every part's headers, part after part
  TypeTable types;                     // the parts' media types and charsets
  std::vector<PreambleEnd> preambles;  // for the split multiparts
  std::string error;  // the parser's one-line description when the bytes are rejected
  mutable DecodedBodies decoded;
  // The parameters of the last part whose Content-Type value is not plain and was asked for
  // one (the probe and the reader ask the same part several times).
  mutable uint32_t typeParamsPart = kNoPart;
  mutable ParamMap typeParams;

  bool ok() const { return error.empty(); }
};

// Parses a whole message. Always returns: a tree, or a rejection in `error`.
ParsedMessage parseMessage(std::string_view bytes);

// The part's bytes: header block and body.
std::string_view partBytes(const ParsedMessage& message, uint32_t part);

// The body bytes; for a split multipart only the preamble.
std::string_view partBody(const ParsedMessage& message, uint32_t part);

// Whether the part has sub-parts (they follow it directly, one level deeper).
bool hasChildren(const ParsedMessage& message, uint32_t part);

// One past the part's last descendant. These three walk the parts nearby (the subtree, the
// parts back to the parent, the subtree), so a caller asks once per walk, not per part.
uint32_t subtreeEnd(const ParsedMessage& message, uint32_t part);
uint32_t parentOf(const ParsedMessage& message, uint32_t part);  // kNoPart for the root
uint32_t childCount(const ParsedMessage& message, uint32_t part);

// Every part's parent in one pass (for tools and tests that look at all of them).
std::vector<uint32_t> parentLinks(const ParsedMessage& message);

// The part's headers, in order: their number, one of them, one name (without reading the
// value), and all of them as a list (for tools and tests).
uint32_t headerCount(const ParsedMessage& message, uint32_t part);
Header headerAt(const ParsedMessage& message, uint32_t part, uint32_t index);
std::string_view headerNameAt(const ParsedMessage& message, uint32_t part, uint32_t index);
std::vector<Header> partHeaders(const ParsedMessage& message, uint32_t part);

// The same by header position: the part's spots, and the name at one of them.
std::span<const HeaderSpot> headerSpots(const ParsedMessage& message, uint32_t part);
std::string_view spotName(const ParsedMessage& message, const HeaderSpot& spot);

// The first header of the part whose name equals `name` ignoring ASCII case (no trimming).
std::optional<Header> firstHeader(const ParsedMessage& message, uint32_t part,
                                  std::string_view name);

// The same for the headers the walks ask every part for, found without a search when the
// part has none.
enum class PartHeader { ContentType, ContentTransferEncoding, ContentDisposition, ContentId };
std::optional<Header> partHeader(const ParsedMessage& message, uint32_t part, PartHeader which);

// The header's value decoded to text: UTF-8 when the raw bytes are valid UTF-8, Latin-1
// otherwise; folded lines unfolded; RFC 2047 encoded words decoded.
std::string headerValue(const Header& header);

// The header name decoded one byte per character (Latin-1), as UTF-8 text.
std::string headerName(const Header& header);

// The part's media type: lower-cased, no parameters; "text/plain" without a Content-Type
// header, "message/rfc822" for such a direct child of a multipart/digest.
std::string_view mediaType(const ParsedMessage& message, uint32_t part);

// The "charset" parameter as stored, and whether there is one ("us-ascii" when not).
std::string_view charset(const ParsedMessage& message, uint32_t part);
bool declaresCharset(const ParsedMessage& message, uint32_t part);

// One Content-Type parameter (of the first such header) by its lower-case name, as the full
// reading gives it. A plain value (printable ASCII, tabs and folds between pieces, no encoded
// word, no RFC 2231 '*') is read in place and the view points into the message; any other
// value is parsed again and the view points into `storage`.
std::optional<std::string_view> contentTypeParam(const ParsedMessage& message, uint32_t part,
                                                 std::string_view lowerName, std::string& storage);

// The media type, charset and parameters together.
ContentType contentType(const ParsedMessage& message, uint32_t part);

// The part's Content-Disposition (the first such header); Inline with no parameters when
// the part has none.
ContentDisposition contentDisposition(const ParsedMessage& message, uint32_t part);

BodyBytes transferDecode(const ParsedMessage& message, uint32_t part);

// The same, decoded on the first call and kept with the message, so that the probe and the
// reader, which both read text bodies, decode each once. Valid as long as the message.
BodyView decodedBody(const ParsedMessage& message, uint32_t part);

// The number of bytes `transferDecode` gives for the part, worked out without keeping them
// (once per part: the probe and the reader both ask).
BodySize transferDecodedSize(const ParsedMessage& message, uint32_t part);

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
std::optional<std::string> bodyText(const ParsedMessage& message, uint32_t part);

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

// For any value: the number of recipient entries parseAddressList's items make (one per
// mailbox, one per group member, one per memberless group with a name), worked out without
// keeping the items; empty optional when parseAddressList fails.
std::optional<uint64_t> countAddressEntries(const Header& header);

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
