// Dates: arbitrary text never crashes or overflows, and a date written from the input's
// first bytes parses to the seconds computed independently here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "fuzz_checks.h"
#include "text/text.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void checkOne(std::string_view textValue) {
  auto parsed = email::mime::parseDate(textValue);
  fuzzcheck::require(parsed.ok == parsed.error.empty(), "an error text exactly on failure");
  auto again = email::mime::parseDate(textValue);
  fuzzcheck::require(again.ok == parsed.ok && again.seconds == parsed.seconds,
                     "the parse is deterministic");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto raw = fuzzcheck::asView(data, size);
  checkOne(raw);
  std::string lossy = text::utf8Lossy(raw);
  checkOne(text::trim(lossy));

  if (size < 9) return 0;
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  unsigned day = data[0] % 28 + 1;
  unsigned month = data[1] % 12 + 1;
  int year = 1970 + (data[2] | (data[3] << 8)) % 8000;
  unsigned hour = data[4] % 24;
  unsigned minute = data[5] % 60;
  unsigned second = data[6] % 60;
  unsigned zoneHours = data[7] % 24;
  unsigned zoneMinutes = data[8] % 60;
  bool west = data[7] & 0x80;
  char written[96];
  std::snprintf(written, sizeof written, "Mon, %u %s %d %02u:%02u:%02u %c%02u%02u", day,
                kMonths[month - 1], year, hour, minute, second, west ? '-' : '+', zoneHours,
                zoneMinutes);
  int64_t zone = int64_t{zoneHours * 3600 + zoneMinutes * 60} * (west ? -1 : 1);
  int64_t want =
      daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - zone;
  auto parsed = email::mime::parseDate(written);
  fuzzcheck::require(parsed.ok && parsed.seconds == want, "a well-formed date's seconds");
  return 0;
}
