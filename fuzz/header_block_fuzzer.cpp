// The header block: the root's header list against a plain re-statement of the reference
// state machine (names, raw values, body start and the two rejections), and the header
// accessors over every header.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

constexpr std::string_view kSpaceRejection =
    "Header cannot start with a space; it is likely an overhanging line from a previous header";
constexpr std::string_view kLoneCrRejection =
    "Headers were followed by an unexpected lone CR character!";

struct Expected {
  std::string_view rejection;  // empty when accepted
  std::vector<email::mime::Header> headers;
  size_t bodyStart = 0;
};

Expected expectedBlock(std::string_view r) {
  Expected out;
  size_t p = 0;
  while (true) {
    if (p >= r.size()) {
      out.bodyStart = r.size();
      return out;
    }
    if (r[p] == '\n') {
      out.bodyStart = p + 1;
      return out;
    }
    if (r[p] == '\r') {
      if (p + 1 < r.size() && r[p + 1] == '\n') {
        out.bodyStart = p + 2;
        return out;
      }
      out.rejection = kLoneCrRejection;
      return out;
    }
    if (r[p] == ' ') {
      out.rejection = kSpaceRejection;
      return out;
    }
    size_t nameEnd = p;
    while (nameEnd < r.size() && r[nameEnd] != ':' && r[nameEnd] != '\n') ++nameEnd;
    if (nameEnd >= r.size() || r[nameEnd] == '\n') {
      out.headers.push_back({r.substr(p, nameEnd - p), r.substr(nameEnd, 0)});
      p = nameEnd >= r.size() ? r.size() : nameEnd + 1;
      continue;
    }
    size_t valueStart = nameEnd + 1;
    while (valueStart < r.size() && r[valueStart] == ' ') ++valueStart;
    size_t valueEnd = valueStart;
    size_t q = valueStart;
    while (true) {
      while (q < r.size() && r[q] != '\n') {
        if (r[q] != '\r') valueEnd = q + 1;
        ++q;
      }
      if (q >= r.size()) break;
      ++q;  // past the LF
      if (q < r.size() && (r[q] == ' ' || r[q] == '\t')) continue;
      break;
    }
    out.headers.push_back({r.substr(p, nameEnd - p), r.substr(valueStart, valueEnd - valueStart)});
    p = q;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto bytes = fuzzcheck::asView(data, size);
  auto parsed = email::mime::parseMessage(bytes);
  fuzzcheck::checkParsedMessage(bytes, parsed);
  auto expected = expectedBlock(bytes);

  if (!expected.rejection.empty()) {
    fuzzcheck::require(parsed.error == expected.rejection, "the block's rejection text");
    return 0;
  }
  if (!parsed.ok()) {
    // Only a sub-part can reject an accepted root block, and sub-parts need delimiters.
    fuzzcheck::require(bytes.find("--") != std::string_view::npos,
                       "an accepted header block without delimiters parses");
    fuzzcheck::require(parsed.error == kSpaceRejection || parsed.error == kLoneCrRejection,
                       "a rejection is one of the two texts");
    return 0;
  }
  const std::vector<email::mime::Header> headers = email::mime::partHeaders(parsed, 0);
  fuzzcheck::require(headers.size() == expected.headers.size(), "header count");
  for (size_t i = 0; i < headers.size(); ++i) {
    const auto& got = headers[i];
    const auto& want = expected.headers[i];
    fuzzcheck::require(got.name == want.name, "header name bytes");
    fuzzcheck::require(got.value == want.value, "raw header value bytes");
    fuzzcheck::require(got.name.empty() || got.name.data() == want.name.data(),
                       "header name position");
    std::string name = email::mime::headerName(got);
    std::string value = email::mime::headerValue(got);
    fuzzcheck::require(text::isValidUtf8(name) && text::isValidUtf8(value),
                       "decoded names and values are UTF-8");
    fuzzcheck::require(email::mime::headerNameAt(parsed, 0, static_cast<uint32_t>(i)) == got.name,
                       "a header's name is read alike alone");
    const auto first = email::mime::firstHeader(parsed, 0, got.name);
    fuzzcheck::require(first && first->name.data() <= got.name.data() &&
                           text::equalsIgnoreAsciiCase(first->name, got.name),
                       "firstHeader finds the first header of that name");
  }
  if (email::mime::mediaType(parsed, 0).rfind("multipart/", 0) != 0) {
    fuzzcheck::require(email::mime::partBody(parsed, 0) == bytes.substr(expected.bodyStart),
                       "the body start");
  }
  return 0;
}
