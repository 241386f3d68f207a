// The reader entry and the read step: recipients, the Date notice, the two tree walks and
// the report-attachment rescue, in that order.

#include "email/reader.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "email/report_attachment.h"
#include "text/text.h"

namespace email {
namespace {

// Where one recipient header's entries go: into a list (with the detail asked for), or, with
// no list, only into the count.
struct RecipientEntries {
  std::vector<std::string>* list = nullptr;
  ReadDetail detail = ReadDetail::Full;
  uint64_t count = 0;

  void add(std::string entry) {
    ++count;
    if (list != nullptr) list->push_back(std::move(entry));
  }
};

void appendMailbox(std::vector<std::string>& entries, const mime::Mailbox& mailbox) {
  if (mailbox.displayName && !mailbox.displayName->empty()) {
    entries.push_back(*mailbox.displayName + " <" + mailbox.address + ">");
  } else {
    entries.push_back(mailbox.address);
  }
}

void appendAddressItems(std::vector<std::string>& entries, const mime::AddressList& list) {
  for (const auto& item : list.items) {
    if (!item.isGroup) {
      appendMailbox(entries, item.mailbox);
    } else if (!item.members.empty()) {
      for (const auto& member : item.members) appendMailbox(entries, member);
    } else if (!item.groupName.empty()) {
      entries.push_back(item.groupName + ":;");
    }
  }
}

// The entries of one recipient header, in `entries`; false (with `parsed` telling whether
// the value parsed at all) when it gave none.
bool readAddresses(const mime::Header& header, RecipientEntries& entries, bool& parsed) {
  // Only the number of entries counts (Counts lists empty strings): none is built.
  if (entries.list == nullptr || entries.detail == ReadDetail::Counts) {
    const std::optional<uint64_t> count = mime::countAddressEntries(header);
    parsed = count.has_value();
    const uint64_t found = count.value_or(0);
    entries.count += found;
    if (entries.list != nullptr) entries.list->resize(entries.list->size() + found);
    return found > 0;
  }
  std::vector<std::string>& list = *entries.list;
  const size_t before = list.size();
  const mime::AddressList addresses = mime::parseAddressList(header);
  parsed = addresses.ok;
  if (addresses.ok) appendAddressItems(list, addresses);
  entries.count += list.size() - before;
  return list.size() > before;
}

// The entries of one To or Cc header (`name`), or its text as one entry with a notice.
void readRecipients(const mime::Header& header, std::string_view name, RecipientEntries& entries,
                    LossNotices& notices) {
  bool parsed = false;
  if (readAddresses(header, entries, parsed)) return;

  // Nothing came of the header: carry its text as one entry unless it is blank.
  std::string value = mime::headerValue(header);
  if (text::isBlank(value)) return;
  entries.add(std::move(value));
  addLossNotice(
      notices, FeatureId::HeadersRecipients,
      "the " + std::string(name) + " header " +
          (parsed ? "parsed to no address at all" : "could not be parsed as an address list") +
          "; its decoded text is carried as one entry");
}

void readDate(const std::optional<mime::Header>& header, LossNotices& notices) {
  if (!header) return;
  const std::string value = mime::headerValue(*header);
  const mime::DateParse date = mime::parseDate(text::trim(value));
  if (date.ok && date.seconds > 0) {
    addLossNotice(notices, FeatureId::HeadersDate,
                  "the Date header is carried as its raw text rather than a parsed timestamp; "
                  "readers must parse it themselves and any zone handling is theirs");
  } else {
    addLossNotice(notices, FeatureId::HeadersDate,
                  "the Date header could not be parsed as an RFC 5322 date and is carried as "
                  "its raw text");
  }
}

// At most one report attachment, from `text` first, then from `html`; the body it came from
// is emptied.
std::optional<Attachment> rescueReportAttachment(std::string& text, std::string& html) {
  for (std::string* body : {&text, &html}) {
    if (auto attachment = reportAttachmentFromBody(*body)) {
      body->clear();
      return attachment;
    }
  }
  return std::nullopt;
}

// Whether `raw`, read as Latin-1 and trimmed of white space, equals `name` (ASCII, no
// white space at its edges)
// ignoring ASCII case. Each byte is its own code point, so the bytes are compared in place:
// a byte above 0x7F never equals an ASCII letter either way.
bool latin1NameEquals(std::string_view raw, std::string_view name) {
  // Trimming only shortens: a shorter name never matches, and one of the same length matches
  // only as it is (a white-space byte at its edge would face a character of `name`, which
  // has none at its edges).
  if (raw.size() < name.size()) return false;
  if (raw.size() == name.size()) return text::equalsIgnoreAsciiCase(raw, name);
  // A longer one can only match when trimming takes something off.
  // Unicode White_Space within Latin-1: TAB..CR, SP, NEL, NBSP.
  auto space = [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0;
  };
  if (!space(raw.front()) && !space(raw.back())) return false;
  size_t begin = 0;
  size_t end = raw.size();
  while (begin < end && text::isWhiteSpace(static_cast<unsigned char>(raw[begin]))) ++begin;
  while (end > begin && text::isWhiteSpace(static_cast<unsigned char>(raw[end - 1]))) --end;
  return text::equalsIgnoreAsciiCase(raw.substr(begin, end - begin), name);
}

// The top-level headers the reader reads, by name.
enum class ReadName { Other, To, Cc, Date };

// The name as latin1NameEquals matches it against "To", "Cc" and "Date", in one look: the
// raw name is trimmed only when a white-space byte is at its edge, then settled by length.
ReadName readNameOf(std::string_view raw) {
  auto space = [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0;
  };
  std::string_view name = raw;
  if (name.size() < 2) return ReadName::Other;
  if (space(name.front()) || space(name.back())) {
    while (!name.empty() && space(name.front())) name.remove_prefix(1);
    while (!name.empty() && space(name.back())) name.remove_suffix(1);
  }
  // A byte ORed with 0x20 equals a lower-case ASCII letter only when it is that letter in
  // either case.
  auto is = [](char c, char lowerLetter) { return (c | 0x20) == lowerLetter; };
  if (name.size() == 2) {
    if (is(name[0], 't') && is(name[1], 'o')) return ReadName::To;
    if (is(name[0], 'c') && is(name[1], 'c')) return ReadName::Cc;
  } else if (name.size() == 4) {
    if (is(name[0], 'd') && is(name[1], 'a') && is(name[2], 't') && is(name[3], 'e')) {
      return ReadName::Date;
    }
  }
  return ReadName::Other;
}

// The top-level headers: every To is read during one pass over them, which also notes where
// the first Cc header is and the first Date header; the Cc headers follow from there, so
// that every notice keeps its place (all To, then all Cc, then Date). The names match as
// findHeader matches them.
void readHeaderPass(const mime::ParsedMessage& message, RecipientEntries& to, RecipientEntries& cc,
                    LossNotices& notices) {
  std::optional<mime::Header> date;
  if (!message.parts.empty()) {
    const std::span<const mime::HeaderSpot> spots = mime::headerSpots(message, 0);
    const auto count = static_cast<uint32_t>(spots.size());
    uint32_t firstCc = count;
    for (uint32_t i = 0; i < count; ++i) {
      const ReadName name = readNameOf(mime::spotName(message, spots[i]));
      if (name == ReadName::To) {
        readRecipients(mime::headerAt(message, 0, i), "To", to, notices);
      } else if (name == ReadName::Cc) {
        if (firstCc == count) firstCc = i;
      } else if (name == ReadName::Date && !date) {
        date = mime::headerAt(message, 0, i);
      }
    }
    for (uint32_t i = firstCc; i < count; ++i) {
      if (readNameOf(mime::spotName(message, spots[i])) == ReadName::Cc) {
        readRecipients(mime::headerAt(message, 0, i), "Cc", cc, notices);
      }
    }
  }
  readDate(date, notices);
}

}  // namespace

std::optional<mime::Header> findHeader(const mime::ParsedMessage& message, size_t& cursor,
                                       std::string_view name) {
  if (message.parts.empty()) return std::nullopt;
  const std::span<const mime::HeaderSpot> spots = mime::headerSpots(message, 0);
  const auto count = static_cast<uint32_t>(spots.size());
  // The byte comparison serves ASCII names without white space at their edges (the only
  // kind asked for); any other name takes the decoded, trimmed comparison.
  const bool asciiName =
      std::all_of(name.begin(), name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }) &&
      (name.empty() || (!text::isWhiteSpace(static_cast<unsigned char>(name.front())) &&
                        !text::isWhiteSpace(static_cast<unsigned char>(name.back()))));
  while (cursor < count) {
    const auto index = static_cast<uint32_t>(cursor++);
    const std::string_view raw = mime::spotName(message, spots[index]);
    if (asciiName ? latin1NameEquals(raw, name)
                  : text::equalsIgnoreAsciiCase(text::trim(text::latin1ToUtf8(raw)), name)) {
      return mime::headerAt(message, 0, index);
    }
  }
  return std::nullopt;
}

ReadResult readParsedMessage(const mime::ParsedMessage& message, LossNotices& notices,
                             ReadDetail detail) {
  ReadResult result;
  RecipientEntries to{&result.to, detail};
  RecipientEntries cc{&result.cc, detail};
  readHeaderPass(message, to, cc, notices);
  collectBodies(message, 0, result.html, result.text, notices);
  collectAttachments(message, 0, result.attachments, notices, detail);
  if (result.attachments.empty()) {
    if (auto rescued = rescueReportAttachment(result.text, result.html)) {
      result.attachments.push_back(std::move(*rescued));
    }
  }
  return result;
}

ReadOutcome readMessage(std::string_view bytes) {
  return readParsed(mime::parseMessage(bytes));
}

ReadOutcome readParsed(const mime::ParsedMessage& message) {
  ReadOutcome outcome;
  if (!message.ok()) {
    outcome.failure = "Parse: " + message.error;
    return outcome;
  }
  LossNotices notices;
  ReadSummary& summary = outcome.summary;
  // The summary counts attachments and recipients and never shows them, so none is kept:
  // the same read as readParsedMessage's, with counts in place of the lists.
  RecipientEntries to;
  RecipientEntries cc;
  readHeaderPass(message, to, cc, notices);
  collectBodies(message, 0, summary.html, summary.text, notices);
  uint64_t attachments = countAttachments(message, 0, notices);
  if (attachments == 0 && rescueReportAttachment(summary.text, summary.html)) attachments = 1;

  outcome.ok = true;
  summary.loss.reserve(notices.size());
  for (auto& notice : notices) {
    summary.loss.push_back(LossPair{std::move(notice.featureId), std::move(notice.action)});
  }
  summary.attachments = attachments;
  summary.to = to.count;
  summary.cc = cc.count;
  return outcome;
}

}  // namespace email
