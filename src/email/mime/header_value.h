// Header value decoding: bytes to text, unfolding, RFC 2047 encoded words, and the token
// stream that the address-list parser reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace email::mime {

enum class HeaderTokenKind { Text, Space, LineBreak, Word };

struct HeaderToken {
  HeaderTokenKind kind;
  std::string text;  // Text/Space: the characters; Word: the decoded word; LineBreak: empty
};

// The normalised token stream of a raw header value: exactly the pieces that
// decodeHeaderValue concatenates, with each decoded encoded word kept as one Word token (the
// address-list parser treats it as an opaque item). Line breaks only exist before
// normalisation: in this stream a kept fold arrives as a Space token (" ").
std::vector<HeaderToken> tokenizeHeaderValue(std::string_view rawValue);

// The same tokens a few at a time, for readers that go through a long value once: no more
// than a step's worth of them (one encoded-word candidate) is ever held.
class HeaderTokenStream {
 public:
  explicit HeaderTokenStream(std::string_view rawValue);  // the value must outlive the stream
  ~HeaderTokenStream();
  HeaderTokenStream(const HeaderTokenStream&) = delete;
  HeaderTokenStream& operator=(const HeaderTokenStream&) = delete;

  // Appends the next tokens to `tokens`; false when there are none left.
  bool next(std::vector<HeaderToken>& tokens);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The decoded value text (the concatenated normalised token stream).
std::string decodeHeaderValue(std::string_view rawValue);

}  // namespace email::mime
