// What the reader's two walks derive from one parsed part: its media type as they compare
// it, whether it is textual or a multipart, its given name and a name made up for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "email/mime/mime.h"

namespace email {

// The part's media type as the MIME layer reports it, lower-cased again (full Unicode
// mapping): a view of the part's own text when that changes nothing, else of `storage`.
std::string_view mediaTypeOf(const mime::ParsedMessage& message, uint32_t part,
                             std::string& storage);

// At least five bytes and beginning with "text/".
bool isTextualType(std::string_view mediaType);

// At least ten bytes and beginning with "multipart/".
bool isMultipartType(std::string_view mediaType);

// The Content-Disposition "filename" parameter if present, otherwise the Content-Type "name"
// parameter if present (an empty value still counts as a name), otherwise nothing.
std::optional<std::string> givenName(const mime::ParsedMessage& message, uint32_t part,
                                     const mime::ContentDisposition& disposition);

// "attachment." followed by the media type's text after its last "/" (the whole media type
// when it has none).
std::string synthesizedName(std::string_view mediaType);

// A Content-Type parameter value trimmed of white space at both ends; empty when absent.
std::string_view trimmedParam(const mime::ParsedMessage& message, uint32_t part,
                              std::string_view name, std::string& storage);

}  // namespace email
