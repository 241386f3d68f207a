// RFC 5322 date-time parsing with the reference parser's token rules.
//
// The text is split at spaces and colons into pieces. Pieces are skipped until one is a
// number from 0 to 255 (so a leading weekday, or a weekday glued to the day by a comma, is
// passed over); that number is the day. Then come the month name, the year, the hour, the
// minute, the second and the zone, one piece each. Running out of pieces is success with
// the sum so far: 0 before the year, midnight of the date after it, no zone applied before
// the zone piece. Hour, minute and second are not range-checked and the day is not checked
// against the month's length, as in the reference parser.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "text/text.h"

namespace email::mime {
namespace {

// An unsigned decimal with an optional leading '+', leading zeros allowed, at most `max`.
std::optional<uint64_t> parseUnsigned(std::string_view s, uint64_t max) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return value;
}

// A signed 32-bit decimal with an optional sign.
std::optional<int64_t> parseSigned32(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  auto magnitude = parseUnsigned(s, negative ? 2147483648u : 2147483647u);
  if (!magnitude) return std::nullopt;
  return negative ? -static_cast<int64_t>(*magnitude) : static_cast<int64_t>(*magnitude);
}

// 1..12 for an English month name, abbreviated to three letters or written out.
int monthNumber(std::string_view upper) {
  static constexpr std::string_view kShort[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  static constexpr std::string_view kLong[] = {"JANUARY",   "FEBRUARY", "MARCH",    "APRIL",
                                               "MAY",       "JUNE",     "JULY",     "AUGUST",
                                               "SEPTEMBER", "OCTOBER",  "NOVEMBER", "DECEMBER"};
  for (int i = 0; i < 12; ++i)
    if (upper == kShort[i] || upper == kLong[i]) return i + 1;
  return 0;
}

// Days from 1970-01-01 to the first of the month (proleptic Gregorian calendar).
int64_t daysFromCivil(int64_t year, int64_t month) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The offset in seconds a named zone adds to local time to reach UTC.
std::optional<int64_t> namedZoneCorrection(std::string_view upper) {
  struct Zone {
    std::string_view name;
    int64_t hours;
  };
  static constexpr Zone kZones[] = {
      {"UT", 0},  {"UTC", 0}, {"GMT", 0}, {"Z", 0},   {"EDT", 4}, {"EST", 5},
      {"CDT", 5}, {"CST", 6}, {"MDT", 6}, {"MST", 7}, {"PDT", 7}, {"PST", 8},
      {"A", 1},   {"M", 12},  {"N", -1},  {"Y", -12},
  };
  for (const auto& zone : kZones)
    if (upper == zone.name) return zone.hours * 3600;
  return std::nullopt;
}

DateParse failure(const char* why) {
  DateParse result;
  result.error = why;
  return result;
}

}  // namespace

DateParse parseDate(std::string_view trimmedText) {
  enum class Expect { Day, Month, Year, Hour, Minute, Second, Zone };
  Expect expect = Expect::Day;
  int64_t result = 0;
  int64_t day = 0;
  int64_t month = 0;

  size_t pos = 0;
  while (pos <= trimmedText.size()) {
    // The next ' ' or ':' (a plain loop: a set search would call memchr per character).
    size_t end = pos;
    while (end < trimmedText.size() && trimmedText[end] != ' ' && trimmedText[end] != ':') ++end;
    const std::string_view piece = trimmedText.substr(pos, end - pos);
    pos = end + 1;
    if (piece.empty()) continue;

    switch (expect) {
      case Expect::Day: {
        auto number = parseUnsigned(piece, 255);
        if (!number) break;  // not a day number yet: skipped
        if (*number < 1 || *number > 31) return failure("Invalid day");
        day = static_cast<int64_t>(*number);
        expect = Expect::Month;
        break;
      }
      case Expect::Month:
        // Full Unicode upper-casing, as in the reference parser: "ſep" reads as "SEP".
        month = monthNumber(text::unicodeUpper(piece));
        if (month == 0) return failure("Unrecognized month");
        expect = Expect::Year;
        break;
      case Expect::Year: {
        auto number = parseUnsigned(piece, UINT32_MAX);
        if (!number) return failure("Invalid year");
        int64_t year = static_cast<int64_t>(*number);
        if (year < 70) {
          year += 2000;
        } else if (year < 100) {
          year += 1900;
        } else if (year < 1970) {
          return failure("Disallowed year");
        }
        result = (daysFromCivil(year, month) + day - 1) * 86400;
        expect = Expect::Hour;
        break;
      }
      case Expect::Hour:
      case Expect::Minute:
      case Expect::Second: {
        auto number = parseUnsigned(piece, 255);
        if (!number) {
          return failure(expect == Expect::Hour     ? "Invalid hour"
                         : expect == Expect::Minute ? "Invalid minute"
                                                    : "Invalid second");
        }
        const int64_t unit = expect == Expect::Hour ? 3600 : expect == Expect::Minute ? 60 : 1;
        result += static_cast<int64_t>(*number) * unit;
        expect = expect == Expect::Hour     ? Expect::Minute
                 : expect == Expect::Minute ? Expect::Second
                                            : Expect::Zone;
        break;
      }
      case Expect::Zone: {
        if (auto offset = parseSigned32(piece)) {
          if (*offset < -2400 || *offset > 2400) return failure("Invalid timezone");
          const int64_t magnitude = *offset < 0 ? -*offset : *offset;
          const int64_t seconds = (magnitude / 100) * 3600 + (magnitude % 100) * 60;
          result += *offset < 0 ? seconds : -seconds;
        } else if (auto correction = namedZoneCorrection(text::unicodeUpper(piece))) {
          result += *correction;
        } else {
          return failure("Invalid timezone");
        }
        DateParse done;
        done.ok = true;
        done.seconds = result;
        return done;  // anything after the zone is ignored
      }
    }
  }
  DateParse done;
  done.ok = true;
  done.seconds = result;
  return done;
}

}  // namespace email::mime
