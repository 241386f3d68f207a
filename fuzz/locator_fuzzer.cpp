// Names inside containers: any text that parses as locators writes back to text that parses
// to the same locators; any member path and numbers survive writing and parsing; written
// locators are valid UTF-8 and use '!', '#', '~' and '%' only as the grammar does.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/locator.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

bool sameLocators(const std::vector<corpus::Locator>& a, const std::vector<corpus::Locator>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].member != b[i].member ||
        a[i].occurrence != b[i].occurrence || a[i].number != b[i].number ||
        a[i].offset != b[i].offset) {
      return false;
    }
  }
  return true;
}

uint64_t readNumber(std::string_view bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = at; i < bytes.size() && i < at + 8; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzzcheck::asView(data, size);

  if (const auto parsed = corpus::parseLocators(input)) {
    std::string written;
    corpus::appendLocators(written, *parsed);
    const auto again = corpus::parseLocators(written);
    fuzzcheck::require(again && sameLocators(*again, *parsed), "written locators parse back");
  }

  // The input as a member path, with numbers from its first bytes.
  if (!input.empty()) {
    std::vector<corpus::Locator> locators(2);
    locators[0].member = std::string(input);
    locators[0].occurrence = 1 + readNumber(input, 0) % 1000;
    locators[1].kind = corpus::Locator::Kind::MboxMessage;
    locators[1].number = 1 + readNumber(input, 1) % UINT64_MAX;
    locators[1].offset = readNumber(input, 2);
    std::string name = "container";
    corpus::appendLocators(name, locators);
    fuzzcheck::require(text::isValidUtf8(name), "names are valid UTF-8");
    std::string escaped;
    corpus::appendMemberLocator(escaped, input, 1);
    for (size_t i = 1; i < escaped.size(); ++i) {
      const char c = escaped[i];
      fuzzcheck::require(c != '!' && c != '#' && c != '~', "no bare locator characters");
      fuzzcheck::require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "no control bytes");
      fuzzcheck::require(c != '%' || (i + 2 < escaped.size() && std::isxdigit(escaped[i + 1]) &&
                                      std::isxdigit(escaped[i + 2])),
                         "every % starts an escape");
    }
    const auto parsed = corpus::parseLocators(std::string_view(name).substr(9));
    fuzzcheck::require(parsed && sameLocators(*parsed, locators), "locators survive writing");
  }
  return 0;
}
