// The body walk: fills the text/plain and text/html slots, the last such part in document
// order winning, with a charset rule of its own for bodies that declare no usable charset.

#include <algorithm>
#include <string>
#include <string_view>

#include "email/notice_index.h"
#include "email/part_facts.h"
#include "email/reader.h"
#include "text/text.h"

namespace email {
namespace {

// The Content-Type "charset" parameter, trimmed and ASCII-lower-cased; empty when absent.
std::string declaredCharset(const mime::ParsedMessage& message, uint32_t part) {
  if (!mime::declaresCharset(message, part)) return {};
  return text::asciiLower(text::trim(mime::charset(message, part)));
}

std::string charsetDescriptor(const std::string& declared) {
  return declared.empty() ? "declares no charset" : "declares charset " + declared;
}

void addFormatFlowedNotice(const mime::ParsedMessage& message, uint32_t part,
                           NoticeIndex& notices) {
  std::string storage;
  if (!text::equalsIgnoreAsciiCase(trimmedParam(message, part, "format", storage), "flowed")) {
    return;
  }
  if (text::equalsIgnoreAsciiCase(trimmedParam(message, part, "delsp", storage), "yes")) {
    notices.add(FeatureId::MimeFormatFlowed,
                "the text/plain body declares format=flowed; delsp=yes (RFC 3676) but is "
                "carried as written: soft line breaks are not reflowed and their trailing "
                "spaces are kept, so flowed paragraphs render hard-wrapped");
  } else {
    notices.add(FeatureId::MimeFormatFlowed,
                "the text/plain body declares format=flowed (RFC 3676) but is carried as "
                "written: soft line breaks are not reflowed, so flowed paragraphs render "
                "hard-wrapped");
  }
}

}  // namespace

void collectBodies(const mime::ParsedMessage& message, uint32_t root, std::string& html,
                   std::string& text, LossNotices& notices) {
  if (root >= message.parts.size()) return;
  const uint32_t end = mime::subtreeEnd(message, root);

  // A hostile message can make a distinct notice of every part (one per charset, say).
  NoticeIndex added(notices);
  std::string mediaTypeStorage;
  // The parts are in document pre-order, so a subtree is one contiguous range.
  for (uint32_t index = root; index < end; ++index) {
    const std::string_view mediaType = mediaTypeOf(message, index, mediaTypeStorage);
    const bool plain = mediaType == "text/plain";
    if (!plain && mediaType != "text/html") continue;
    std::string& slot = plain ? text : html;
    const std::string label = plain ? "text/plain" : "text/html";

    const std::string declared = declaredCharset(message, index);
    const mime::BodyView body = mime::decodedBody(message, index);
    if (!body.ok) {
      added.add(FeatureId::AttachmentsContent,
                "a " + label + " body part failed to decode and was dropped");
      continue;
    }
    const std::string_view bytes = body.bytes;

    std::string candidate;
    const bool sniff = declared.empty() || declared == "us-ascii" || declared == "ascii";
    if (!sniff || text::isAscii(bytes)) {
      // The library's text follows the charset as written ("us-ascii" when absent).
      candidate = mime::decodeCharset(bytes, mime::charset(message, index));
    } else if (text::isValidUtf8(bytes)) {
      added.add(FeatureId::MimeCharsetFallback,
                "the " + label + " body " + charsetDescriptor(declared) +
                    " but carries non-ASCII bytes; they are valid UTF-8 and were decoded "
                    "as UTF-8 (a guess, not a declaration)");
      candidate.assign(bytes);
    } else {
      added.add(FeatureId::MimeCharsetFallback,
                "the " + label + " body " + charsetDescriptor(declared) +
                    " but carries non-ASCII bytes that are not UTF-8; decoded as "
                    "windows-1252 (mailparse's us-ascii fallback), so some characters may "
                    "be wrong");
      candidate = mime::decodeCharset(bytes, mime::charset(message, index));
    }

    if (!slot.empty()) {
      added.add(FeatureId::MimeNested,
                "an earlier " + label +
                    " body was overwritten by a later part (last-wins over the nested MIME "
                    "tree)");
    }
    slot = std::move(candidate);
    if (plain) addFormatFlowedNotice(message, index, added);
  }
}

}  // namespace email
