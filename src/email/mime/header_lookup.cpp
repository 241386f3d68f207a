// Header lookup by name, and header names as text.
#include "email/mime/mime.h"
#include "text/text.h"

namespace email::mime {

// The name bytes count one character per byte: a byte of 0x80 or above is a Latin-1
// character and so never equals an ASCII letter, which a byte-wise ASCII comparison gives.
const Header* firstHeader(const Part& part, std::string_view name) {
  for (const Header& header : part.headers) {
    if (header.name.size() == name.size() && text::equalsIgnoreAsciiCase(header.name, name)) {
      return &header;
    }
  }
  return nullptr;
}

std::string headerName(const Header& header) {
  return text::latin1ToUtf8(header.name);
}

}  // namespace email::mime
