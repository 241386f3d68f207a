// Header value decoding: bytes to text, line splitting with trim-start, RFC 2047 encoded-word
// detection and decoding, and the white-space normalisation between the resulting pieces.
#include "email/mime/header_value.h"

#include <optional>
#include <string>
#include <string_view>

#include "email/mime/charset.h"
#include "email/mime/mime.h"
#include "email/mime/transfer_encoding.h"
#include "text/text.h"

namespace email::mime {
namespace {

bool isBoundaryChar(char32_t c) {
  return text::isWhiteSpace(c) || c == '"' || c == '(' || c == ')' || c == '<' || c == '>' ||
         c == ',';
}

bool isBlankPiece(std::string_view piece) {
  size_t pos = 0;
  while (pos < piece.size()) {
    if (!text::isWhiteSpace(text::nextCodePoint(piece, pos))) return false;
  }
  return true;
}

// Looks up the character at a character index of one line, moving forward only. The reference
// decoder passes byte offsets where character indexes are expected; the callers below
// reproduce that (a word after multi-byte text is then tested against a character further
// right), so their queries grow monotonically and one forward walk per line suffices.
class CharCursor {
 public:
  explicit CharCursor(std::string_view line) : line_(line) {}

  // The boundary test at `index`; an index past the last character counts as a boundary.
  bool boundaryAt(size_t index) {
    if (index < charIndex_) restart();  // never happens for monotonic callers
    while (charIndex_ < index && bytePos_ < line_.size()) {
      text::nextCodePoint(line_, bytePos_);
      ++charIndex_;
    }
    if (bytePos_ >= line_.size()) return true;
    size_t pos = bytePos_;
    return isBoundaryChar(text::nextCodePoint(line_, pos));
  }

 private:
  void restart() {
    charIndex_ = 0;
    bytePos_ = 0;
  }

  std::string_view line_;
  size_t charIndex_ = 0;
  size_t bytePos_ = 0;
};

// Decodes the inside of an encoded word ("charset?enc?data"). Empty optional on failure.
std::optional<std::string> decodeEncodedWord(std::string_view word) {
  size_t q1 = word.find('?');
  if (q1 == std::string_view::npos) return std::nullopt;
  size_t q2 = word.find('?', q1 + 1);
  if (q2 == std::string_view::npos) return std::nullopt;
  std::string_view label = word.substr(0, q1);
  std::string_view encoding = word.substr(q1 + 1, q2 - q1 - 1);
  std::string_view data = word.substr(q2 + 1);

  std::string bytes;
  if (encoding == "B" || encoding == "b") {
    // No white space is removed inside an encoded word: a space makes the word fail.
    std::optional<std::string> decoded = decodeBase64Mime(data);
    if (!decoded) return std::nullopt;
    bytes = std::move(*decoded);
  } else if (encoding == "Q" || encoding == "q") {
    std::string underscored(data);
    for (char& c : underscored) {
      if (c == '_') c = ' ';
    }
    // Trailing white space is kept out of the quoted-printable decoder (which would trim it)
    // and appended again afterwards. Raw non-ASCII bytes inside the word are dropped by that
    // decoder, as the reference does; we keep this so decoded values match its records.
    std::string_view body = text::trimEnd(underscored);
    std::string_view tail = std::string_view(underscored).substr(body.size());
    bytes = decodeQuotedPrintable(body);
    bytes.append(tail);
  } else {
    return std::nullopt;
  }
  return decodeCharsetNoBom(bytes, label);
}

// Receives the raw pieces of a value in order and writes the normalised pieces to `Sink`:
// white space between two encoded words, and after a final encoded word, is dropped; a line
// break becomes one space unless it follows an encoded word.
template <typename Sink>
class Normaliser {
 public:
  explicit Normaliser(Sink& sink) : sink_(sink) {}

  void text(std::string_view t) {
    flushPending();
    emit(HeaderTokenKind::Text, t);
  }

  void space(std::string_view w) {
    if (pending_ == Pending::AfterWord) {
      pending_ = Pending::Space;
      pendingText_ = w;
    } else {
      // A pending space or break is replaced, not output: the reference drops it here.
      emit(HeaderTokenKind::Space, w);
      pending_ = Pending::None;
    }
  }

  void lineBreak() {
    if (pending_ == Pending::Space) {
      pending_ = Pending::Break;  // the pending white space plus one space
    } else if (pending_ == Pending::AfterWord) {
      pending_ = Pending::Break;
      pendingText_ = {};
    } else {
      emit(HeaderTokenKind::Space, " ");
      pending_ = Pending::None;
    }
  }

  void word(std::string_view decoded) {
    emit(HeaderTokenKind::Word, decoded);
    pending_ = Pending::AfterWord;
  }

 private:
  enum class Pending { None, AfterWord, Space, Break };

  void flushPending() {
    if (pending_ == Pending::Space) {
      emit(HeaderTokenKind::Space, pendingText_);
    } else if (pending_ == Pending::Break) {
      emit(HeaderTokenKind::Space, pendingText_);
      emit(HeaderTokenKind::Space, " ");
    }
    pending_ = Pending::None;
  }

  void emit(HeaderTokenKind kind, std::string_view piece) {
    if (kind != HeaderTokenKind::Word && piece.empty()) return;
    sink_(kind, piece);
  }

  Sink& sink_;
  Pending pending_ = Pending::None;
  std::string_view pendingText_;
};

// Splits one line (already trimmed at its start) into text, space and decoded-word pieces.
template <typename Sink>
void tokenizeLine(std::string_view line, Normaliser<Sink>& out) {
  auto textOrSpace = [&out](std::string_view piece) {
    if (isBlankPiece(piece)) {
      out.space(piece);
    } else {
      out.text(piece);
    }
  };

  CharCursor before(line);
  CharCursor after(line);
  // The first "?=" at or after `from` whose following character is a boundary. Queries
  // only grow, so a found end that is still ahead (or the knowledge that there is none) is
  // reused and the line is walked once.
  size_t lastFound = 0;
  bool haveLast = false;
  auto findEnd = [&](size_t from) -> size_t {
    if (haveLast && (lastFound == std::string_view::npos || lastFound >= from)) return lastFound;
    size_t e = from;
    for (;;) {
      e = line.find("?=", e);
      if (e == std::string_view::npos || after.boundaryAt(e + 2)) break;
      ++e;
    }
    haveLast = true;
    lastFound = e;
    return e;
  };

  size_t s = 0;
  for (;;) {
    size_t v = line.find("=?", s);
    if (v == std::string_view::npos) {
      textOrSpace(line.substr(s));
      return;
    }
    if (v != 0 && !before.boundaryAt(v - 1)) {
      out.text(line.substr(s, v + 2 - s));
      s = v + 2;
      continue;
    }
    textOrSpace(line.substr(s, v - s));
    size_t e = findEnd(v + 2);
    if (e == std::string_view::npos) {
      out.text(line.substr(v, 2));
      s = v + 2;
      continue;
    }
    std::optional<std::string> decoded = decodeEncodedWord(line.substr(v + 2, e - v - 2));
    if (decoded) {
      out.word(*decoded);
    } else {
      out.text(line.substr(v, e + 2 - v));
    }
    s = e + 2;
  }
}

template <typename Sink>
void tokenizeValue(std::string_view rawValue, Sink& sink) {
  std::string latin1;
  std::string_view value = rawValue;
  if (!text::isValidUtf8(rawValue)) {
    latin1 = text::latin1ToUtf8(rawValue);
    value = latin1;
  }
  Normaliser<Sink> out(sink);
  size_t start = 0;
  bool first = true;
  while (start < value.size() || (first && value.empty())) {
    size_t lf = value.find('\n', start);
    size_t end = lf == std::string_view::npos ? value.size() : lf;
    std::string_view line = value.substr(start, end - start);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (!first) out.lineBreak();
    first = false;
    tokenizeLine(text::trimStart(line), out);
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
}

}  // namespace

std::vector<HeaderToken> tokenizeHeaderValue(std::string_view rawValue) {
  std::vector<HeaderToken> tokens;
  auto sink = [&tokens](HeaderTokenKind kind, std::string_view piece) {
    if (kind == HeaderTokenKind::Space && !tokens.empty() &&
        tokens.back().kind == HeaderTokenKind::Space) {
      tokens.back().text.append(piece);
      return;
    }
    tokens.push_back(HeaderToken{kind, std::string(piece)});
  };
  tokenizeValue(rawValue, sink);
  return tokens;
}

std::string decodeHeaderValue(std::string_view rawValue) {
  std::string out;
  out.reserve(rawValue.size());
  auto sink = [&out](HeaderTokenKind, std::string_view piece) { out.append(piece); };
  tokenizeValue(rawValue, sink);
  return out;
}

std::string headerValue(const Header& header) {
  return decodeHeaderValue(header.value);
}

}  // namespace email::mime
