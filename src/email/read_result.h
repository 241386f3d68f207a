// What one read of a message produces: the read result, its attachments and the loss
// notices that name everything the reader dropped or carried in a lesser form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace email {

// The largest decoded size for which an attachment carries its bytes.
inline constexpr uint64_t kInlineCap = 5 * 1024 * 1024;

struct Attachment {
  std::string filename;
  std::string contentType;  // lower case, no parameters
  std::string content;      // standard base64 of the decoded bytes; empty above the cap
  std::optional<std::string> contentId;
  uint64_t size = 0;  // decoded byte count
};

struct ReadResult {
  std::vector<std::string> to;
  std::vector<std::string> cc;
  std::string html;
  std::string text;
  std::vector<Attachment> attachments;
};

// The closed vocabulary of feature IDs, in table order.
enum class FeatureId {
  HeadersRecipients,
  HeadersDate,
  MimeCharsetFallback,
  MimeFormatFlowed,
  CalendarDetect,
  MimeRelatedCid,
  MimeNested,
  AttachmentsOversize,
  AttachmentsContent,
  ThreadAssembly,
  MimeTextualPart,
  MimeMessageRfc822,
};

enum class Action { Dropped, Degraded };

// "email.read.headers.recipients", ...
std::string_view featureIdText(FeatureId id);
// The action word every notice of this feature carries ("dropped" or "degraded"); the
// thread-assembly feature has none and yields the empty string.
std::string_view featureAction(FeatureId id);
std::string_view actionText(Action action);

struct LossNotice {
  std::string featureId;
  std::string action;
  std::string detail;
};

using LossNotices = std::vector<LossNotice>;

// Appends the notice unless one equal in feature ID, action and detail is already listed.
void addLossNotice(LossNotices& notices, std::string_view featureId, std::string_view action,
                   std::string detail);
// The same with the feature's fixed action word.
void addLossNotice(LossNotices& notices, FeatureId id, std::string detail);

// The JSON form: an array of {"featureId":..,"action":..,"detail":..} objects in list order.
std::string lossNoticesToJson(const LossNotices& notices);

}  // namespace email
