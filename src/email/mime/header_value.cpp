// Header value decoding: bytes to text, line splitting with trim-start, RFC 2047 encoded-word
// detection and decoding, and the white-space normalisation between the resulting pieces.
#include "email/mime/header_value.h"

#include <memory>
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

// Splits one line (already trimmed at its start) into text, space and decoded-word pieces,
// one encoded-word candidate per step.
template <typename Sink>
class LineTokenizer {
 public:
  explicit LineTokenizer(std::string_view line) : line_(line), before_(line), after_(line) {}

  // Emits the pieces up to and including the next encoded-word candidate; false once the
  // line's last piece is out.
  bool step(Normaliser<Sink>& out) {
    const size_t v = line_.find("=?", s_);
    if (v == std::string_view::npos) {
      textOrSpace(line_.substr(s_), out);
      return false;
    }
    if (v != 0 && !before_.boundaryAt(v - 1)) {
      out.text(line_.substr(s_, v + 2 - s_));
      s_ = v + 2;
      return true;
    }
    textOrSpace(line_.substr(s_, v - s_), out);
    const size_t e = findEnd(v + 2);
    if (e == std::string_view::npos) {
      out.text(line_.substr(v, 2));
      s_ = v + 2;
      return true;
    }
    std::optional<std::string> decoded = decodeEncodedWord(line_.substr(v + 2, e - v - 2));
    if (decoded) {
      out.word(*decoded);
    } else {
      out.text(line_.substr(v, e + 2 - v));
    }
    s_ = e + 2;
    return true;
  }

 private:
  static void textOrSpace(std::string_view piece, Normaliser<Sink>& out) {
    if (isBlankPiece(piece)) {
      out.space(piece);
    } else {
      out.text(piece);
    }
  }

  // The first "?=" at or after `from` whose following character is a boundary. Queries
  // only grow, so a found end that is still ahead (or the knowledge that there is none) is
  // reused and the line is walked once.
  size_t findEnd(size_t from) {
    if (haveLast_ && (lastFound_ == std::string_view::npos || lastFound_ >= from)) {
      return lastFound_;
    }
    size_t e = from;
    for (;;) {
      e = line_.find("?=", e);
      if (e == std::string_view::npos || after_.boundaryAt(e + 2)) break;
      ++e;
    }
    haveLast_ = true;
    lastFound_ = e;
    return e;
  }

  std::string_view line_;
  CharCursor before_;
  CharCursor after_;
  size_t lastFound_ = 0;
  bool haveLast_ = false;
  size_t s_ = 0;
};

// Splits a whole value into lines (a CR before each LF dropped), each trimmed at its start,
// with a line break between them; a step at a time, so that a caller can take the pieces as
// they come. Neither copyable nor movable: the pieces point into it.
template <typename Sink>
class ValueTokenizer {
 public:
  ValueTokenizer(std::string_view rawValue, Sink& sink) : value_(rawValue), out_(sink) {
    if (!text::isValidUtf8(rawValue)) {
      latin1_ = text::latin1ToUtf8(rawValue);
      value_ = latin1_;
    }
  }
  ValueTokenizer(const ValueTokenizer&) = delete;
  ValueTokenizer& operator=(const ValueTokenizer&) = delete;

  // Emits the next pieces; false once the value is exhausted.
  bool step() {
    if (line_) {
      if (line_->step(out_)) return true;
      line_.reset();
    }
    if (!(start_ < value_.size() || (first_ && value_.empty())) || last_) return false;
    const size_t lf = value_.find('\n', start_);
    const size_t end = lf == std::string_view::npos ? value_.size() : lf;
    std::string_view line = value_.substr(start_, end - start_);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (!first_) out_.lineBreak();
    first_ = false;
    line_.emplace(text::trimStart(line));
    if (lf == std::string_view::npos) {
      last_ = true;
    } else {
      start_ = lf + 1;
    }
    return true;
  }

 private:
  std::string latin1_;
  std::string_view value_;
  Normaliser<Sink> out_;
  std::optional<LineTokenizer<Sink>> line_;
  size_t start_ = 0;
  bool first_ = true;
  bool last_ = false;  // the line started last is the value's last
};

template <typename Sink>
void tokenizeValue(std::string_view rawValue, Sink& sink) {
  ValueTokenizer<Sink> tokenizer(rawValue, sink);
  while (tokenizer.step()) {
  }
}

// Appends pieces as tokens, merging a space into a space token just before it.
struct TokenSink {
  std::vector<HeaderToken>* tokens = nullptr;

  void operator()(HeaderTokenKind kind, std::string_view piece) {
    if (kind == HeaderTokenKind::Space && !tokens->empty() &&
        tokens->back().kind == HeaderTokenKind::Space) {
      tokens->back().text.append(piece);
      return;
    }
    tokens->push_back(HeaderToken{kind, std::string(piece)});
  }
};

}  // namespace

std::vector<HeaderToken> tokenizeHeaderValue(std::string_view rawValue) {
  std::vector<HeaderToken> tokens;
  TokenSink sink{&tokens};
  tokenizeValue(rawValue, sink);
  return tokens;
}

struct HeaderTokenStream::State {
  explicit State(std::string_view rawValue) : tokenizer(rawValue, sink) {}

  TokenSink sink;
  ValueTokenizer<TokenSink> tokenizer;
  std::optional<HeaderToken> heldSpace;
  bool more = true;
};

HeaderTokenStream::HeaderTokenStream(std::string_view rawValue)
    : state_(std::make_unique<State>(rawValue)) {}

HeaderTokenStream::~HeaderTokenStream() = default;

bool HeaderTokenStream::next(std::vector<HeaderToken>& tokens) {
  State& state = *state_;
  state.sink.tokens = &tokens;
  if (state.heldSpace) {
    tokens.push_back(std::move(*state.heldSpace));
    state.heldSpace.reset();
  }
  // A space token at the end may still take in the next piece's space, so it is held back
  // while more pieces can follow; the tokens are then exactly those of tokenizeHeaderValue.
  auto holdsBack = [&] {
    return state.more && !tokens.empty() && tokens.back().kind == HeaderTokenKind::Space;
  };
  while (state.more) {
    state.more = state.tokenizer.step();
    if (tokens.size() > (holdsBack() ? 1u : 0u)) break;
  }
  if (holdsBack()) {
    state.heldSpace = std::move(tokens.back());
    tokens.pop_back();
  }
  return !tokens.empty();
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
