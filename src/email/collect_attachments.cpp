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

// The walk; every attachment is handed to `keep`.
template <typename Keep>
void walkAttachments(const mime::ParsedMessage& message, uint32_t root, LossNotices& notices,
                     ReadDetail detail, Keep&& keep) {
  if (root >= message.parts.size()) return;
  const uint32_t end = mime::subtreeEnd(message, root);
  NoticeIndex added(notices);
  std::string mediaTypeStorage;

  // The parts are in document pre-order, so a subtree is one contiguous range.
  for (uint32_t index = root; index < end; ++index) {
    // Containers of every subtype are only walked through.
    if (mime::hasChildren(message, index)) continue;
    const std::string_view mediaType = mediaTypeOf(message, index, mediaTypeStorage);
    if (isMultipartType(mediaType)) continue;  // an empty multipart: neither listed nor named

    const mime::ContentDisposition disposition = mime::contentDisposition(message, index);
    const bool declaredAttachment = disposition.kind == mime::DispositionKind::Attachment;
    std::optional<std::string> name = givenName(message, index, disposition);

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
    if (const std::optional<mime::Header> header =
            mime::partHeader(message, index, mime::PartHeader::ContentId)) {
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
      const mime::BodyBytes body = mime::transferDecode(message, index);
      decoded = body.ok;
      attachment.size = body.bytes().size();
      if (decoded && attachment.size <= kInlineCap) {
        attachment.content = text::encodeBase64(body.bytes());
      }
    } else {
      const mime::BodySize body = mime::transferDecodedSize(message, index);
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
    attachment.contentType = mime::mediaType(message, index);
    attachment.contentId = std::move(contentId);
    keep(std::move(attachment));
  }
}

}  // namespace

void collectAttachments(const mime::ParsedMessage& message, uint32_t root,
                        std::vector<Attachment>& attachments, LossNotices& notices,
                        ReadDetail detail) {
  walkAttachments(message, root, notices, detail, [&attachments](Attachment&& attachment) {
    attachments.push_back(std::move(attachment));
  });
}

uint64_t countAttachments(const mime::ParsedMessage& message, uint32_t root, LossNotices& notices) {
  uint64_t count = 0;
  walkAttachments(message, root, notices, ReadDetail::Counts, [&count](Attachment&&) { ++count; });
  return count;
}

}  // namespace email
