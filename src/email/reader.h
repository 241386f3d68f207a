// The reader entry: raw message bytes in, a read summary or a failure text out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "email/mime/mime.h"
#include "email/read_result.h"

namespace email {

struct LossPair {
  std::string featureId;
  std::string action;
};

struct ReadSummary {
  std::vector<LossPair> loss;
  std::string html;
  std::string text;
  uint64_t attachments = 0;
  uint64_t to = 0;
  uint64_t cc = 0;
};

// Either a read summary, or a failure text starting "Parse: ".
struct ReadOutcome {
  bool ok = false;
  ReadSummary summary;  // when ok
  std::string failure;  // when !ok
};

ReadOutcome readMessage(std::string_view bytes);

// The same over a message already parsed by `mime::parseMessage` (so one parse can serve
// other looks at the same bytes).
ReadOutcome readParsed(const mime::ParsedMessage& message);

// How much of the result is filled in. Full: everything. Counts: attachments omit their bytes
// (`content` stays empty) and recipient entries are empty strings (only their number
// counts). The notices and every other member are the same. (readParsed keeps not even
// that: it counts recipients and attachments without listing them.)
enum class ReadDetail { Full, Counts };

// The read step over an accepted message; notices are appended to `notices`.
ReadResult readParsedMessage(const mime::ParsedMessage& message, LossNotices& notices,
                             ReadDetail detail = ReadDetail::Full);

// Cursor over the top-level header list: the next header at or after `cursor` whose name,
// decoded as Latin-1 and trimmed of white space, equals `name` ignoring ASCII case. On a
// match `cursor` moves past it.
std::optional<mime::Header> findHeader(const mime::ParsedMessage& message, size_t& cursor,
                                       std::string_view name);

// The two tree walks, over the part at `root` and everything below it.
void collectBodies(const mime::ParsedMessage& message, uint32_t root, std::string& html,
                   std::string& text, LossNotices& notices);
void collectAttachments(const mime::ParsedMessage& message, uint32_t root,
                        std::vector<Attachment>& attachments, LossNotices& notices,
                        ReadDetail detail = ReadDetail::Full);
// The attachment walk's count alone, with the same notices.
uint64_t countAttachments(const mime::ParsedMessage& message, uint32_t root, LossNotices& notices);

}  // namespace email
