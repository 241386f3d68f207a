// JSON string escaping shared by the notices' JSON form and the record writer.
#pragma once

#include <string>
#include <string_view>

namespace text {

// Appends UTF-8 text escaped for the inside of a JSON string (no quotes): \" \\ \b \t \n \f
// \r, \u00XX (lower-case hex) for the other controls below U+0020; everything else,
// including "/", U+007F and non-ASCII, is copied raw.
void appendJsonEscaped(std::string& out, std::string_view utf8);

}  // namespace text
