#include "email/mime/content_type.h"

#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "email/mime/charset.h"
#include "text/text.h"

namespace email::mime {

namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// '%' followed by two hex digits becomes that byte; any other '%' stays as it is.
std::string percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = hexDigit(s[i + 1]);
      const int lo = hexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::string_view upToFirstQuote(std::string_view s) {
  return s.substr(0, s.find('\''));
}

// The text after the second '\'' (charset'language'text), empty when there are fewer.
std::string_view afterLanguage(std::string_view s) {
  const size_t first = s.find('\'');
  if (first == std::string_view::npos) return {};
  const size_t second = s.find('\'', first + 1);
  if (second == std::string_view::npos) return {};
  return s.substr(second + 1);
}

// A starred key of the map; a long parameter list holds many, so a candidate is the entry
// itself and a view of its charset (in the entry's value, or in the initial charsets).
struct EncodedCandidate {
  ParamMap::iterator starred;
  std::string_view charset;
  bool hasPrefix = false;  // the value starts with charset'language'

  // The key without its final '*'.
  std::string_view plainName() const {
    return std::string_view(starred->first).substr(0, starred->first.size() - 1);
  }
};

// The charsets of initial segments, by their prefix "x*": each entry also points at the
// entry of the shortest key that starts its own (itself when none does).
struct InitialSegment {
  std::string charset;
  std::string_view key;
  const InitialSegment* root = nullptr;
};
using InitialSegments = std::map<std::string, InitialSegment, std::less<>>;

// In key order, the keys that start one another lie nested on a stack: one pass.
void linkRoots(InitialSegments& segments) {
  std::vector<const InitialSegment*> open;
  for (auto& [key, segment] : segments) {
    segment.key = key;
    while (!open.empty() && !segment.key.starts_with(open.back()->key)) open.pop_back();
    segment.root = open.empty() ? &segment : open.front();
    open.push_back(&segment);
  }
}

// The entry of the shortest key that starts `name`, or null. Every key that starts `name`
// also starts the last key not above it, so the answer is that key's root or none; this
// keeps a name of many '*' from being looked up once per '*'.
const InitialSegment* shortestStart(const InitialSegments& segments, std::string_view name) {
  const auto after = segments.upper_bound(name);
  if (after == segments.begin()) return nullptr;
  const InitialSegment* root = std::prev(after)->second.root;
  return name.starts_with(root->key) ? root : nullptr;
}

// RFC 2231 charset-encoded values ("name*=charset'lang'%XX..."). A starred key is decoded
// only when the unstarred name is not a key; segments "x*N*" take the charset of "x*0*".
// An unknown charset leaves the entry under its starred key, undecoded.
void mergeEncodedValues(ParamMap& params) {
  std::vector<EncodedCandidate> candidates;
  for (auto it = params.begin(); it != params.end(); ++it) {
    const std::string_view key = it->first;
    if (!endsWith(key, "*")) continue;
    if (params.find(key.substr(0, key.size() - 1)) != params.end()) continue;
    candidates.push_back({it, {}, false});
  }
  // Charsets of initial segments, by the segment prefix "x*" (copies: an initial segment's
  // entry is replaced before later segments are decoded).
  InitialSegments initialCharsets;
  for (const EncodedCandidate& candidate : candidates) {
    const std::string_view plain = candidate.plainName();
    if (endsWith(plain, "*0")) {
      initialCharsets[std::string(plain.substr(0, plain.size() - 1))].charset =
          std::string(upToFirstQuote(candidate.starred->second));
    }
  }
  linkRoots(initialCharsets);
  for (EncodedCandidate& candidate : candidates) {
    const std::string_view plain = candidate.plainName();
    const std::string_view value = candidate.starred->second;
    if (endsWith(plain, "*0")) {
      candidate.charset = upToFirstQuote(value);
      candidate.hasPrefix = true;
      continue;
    }
    if (const InitialSegment* initial = shortestStart(initialCharsets, plain)) {
      candidate.charset = initial->charset;
    } else {
      candidate.charset = upToFirstQuote(value);
      candidate.hasPrefix = true;
    }
  }
  for (const EncodedCandidate& candidate : candidates) {
    std::string_view encoded = candidate.starred->second;
    if (candidate.hasPrefix) encoded = afterLanguage(encoded);
    std::optional<std::string> decoded =
        decodeCharsetNoBom(percentDecode(encoded), candidate.charset);
    if (!decoded) continue;
    std::string plain(candidate.plainName());
    params.erase(candidate.starred);
    params[std::move(plain)] = std::move(*decoded);
  }
}

// RFC 2231 continuations: "x*0", "x*1", ... joined under "x" while the numbering has no gap,
// unless a plain "x" is already a key.
void mergeContinuations(ParamMap& params) {
  std::vector<std::string> initialKeys;
  for (const auto& [key, value] : params) {
    if (endsWith(key, "*0")) initialKeys.push_back(key);
  }
  for (const std::string& initial : initialKeys) {
    const std::string plain = initial.substr(0, initial.size() - 2);
    if (params.count(plain) != 0 || params.count(initial) == 0) continue;
    std::string joined;
    for (size_t index = 0;; ++index) {
      auto segment = params.find(plain + "*" + std::to_string(index));
      if (segment == params.end()) break;
      joined += segment->second;
      params.erase(segment);
    }
    params[plain] = std::move(joined);
  }
}

}  // namespace

ParameterizedValue parseParameterizedValue(std::string_view decodedText) {
  ParameterizedValue result;
  size_t pieceStart = 0;
  bool first = true;
  for (;;) {
    const size_t semicolon = decodedText.find(';', pieceStart);
    const std::string_view piece = decodedText.substr(
        pieceStart,
        semicolon == std::string_view::npos ? std::string_view::npos : semicolon - pieceStart);
    if (first) {
      result.value = text::trim(piece);
      first = false;
    } else if (const size_t equals = piece.find('='); equals != std::string_view::npos) {
      std::string key = text::unicodeLower(text::trim(piece.substr(0, equals)));
      std::string_view value = text::trim(piece.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      result.params[std::move(key)] = std::string(value);
    }
    if (semicolon == std::string_view::npos) break;
    pieceStart = semicolon + 1;
  }
  mergeEncodedValues(result.params);
  mergeContinuations(result.params);
  return result;
}

namespace {

// White space as a plain value can hold it: blanks, and the line breaks of folds.
bool isPlainSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimPlain(std::string_view s) {
  while (!s.empty() && isPlainSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isPlainSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Hands every parameter of a plain value to `take(name, value)`, in order: the pieces after
// the first ';' that hold a '=', the name trimmed, the value trimmed and unquoted.
template <typename Take>
void forEachPlainParameter(std::string_view raw, Take&& take) {
  size_t semicolon = raw.find(';');
  while (semicolon != std::string_view::npos) {
    const size_t pieceStart = semicolon + 1;
    semicolon = raw.find(';', pieceStart);
    const std::string_view piece =
        raw.substr(pieceStart, semicolon == std::string_view::npos ? std::string_view::npos
                                                                   : semicolon - pieceStart);
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view value = trimPlain(piece.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    take(trimPlain(piece.substr(0, equals)), value);
  }
}

bool hasLineFeed(std::string_view s) {
  return s.find('\n') != std::string_view::npos;
}

}  // namespace

std::string_view plainLeadingValue(std::string_view raw) {
  return trimPlain(raw.substr(0, raw.find(';')));
}

bool isPlainParameterText(std::string_view raw) {
  bool folded = false;
  for (size_t i = 0; i < raw.size(); ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c == '\n' || (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) {
      folded = true;
      continue;
    }
    if ((c < 0x20 && c != '\t') || c >= 0x7F || c == '*') return false;
    if (c == '?' && i > 0 && raw[i - 1] == '=') return false;
  }
  if (!folded) return true;
  // Decoding turns each fold into one space. Between pieces, names and values that is
  // trimmed away; inside one it would be a space that the raw bytes do not hold.
  if (hasLineFeed(plainLeadingValue(raw))) return false;
  bool inside = false;
  forEachPlainParameter(raw, [&inside](std::string_view name, std::string_view value) {
    inside = inside || hasLineFeed(name) || hasLineFeed(value);
  });
  return !inside;
}

std::optional<std::string_view> findPlainParameter(std::string_view raw,
                                                   std::string_view lowerName) {
  // The last one wins, as a later duplicate does in the map.
  std::optional<std::string_view> found;
  forEachPlainParameter(raw, [&](std::string_view name, std::string_view value) {
    if (text::equalsIgnoreAsciiCase(name, lowerName)) found = value;
  });
  return found;
}

ContentType parseContentType(const Header* header, bool digestChild) {
  ContentType type;
  if (header == nullptr) {
    type.mimeType = digestChild ? "message/rfc822" : "text/plain";
    type.charset = "us-ascii";
    return type;
  }
  ParameterizedValue parsed = parseParameterizedValue(headerValue(*header));
  // The media type is decoded text, so it takes the full Unicode lower-case mapping.
  type.mimeType = text::unicodeLower(parsed.value);
  auto charset = parsed.params.find("charset");
  type.charset = charset == parsed.params.end() ? "us-ascii" : charset->second;
  type.params = std::move(parsed.params);
  return type;
}

bool readTypeFacts(const Header& contentType, TypeFacts& facts) {
  const std::string_view raw = contentType.value;
  if (isPlainParameterText(raw)) {
    // ASCII text: the full lower-case mapping only changes A-Z.
    facts.mediaType = text::unicodeLowerView(plainLeadingValue(raw), facts.lowered);
    facts.charset.reset();
    facts.boundary.reset();
    facts.typeParamsOnly = true;
    forEachPlainParameter(raw, [&facts](std::string_view name, std::string_view value) {
      if (text::equalsIgnoreAsciiCase(name, "charset")) {
        facts.charset = value;
      } else if (text::equalsIgnoreAsciiCase(name, "boundary")) {
        facts.boundary = value;
      } else {
        facts.typeParamsOnly = false;
      }
    });
    return true;
  }
  facts.typeParamsOnly = false;
  facts.parsed = parseContentType(&contentType, false);
  const ParamMap& params = facts.parsed.params;
  facts.mediaType = facts.parsed.mimeType;
  const auto charset = params.find("charset");
  facts.charset =
      charset == params.end() ? std::nullopt : std::optional<std::string_view>(charset->second);
  const auto boundary = params.find("boundary");
  facts.boundary =
      boundary == params.end() ? std::nullopt : std::optional<std::string_view>(boundary->second);
  return false;
}

namespace {

constexpr uint32_t kFirstTableType = 2;

std::string_view mediaTypeText(const TypeTable& table, std::string_view message,
                               const TypeName& name) {
  const std::string_view from = name.mediaTypeKept ? std::string_view(table.text) : message;
  return from.substr(name.mediaTypeOffset, name.mediaTypeSize);
}

std::string_view charsetText(const TypeTable& table, std::string_view message,
                             const TypeName& name) {
  const std::string_view from = name.charsetKept ? std::string_view(table.text) : message;
  return from.substr(name.charsetOffset, name.charsetSize);
}

// Where `text` is: its offset in the message when it lies there, else that of a copy.
uint64_t placeText(TypeTable& table, std::string_view message, std::string_view text, bool& kept) {
  const auto inMessage = std::less_equal<const char*>();
  if (inMessage(message.data(), text.data()) &&
      inMessage(text.data() + text.size(), message.data() + message.size())) {
    kept = false;
    return static_cast<uint64_t>(text.data() - message.data());
  }
  kept = true;
  const uint64_t offset = table.text.size();
  table.text += text;
  return offset;
}

}  // namespace

uint32_t internType(TypeTable& table, std::string_view message, std::string_view mediaType,
                    std::optional<std::string_view> charset) {
  if (!charset) {
    if (mediaType == "text/plain") return kPlainDefaultType;
    if (mediaType == "message/rfc822") return kDigestDefaultType;
  }
  const auto id = static_cast<uint32_t>(table.names.size() + kFirstTableType);
  if (!table.names.empty()) {
    const TypeName& last = table.names.back();
    if (mediaTypeText(table, message, last) == mediaType &&
        bool(last.charsetDeclared) == bool(charset) &&
        (!charset || charsetText(table, message, last) == *charset)) {
      return id - 1;
    }
  }
  TypeName name;
  bool kept = false;
  name.mediaTypeOffset = placeText(table, message, mediaType, kept);
  name.mediaTypeKept = kept;
  name.mediaTypeSize = mediaType.size();
  if (charset) {
    name.charsetOffset = placeText(table, message, *charset, kept);
    name.charsetKept = kept;
    name.charsetSize = charset->size();
    name.charsetDeclared = 1;
  }
  table.names.push_back(name);
  return id;
}

std::string_view mediaType(const ParsedMessage& message, uint32_t part) {
  const uint32_t id = message.parts[part].typeId();
  if (id == kPlainDefaultType) return "text/plain";
  if (id == kDigestDefaultType) return "message/rfc822";
  return mediaTypeText(message.types, message.bytes, message.types.names[id - kFirstTableType]);
}

std::string_view charset(const ParsedMessage& message, uint32_t part) {
  const uint32_t id = message.parts[part].typeId();
  if (id < kFirstTableType) return "us-ascii";
  const TypeName& name = message.types.names[id - kFirstTableType];
  return name.charsetDeclared ? charsetText(message.types, message.bytes, name) : "us-ascii";
}

bool declaresCharset(const ParsedMessage& message, uint32_t part) {
  const uint32_t id = message.parts[part].typeId();
  return id >= kFirstTableType && message.types.names[id - kFirstTableType].charsetDeclared;
}

std::optional<std::string_view> contentTypeParam(const ParsedMessage& message, uint32_t part,
                                                 std::string_view lowerName, std::string& storage) {
  const Part& p = message.parts[part];
  if (p.contentTypeHeader == 0) return std::nullopt;
  // The parse saw which parameters a plain value holds; most hold only a charset.
  if (p.typeParamsOnly && lowerName != "charset" && lowerName != "boundary") return std::nullopt;
  const std::optional<Header> header = partHeader(message, part, PartHeader::ContentType);
  if (!header) return std::nullopt;
  if (p.plainContentType) return findPlainParameter(header->value, lowerName);
  if (message.typeParamsPart != part) {
    message.typeParams = parseContentType(&*header, false).params;
    message.typeParamsPart = part;
  }
  const auto found = message.typeParams.find(lowerName);
  if (found == message.typeParams.end()) return std::nullopt;
  storage = found->second;
  return std::string_view(storage);
}

ContentType contentType(const ParsedMessage& message, uint32_t part) {
  ContentType type;
  type.mimeType = mediaType(message, part);
  type.charset = charset(message, part);
  const std::optional<Header> header = partHeader(message, part, PartHeader::ContentType);
  if (header) type.params = parseContentType(&*header, false).params;
  return type;
}

ContentDisposition contentDisposition(const ParsedMessage& message, uint32_t part) {
  ContentDisposition disposition;
  const std::optional<Header> header = partHeader(message, part, PartHeader::ContentDisposition);
  if (!header) return disposition;
  ParameterizedValue parsed = parseParameterizedValue(headerValue(*header));
  const std::string word = text::unicodeLower(parsed.value);
  if (word == "inline") {
    disposition.kind = DispositionKind::Inline;
  } else if (word == "attachment") {
    disposition.kind = DispositionKind::Attachment;
  } else if (word == "form-data") {
    disposition.kind = DispositionKind::FormData;
  } else {
    disposition.kind = DispositionKind::Extension;
    disposition.extension = word;
  }
  disposition.params = std::move(parsed.params);
  return disposition;
}

}  // namespace email::mime
