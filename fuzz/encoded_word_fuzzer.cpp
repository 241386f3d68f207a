// Header value decoding: RFC 2047 encoded words, unfolding and the white-space token
// machine. The token stream must concatenate to the decoded value and come out the same when
// taken a step at a time, the value must be UTF-8, and a value without encoded-word syntax or
// line breaks is only trimmed at its start.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "email/mime/header_value.h"
#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto raw = fuzzcheck::asView(data, size);
  std::string decoded = email::mime::decodeHeaderValue(raw);
  fuzzcheck::require(text::isValidUtf8(decoded), "a decoded value is UTF-8");

  std::string joined;
  const std::vector<email::mime::HeaderToken> tokens = email::mime::tokenizeHeaderValue(raw);
  for (const auto& token : tokens) joined += token.text;
  fuzzcheck::require(joined == decoded, "the token stream concatenates to the value");

  email::mime::HeaderTokenStream stream(raw);
  std::vector<email::mime::HeaderToken> step;
  size_t streamed = 0;
  while (stream.next(step)) {
    for (const auto& token : step) {
      fuzzcheck::require(streamed < tokens.size() && tokens[streamed].kind == token.kind &&
                             tokens[streamed].text == token.text,
                         "the streamed tokens are the value's tokens");
      ++streamed;
    }
    step.clear();
  }
  fuzzcheck::require(streamed == tokens.size(), "the stream gives every token");

  email::mime::Header header{"Subject", raw};
  fuzzcheck::require(email::mime::headerValue(header) == decoded,
                     "headerValue is the decoded value");

  if (raw.find("=?") == std::string_view::npos && raw.find_first_of("\r\n") == raw.npos) {
    std::string textValue = text::isValidUtf8(raw) ? std::string(raw) : text::latin1ToUtf8(raw);
    fuzzcheck::require(decoded == text::trimStart(textValue),
                       "a plain one-line value is only trimmed at its start");
  }
  return 0;
}
