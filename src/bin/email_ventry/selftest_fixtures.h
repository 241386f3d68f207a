// The self-test's fixture messages: constant byte strings, and the oversize message that is
// built at run time.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace ventry::fixtures {

extern const std::string_view kPlain;
extern const std::string_view kBrokenTo;
extern const std::string_view kCalendar;
extern const std::string_view kCid;
extern const std::string_view kNested;
extern const std::string_view kEmptyFirst;
extern const std::string_view kEmptyAfter;
extern const std::string_view kTextualCid;
extern const std::string_view kEnriched;
extern const std::string_view kNamedForward;
extern const std::string_view kRfc822;
extern const std::string_view kHostile;
extern const std::string_view kEnronStyle;
extern const std::string_view kDate;
extern const std::string_view kCharsetFallback;
extern const std::string_view kDeclaredCharset;
extern const std::string_view kFlowed;
extern const std::string_view kFixed;
extern const std::string_view kEmptyCc;
extern const std::string_view kBlankFoldedCc;
extern const std::string_view kNothingCc;
extern const std::string_view kFoldedCc;
extern const std::string_view kLaterContinuation;
extern const std::string_view kEmptyTo;
extern const std::string_view kSpacedColon;

// The number of zero bytes whose base64 encoding forms the oversize attachment's body.
inline constexpr size_t kOversizeZeroBytes = 5242896;

// A multipart message with one named base64 attachment that decodes to kOversizeZeroBytes
// zero bytes, just above the inline cap.
std::string buildOversize();

struct NamedFixture {
  std::string_view name;
  std::string_view bytes;
};

// The 25 constant fixtures with their names, in the order the claims first use them.
std::span<const NamedFixture> constantFixtures();

}  // namespace ventry::fixtures
