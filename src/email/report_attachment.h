// Turns a body that is nothing but a base64-coded zip or gzip archive (as automated report
// mail often is) into an attachment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "email/read_result.h"

namespace email {

// Bounds on the body with all white space removed, checked before any decoding.
inline constexpr size_t kReportMinChars = 64;
inline constexpr size_t kReportMaxChars = 6990520;  // the base64 length of kInlineCap bytes

// The archive attachment the body encodes ("report.zip" or "report.gz"), or nothing when the
// body is not exactly that: a strict base64 text of 4 to kInlineCap bytes beginning with a
// zip or gzip signature.
std::optional<Attachment> reportAttachmentFromBody(std::string_view body);

}  // namespace email
