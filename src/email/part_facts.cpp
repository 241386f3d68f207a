#include "email/part_facts.h"

#include "text/text.h"

namespace email {

std::string_view mediaTypeOf(const mime::Part& part, std::string& storage) {
  return text::unicodeLowerView(part.contentType.mimeType, storage);
}

bool isTextualType(std::string_view mediaType) {
  return mediaType.size() >= 5 && text::startsWith(mediaType, "text/");
}

bool isMultipartType(std::string_view mediaType) {
  return mediaType.size() >= 10 && text::startsWith(mediaType, "multipart/");
}

std::optional<std::string> givenName(const mime::Part& part,
                                     const mime::ContentDisposition& disposition) {
  if (auto it = disposition.params.find("filename"); it != disposition.params.end()) {
    return it->second;
  }
  if (auto it = part.contentType.params.find("name"); it != part.contentType.params.end()) {
    return it->second;
  }
  return std::nullopt;
}

std::string synthesizedName(std::string_view mediaType) {
  const size_t slash = mediaType.rfind('/');
  const std::string_view subtype =
      slash == std::string_view::npos ? mediaType : mediaType.substr(slash + 1);
  std::string name = "attachment.";
  name += subtype;
  return name;
}

std::string_view trimmedParam(const mime::ParamMap& params, std::string_view name) {
  auto it = params.find(name);
  if (it == params.end()) return {};
  return text::trim(it->second);
}

}  // namespace email
