// The attachment walk: lists every leaf that is not a body as an attachment, and names the
// parts it neither lists nor leaves to the body walk.

#include <algorithm>
#include <string>
#include <string_view>

#include "email/notice_index.h"
#include "email/part_facts.h"
#include "email/reader.h"
#include "text/text.h"

namespace email {
namespace {

// The Content-ID value without any leading or trailing angle brackets (white space kept).
std::string contentIdValue(const mime::Header& header) {
  const std::string value = mime::headerValue(header);
  const size_t first = value.find_first_not_of("<>");
  if (first == std::string::npos) return {};
  const size_t last = value.find_last_not_of("<>");
  return value.substr(first, last - first + 1);
}

}  // namespace

void collectAttachments(const mime::ParsedMessage& message, uint32_t root,
                        std::vector<Attachment>& attachments, LossNotices& notices,
                        ReadDetail detail) {
  const auto& parts = message.parts;
  if (root >= parts.size()) return;
  const uint32_t end = std::min<uint32_t>(parts[root].subtreeEnd, parts.size());
  NoticeIndex added(notices);
  std::string mediaTypeStorage;

  // The parts vector is in document pre-order, so a subtree is one contiguous range.
  for (uint32_t index = root; index < end; ++index) {
    const mime::Part& part = parts[index];
    if (part.childCount > 0) continue;  // containers of every subtype are only walked through
    const std::string_view mediaType = mediaTypeOf(part, mediaTypeStorage);
    if (isMultipartType(mediaType)) continue;  // an empty multipart: neither listed nor named

    const mime::ContentDisposition disposition = mime::contentDisposition(part);
    const bool declaredAttachment = disposition.kind == mime::DispositionKind::Attachment;
    std::optional<std::string> name = givenName(part, disposition);

    if (isTextualType(mediaType) && !declaredAttachment && !name) {
      if (mediaType == "text/plain" || mediaType == "text/html") continue;  // a body
      if (mediaType == "text/calendar") {
        added.add(FeatureId::CalendarDetect,
                  "a text/calendar part (calendar invite) was dropped: it is neither surfaced "
                  "as a body nor listed as an attachment");
      } else {
        added.add(FeatureId::MimeTextualPart,
                  "an unnamed " + std::string(mediaType) +
                      " part was dropped: it is neither surfaced as a body nor listed as an "
                      "attachment");
      }
      continue;
    }

    std::optional<std::string> contentId;
    if (const mime::Header* header = mime::firstHeader(part, "Content-ID")) {
      contentId = contentIdValue(*header);
      if (!declaredAttachment && !name) {
        added.add(FeatureId::MimeRelatedCid, "an inline " + std::string(mediaType) +
                                                 " part referenced by cid: is not carried; the "
                                                 "HTML body cannot resolve it");
        continue;
      }
    }

    // A summary needs only the decoded size, which is counted without keeping the bytes.
    Attachment attachment;
    bool decoded = true;
    if (detail == ReadDetail::Full) {
      const mime::BodyBytes body = mime::transferDecode(part);
      decoded = body.ok;
      attachment.size = body.bytes().size();
      if (decoded && attachment.size <= kInlineCap) {
        attachment.content = text::encodeBase64(body.bytes());
      }
    } else {
      const mime::BodySize body = mime::transferDecodedSize(part);
      decoded = body.ok;
      attachment.size = body.size;
    }
    if (!decoded) {
      added.add(
          FeatureId::AttachmentsContent,
          "a " + std::string(mediaType) + " attachment part failed to decode and was dropped");
      continue;
    }
    const bool oversize = attachment.size > kInlineCap;
    if (name) {
      attachment.filename = std::move(*name);
    } else {
      attachment.filename = synthesizedName(mediaType);
      if (mediaType == "message/rfc822") {
        added.add(FeatureId::MimeMessageRfc822,
                  "a forwarded message (message/rfc822) is carried as an opaque attachment; its "
                  "content is not read as a message");
      }
    }
    if (oversize) {
      added.add(FeatureId::AttachmentsOversize,
                "attachment \"" + attachment.filename + "\" (" + std::to_string(attachment.size) +
                    " bytes) exceeds the " + std::to_string(kInlineCap) +
                    "-byte inline cap; its bytes are not included");
    }
    attachment.contentType = part.contentType.mimeType;
    attachment.contentId = std::move(contentId);
    attachments.push_back(std::move(attachment));
  }
}

}  // namespace email
