#include "email/mime/content_type.h"

#include <optional>

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

struct EncodedCandidate {
  std::string plainName;  // the key without its final '*'
  std::string charset;
  bool hasPrefix = false;  // the value starts with charset'language'
};

// RFC 2231 charset-encoded values ("name*=charset'lang'%XX..."). A starred key is decoded
// only when the unstarred name is not a key; segments "x*N*" take the charset of "x*0*".
// An unknown charset leaves the entry under its starred key, undecoded.
void mergeEncodedValues(ParamMap& params) {
  std::vector<EncodedCandidate> candidates;
  for (const auto& [key, value] : params) {
    if (!endsWith(key, "*")) continue;
    std::string plain = key.substr(0, key.size() - 1);
    if (params.count(plain) != 0) continue;
    candidates.push_back({std::move(plain), std::string(), false});
  }
  // Charsets of initial segments, by the segment prefix "x*".
  ParamMap initialCharsets;
  for (const EncodedCandidate& candidate : candidates) {
    if (endsWith(candidate.plainName, "*0")) {
      const std::string& value = params.find(candidate.plainName + "*")->second;
      initialCharsets[candidate.plainName.substr(0, candidate.plainName.size() - 1)] =
          std::string(upToFirstQuote(value));
    }
  }
  for (EncodedCandidate& candidate : candidates) {
    const std::string& value = params.find(candidate.plainName + "*")->second;
    if (endsWith(candidate.plainName, "*0")) {
      candidate.charset = upToFirstQuote(value);
      candidate.hasPrefix = true;
      continue;
    }
    bool inherited = false;
    for (size_t star = candidate.plainName.find('*'); star != std::string::npos;
         star = candidate.plainName.find('*', star + 1)) {
      auto found = initialCharsets.find(std::string_view(candidate.plainName).substr(0, star + 1));
      if (found != initialCharsets.end()) {
        candidate.charset = found->second;
        inherited = true;
        break;
      }
    }
    if (!inherited) {
      candidate.charset = upToFirstQuote(value);
      candidate.hasPrefix = true;
    }
  }
  for (const EncodedCandidate& candidate : candidates) {
    auto starred = params.find(candidate.plainName + "*");
    std::string_view encoded = starred->second;
    if (candidate.hasPrefix) encoded = afterLanguage(encoded);
    std::optional<std::string> decoded =
        decodeCharsetNoBom(percentDecode(encoded), candidate.charset);
    if (!decoded) continue;
    params.erase(starred);
    params[candidate.plainName] = std::move(*decoded);
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

ContentType parseContentType(const std::vector<Header>& headers, bool digestChild) {
  ContentType type;
  const Header* header = nullptr;
  for (const Header& candidate : headers) {
    if (text::equalsIgnoreAsciiCase(candidate.name, "Content-Type")) {
      header = &candidate;
      break;
    }
  }
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

ContentDisposition contentDisposition(const Part& part) {
  ContentDisposition disposition;
  const Header* header = firstHeader(part, "Content-Disposition");
  if (header == nullptr) return disposition;
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
