// Transfer decoding: permissive MIME base64, strict base64 and quoted-printable.
// Strict base64 is canonical (it re-encodes to its input) and agrees with the permissive
// decoder; quoted-printable writes only CRLF line breaks and outside escapes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "email/mime/transfer_encoding.h"
#include "fuzz_checks.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto input = fuzzcheck::asView(data, size);

  auto permissive = email::mime::decodeBase64Mime(input);
  if (permissive) {
    fuzzcheck::require(permissive->size() <= input.size() / 4 * 3,
                       "base64 gives at most three bytes per four characters");
  }
  auto strict = email::mime::decodeBase64Strict(input);
  if (strict) {
    fuzzcheck::require(text::encodeBase64(*strict) == input, "strict base64 is canonical");
    fuzzcheck::require(permissive && *permissive == *strict,
                       "the permissive decoder accepts what the strict one does");
  }
  // Any byte string encodes to base64 that both decoders read back.
  std::string encoded = text::encodeBase64(input);
  auto back = email::mime::decodeBase64Strict(encoded);
  fuzzcheck::require(back && *back == input, "strict base64 round trip");
  auto backMime = email::mime::decodeBase64Mime(encoded);
  fuzzcheck::require(backMime && *backMime == input, "MIME base64 round trip");

  std::string qp = email::mime::decodeQuotedPrintable(input);
  fuzzcheck::require(qp.size() <= 2 * input.size() + 2, "quoted-printable output is bounded");
  // Without "=" escapes (which may decode to any byte) every line break comes out as CRLF.
  if (input.find('=') == std::string_view::npos) {
    for (size_t i = 0; i < qp.size(); ++i) {
      if (qp[i] == '\n') {
        fuzzcheck::require(i > 0 && qp[i - 1] == '\r', "quoted-printable writes CRLF breaks");
      }
    }
  }
  return 0;
}
