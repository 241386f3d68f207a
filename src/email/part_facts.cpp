#include "email/part_facts.h"

#include "text/text.h"

namespace email {

std::string_view mediaTypeOf(const mime::ParsedMessage& message, uint32_t part,
                             std::string& storage) {
  return text::unicodeLowerView(mime::mediaType(message, part), storage);
}

bool isTextualType(std::string_view mediaType) {
  return mediaType.size() >= 5 && text::startsWith(mediaType, "text/");
}

bool isMultipartType(std::string_view mediaType) {
  return mediaType.size() >= 10 && text::startsWith(mediaType, "multipart/");
}

std::optional<std::string> givenName(const mime::ParsedMessage& message, uint32_t part,
                                     const mime::ContentDisposition& disposition) {
  if (auto it = disposition.params.find("filename"); it != disposition.params.end()) {
    return it->second;
  }
  std::string storage;
  if (const auto name = mime::contentTypeParam(message, part, "name", storage)) {
    return std::string(*name);
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

std::string_view trimmedParam(const mime::ParsedMessage& message, uint32_t part,
                              std::string_view name, std::string& storage) {
  const std::optional<std::string_view> value =
      mime::contentTypeParam(message, part, name, storage);
  if (!value) return {};
  return text::trim(*value);
}

}  // namespace email
