// RFC 5322 address lists, read the way the reference parser reads them: a character state
// machine over the decoded header value in which every decoded encoded word is one opaque
// item (its text is never searched for '<', ',' or quotes).
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "email/mime/header_value.h"
#include "email/mime/mime.h"
#include "text/byte_search.h"
#include "text/text.h"

namespace email::mime {
namespace {

enum class ItemKind { Char, Space, Word, End };

struct Item {
  ItemKind kind = ItemKind::End;
  char32_t c = 0;         // the character when kind is Char
  std::string_view text;  // the character's bytes, the white space or the decoded word
};

// Walks the normalised token stream one item at a time: characters of text tokens (white
// space among them reported as Space), whole space tokens, whole decoded words. The tokens
// come from the stream a few at a time; a view handed out stays valid until the next call.
class ItemReader {
 public:
  explicit ItemReader(HeaderTokenStream& stream) : stream_(stream) {}

  bool atEnd() {
    skipEmpty();
    return token_ >= tokens_.size();
  }

  Item next() {
    skipEmpty();
    if (token_ >= tokens_.size()) return Item{};
    const HeaderToken& token = tokens_[token_];
    std::string_view t = token.text;
    if (token.kind == HeaderTokenKind::Word) {
      ++token_;
      return Item{ItemKind::Word, 0, t};
    }
    if (token.kind != HeaderTokenKind::Text) {
      ++token_;
      std::string_view rest = t.substr(pos_);
      pos_ = 0;
      return Item{ItemKind::Space, 0, rest};
    }
    size_t start = pos_;
    char32_t c = text::nextCodePoint(t, pos_);
    std::string_view bytes = t.substr(start, pos_ - start);
    if (pos_ >= t.size()) {
      ++token_;
      pos_ = 0;
    }
    return Item{text::isWhiteSpace(c) ? ItemKind::Space : ItemKind::Char, c, bytes};
  }

  // Takes the characters up to the next byte of `stops` (all ASCII) within the current text or
  // space token, for states that treat every other character alike. Empty at a word.
  std::string_view takeRun(std::string_view stops) {
    skipEmpty();
    if (token_ >= tokens_.size() || tokens_[token_].kind == HeaderTokenKind::Word) return {};
    std::string_view t = tokens_[token_].text;
    // A bit per ASCII stop byte, so each byte of the run costs one test rather than a
    // search through `stops`.
    uint64_t mask[2] = {0, 0};
    for (const char stop : stops) {
      const auto b = static_cast<unsigned char>(stop);
      mask[b >> 6] |= uint64_t{1} << (b & 63);
    }
    size_t end = pos_;
    while (end < t.size()) {
      const auto b = static_cast<unsigned char>(t[end]);
      if (b < 0x80 && ((mask[b >> 6] >> (b & 63)) & 1) != 0) break;
      ++end;
    }
    std::string_view run = t.substr(pos_, end - pos_);
    pos_ = end;
    if (pos_ >= t.size()) {
      ++token_;
      pos_ = 0;
    }
    return run;
  }

 private:
  // Moves to the next token that is a word or not empty, taking more from the stream when
  // the ones at hand are used up.
  void skipEmpty() {
    for (;;) {
      while (token_ < tokens_.size() && tokens_[token_].kind != HeaderTokenKind::Word &&
             tokens_[token_].text.empty()) {
        ++token_;
      }
      if (token_ < tokens_.size() || done_) return;
      tokens_.clear();
      token_ = 0;
      pos_ = 0;
      done_ = !stream_.next(tokens_);
    }
  }

  HeaderTokenStream& stream_;
  std::vector<HeaderToken> tokens_;
  size_t token_ = 0;
  size_t pos_ = 0;
  bool done_ = false;
};

enum class State {
  Start,
  Quoted,
  QuotedEsc,
  AfterQuote,
  Angle,
  AfterAngle,
  Bare,
  BareWord,
  Comment
};

constexpr std::string_view kNoAt = "Invalid address found: must contain a '@' symbol";
constexpr std::string_view kTerminatorOutside = "Unexpected group terminator found in initial list";
constexpr std::string_view kWordAfterEscape = "Unexpected encoded word found inside a quoted name";
constexpr std::string_view kNestedGroup = "Found unexpected nested group";
constexpr std::string_view kWordInAngle = "Unexpected encoded word found inside bracketed address";
constexpr std::string_view kCharAfterAngle = "Unexpected char found after bracketed address";
constexpr std::string_view kWordAfterAngle =
    "Unexpected encoded word found after bracketed address";
constexpr std::string_view kUnterminatedGroup = "Found unterminated group address";
constexpr std::string_view kTerminated = "Address string unexpectedly terminated";

std::string rtrim(const std::string& s) {
  return std::string(text::trimEnd(s));
}

// One run of the machine. The top level runs it with `inGroup` false; a group's members are
// read by a second, fresh run with `inGroup` true on the same reader, which returns at the
// group's ';'. A ':' inside that run is a nested group and fails, so runs never go deeper than
// two. A counting run keeps no items, only the number of entries they make.
struct ListParse {
  bool ok = true;
  std::string error;
  std::vector<AddressItem> items;  // the list, or the group's members as mailboxes
  uint64_t entries = 0;            // when counting: mailboxes, members and named groups
};

class Machine {
 public:
  Machine(ItemReader& reader, bool inGroup, bool counting)
      : reader_(reader), inGroup_(inGroup), counting_(counting) {}

  ListParse run();

 private:
  bool pushMailbox(std::optional<std::string> name, std::string address) {
    if (address.find('@') == std::string::npos) return fail(kNoAt);
    if (counting_) {
      ++result_.entries;
      return true;
    }
    AddressItem item;
    item.mailbox.displayName = std::move(name);
    item.mailbox.address = std::move(address);
    result_.items.push_back(std::move(item));
    return true;
  }

  bool fail(std::string_view message) {
    result_.ok = false;
    result_.error = std::string(message);
    return false;
  }

  // Reads a group's members after its ':' and appends the group. False on failure.
  bool readGroup(std::string groupName);

  ItemReader& reader_;
  bool inGroup_;
  bool counting_;
  ListParse result_;
  std::optional<std::string> name_;
  std::string addr_;
  std::optional<std::string> afterQuoteWs_;
};

bool Machine::readGroup(std::string groupName) {
  if (inGroup_) return fail(kNestedGroup);
  AddressItem group;
  group.isGroup = true;
  group.groupName = std::move(groupName);
  // A value that ends right after the ':' is an empty group, not an unterminated one.
  uint64_t members = 0;
  if (!reader_.atEnd()) {
    Machine memberMachine(reader_, true, counting_);
    ListParse parsed = memberMachine.run();
    if (!parsed.ok) return fail(parsed.error);
    members = parsed.entries;
    for (AddressItem& member : parsed.items) group.members.push_back(std::move(member.mailbox));
  }
  if (counting_) {
    // The members, or the group itself when it has none but a name.
    result_.entries += members > 0 ? members : (group.groupName.empty() ? 0 : 1);
    return true;
  }
  result_.items.push_back(std::move(group));
  return true;
}

ListParse Machine::run() {
  State state = State::Start;
  State commentReturn = State::Start;
  for (;;) {
    // Runs of characters that the current state treats alike are taken in one step.
    switch (state) {
      case State::Quoted:
        name_->append(reader_.takeRun("\\\""));
        break;
      case State::Angle:
        addr_.append(reader_.takeRun(">"));
        break;
      case State::Bare:
        addr_.append(reader_.takeRun("<,;:("));
        break;
      case State::BareWord:
        addr_.append(reader_.takeRun("<:"));
        break;
      case State::Comment:
        reader_.takeRun(")");
        break;
      default:
        break;
    }
    Item item = reader_.next();
    if (item.kind == ItemKind::End) break;
    const bool space = item.kind == ItemKind::Space;
    const bool word = item.kind == ItemKind::Word;
    const char32_t c = item.kind == ItemKind::Char ? item.c : 0;
    switch (state) {
      case State::Start:
        if (space) break;
        if (word) {
          addr_ = std::string(item.text);
          state = State::BareWord;
        } else if (c == '"') {
          name_ = std::string();
          state = State::Quoted;
        } else if (c == '<') {
          addr_.clear();
          state = State::Angle;
        } else if (c == ';') {
          if (inGroup_) return std::move(result_);
          fail(kTerminatorOutside);
          return std::move(result_);
        } else {
          // Any other character opens a bare address, ',' '(' ':' and '>' included: the
          // reference turns a stray ',' into address text rather than an empty item.
          addr_ = std::string(item.text);
          state = State::Bare;
        }
        break;
      case State::Quoted:
        if (c == '\\') {
          state = State::QuotedEsc;
        } else if (c == '"') {
          state = State::AfterQuote;
        } else {
          name_->append(item.text);
        }
        break;
      case State::QuotedEsc:
        if (word) {
          fail(kWordAfterEscape);
          return std::move(result_);
        }
        name_->append(item.text);
        state = State::Quoted;
        break;
      case State::AfterQuote:
        if (space) {
          if (!afterQuoteWs_) afterQuoteWs_.emplace();
          afterQuoteWs_->append(item.text);
        } else if (c == '<') {
          addr_.clear();
          state = State::Angle;
        } else if (c == ':') {
          if (!readGroup(std::move(*name_))) return std::move(result_);
          name_.reset();
          state = State::Start;
        } else {
          // The white space collected here is kept until the next use, even across
          // mailboxes: the reference never clears it when an item completes.
          if (afterQuoteWs_) name_->append(*afterQuoteWs_);
          afterQuoteWs_.reset();
          if (c == '"') {
            state = State::Quoted;
          } else {
            name_->append(item.text);
          }
        }
        break;
      case State::Angle:
        if (word) {
          fail(kWordInAngle);
          return std::move(result_);
        }
        if (c == '>') {
          if (!pushMailbox(std::move(name_), std::move(addr_))) return std::move(result_);
          name_.reset();
          addr_.clear();
          state = State::AfterAngle;
        } else {
          addr_.append(item.text);  // nothing is trimmed inside the brackets
        }
        break;
      case State::AfterAngle:
        if (space) break;
        if (word) {
          fail(kWordAfterAngle);
          return std::move(result_);
        }
        if (c == ',') {
          state = State::Start;
        } else if (c == ';') {
          if (inGroup_) return std::move(result_);
          state = State::Start;
        } else if (c == '(') {
          commentReturn = State::AfterAngle;
          state = State::Comment;
        } else {
          fail(kCharAfterAngle);
          return std::move(result_);
        }
        break;
      case State::Bare:
      case State::BareWord:
        if (c == '<') {
          name_ = rtrim(addr_);
          addr_.clear();
          state = State::Angle;
        } else if (c == ':') {
          std::string groupName = rtrim(addr_);
          addr_.clear();
          if (!readGroup(std::move(groupName))) return std::move(result_);
          state = State::Start;
        } else if (state == State::BareWord) {
          addr_.append(item.text);
        } else if (c == ',' || c == ';') {
          if (!pushMailbox(std::nullopt, rtrim(addr_))) return std::move(result_);
          addr_.clear();
          if (c == ';' && inGroup_) return std::move(result_);
          state = State::Start;
        } else if (c == '(') {
          commentReturn = State::Bare;
          state = State::Comment;
        } else {
          addr_.append(item.text);
          if (word) state = State::BareWord;
        }
        break;
      case State::Comment:
        if (c == ')') state = commentReturn;  // comments do not nest
        break;
    }
  }

  if (inGroup_) {
    fail(kUnterminatedGroup);
  } else if (state == State::Bare) {
    pushMailbox(std::nullopt, rtrim(addr_));
  } else if (state != State::Start && state != State::AfterAngle) {
    fail(kTerminated);
  }
  return std::move(result_);
}

// Lists of plain mailboxes ("a@example.org, Name <b@example.org>" over any folds) make up
// most real To and Cc headers, and for them the outcome of the state machine is known
// without tokens and items: a short scan over the decoded text gives the same mailboxes. A
// value qualifies when it is printable ASCII (with tabs and CRLF or LF folds) holding none
// of the characters that lead the machine into quotes, comments or groups ('"', '(', ')',
// '[', ']', ':', ';', '\\') and no "=?" (encoded words). The scan gives up (empty optional,
// and the machine reads the value) at anything whose outcome takes the machine to work out:
// a stray ',' or '>' where a mailbox starts, an address without "@", an unclosed '<', text
// after a '>'.
constexpr std::array<uint8_t, 256> makePlainListBytes() {
  // 0: stands for itself; 1: needs a look at its neighbour (CR must start CRLF, "?" must
  // not follow "="); 2: rules the fast path out.
  std::array<uint8_t, 256> kinds{};
  for (int c = 0; c < 256; ++c) kinds[c] = c >= 0x20 && c <= 0x7E ? 0 : 2;
  kinds['\t'] = 0;
  kinds['\n'] = 0;
  kinds['\r'] = 1;
  kinds['?'] = 1;
  for (const char c : {'"', '(', ')', '[', ']', ':', ';', '\\'}) {
    kinds[static_cast<uint8_t>(c)] = 2;
  }
  return kinds;
}
constexpr std::array<uint8_t, 256> kPlainListBytes = makePlainListBytes();

bool isFoldSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimFoldSpaceEnd(std::string_view s) {
  while (!s.empty() && isFoldSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The decoded text of a value that qualifies as a plain list (see above), or nothing.
// `joined` holds the text when the value is folded.
// The number of bytes from `from` on, in whole blocks of sixteen, that are all ordinary
// (kind 0 above).
size_t ordinaryBlocks(std::string_view value, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  auto eq = [](__m128i a, char c) { return _mm_cmpeq_epi8(a, _mm_set1_epi8(c)); };
  for (; i + 16 <= value.size(); i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value.data() + i));
    // Printable ASCII by signed comparison (bytes above 0x7F are negative), tab and LF.
    const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(0x1F)),
                                            _mm_cmplt_epi8(b, _mm_set1_epi8(0x7F)));
    const __m128i allowed = _mm_or_si128(printable, _mm_or_si128(eq(b, '\t'), eq(b, '\n')));
    // '(' ')' and ':' ';' differ in their lowest bit; '[' '\\' ']' are consecutive.
    const __m128i pairs = _mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xFE)));
    const __m128i fromBracket = _mm_sub_epi8(b, _mm_set1_epi8('['));
    const __m128i brackets =
        _mm_cmpeq_epi8(_mm_min_epu8(fromBracket, _mm_set1_epi8(2)), fromBracket);
    const __m128i special =
        _mm_or_si128(_mm_or_si128(eq(b, '"'), eq(b, '?')),
                     _mm_or_si128(_mm_or_si128(eq(pairs, '('), eq(pairs, ':')), brackets));
    if (_mm_movemask_epi8(_mm_andnot_si128(special, allowed)) != 0xFFFF) break;
  }
#endif
  return i - from;
}

std::optional<std::string_view> plainListText(std::string_view value, std::string& joined) {
  const size_t size = value.size();
  for (size_t i = 0; i < size; ++i) {
    i += ordinaryBlocks(value, i);
    // Runs of ordinary bytes, four at a time.
    while (i + 4 <= size && (kPlainListBytes[static_cast<uint8_t>(value[i])] |
                             kPlainListBytes[static_cast<uint8_t>(value[i + 1])] |
                             kPlainListBytes[static_cast<uint8_t>(value[i + 2])] |
                             kPlainListBytes[static_cast<uint8_t>(value[i + 3])]) == 0) {
      i += 4;
    }
    if (i == size) break;
    const auto c = static_cast<unsigned char>(value[i]);
    const uint8_t kind = kPlainListBytes[c];
    if (kind == 0) continue;
    if (kind == 2) return std::nullopt;
    if (c == '\r' && (i + 1 == value.size() || value[i + 1] != '\n')) return std::nullopt;
    if (c == '?' && i > 0 && value[i - 1] == '=') return std::nullopt;
  }
  if (value.find('\n') == std::string_view::npos) return value;

  // The lines (a CR before the LF dropped) trimmed at their start and joined by one space,
  // as header value decoding gives them.
  joined.reserve(value.size());
  size_t start = 0;
  for (;;) {
    const size_t lf = value.find('\n', start);
    std::string_view line = value.substr(start, lf == std::string_view::npos ? lf : lf - start);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    joined.append(text::trimStart(line));
    if (lf == std::string_view::npos || lf + 1 == value.size()) break;
    joined += ' ';
    start = lf + 1;
  }
  return std::string_view(joined);
}

bool hasAt(std::string_view s) {
  return text::findByte(s, 0, '@') != std::string_view::npos;
}

// The offset of the first ',' or '<' at or after `from`, or `t.size()`.
size_t findCommaOrOpen(std::string_view t, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= t.size(); i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data() + i));
    const int mask = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(',')), _mm_cmpeq_epi8(b, _mm_set1_epi8('<'))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  while (i < t.size() && t[i] != ',' && t[i] != '<') ++i;
  return i;
}

// Scans the decoded text of a plain list, handing each mailbox to `keep(named, name,
// address)`. False when the text needs the state machine after all.
template <typename Keep>
bool scanPlainMailboxes(std::string_view t, Keep&& keep) {
  size_t i = 0;
  for (;;) {
    // Where a mailbox may start: white space is skipped; the end of the text ends the list.
    while (i < t.size() && isFoldSpace(t[i])) ++i;
    if (i == t.size()) return true;
    if (t[i] == ',' || t[i] == '>') return false;
    std::string_view name;
    bool named = false;
    if (t[i] != '<') {
      // A bare address, or the display name before '<' (trimmed at its end).
      const size_t begin = i;
      i = findCommaOrOpen(t, i);
      const std::string_view bare = trimFoldSpaceEnd(t.substr(begin, i - begin));
      if (i == t.size() || t[i] == ',') {
        if (!hasAt(bare)) return false;
        keep(false, std::string_view(), bare);
        if (i == t.size()) return true;
        ++i;
        continue;
      }
      name = bare;
      named = true;
    }
    // The bracketed address, taken as written up to '>'.
    const size_t open = i + 1;
    const size_t close = text::findByte(t, open, '>');
    if (close == std::string_view::npos) return false;
    const std::string_view address = t.substr(open, close - open);
    if (!hasAt(address)) return false;
    keep(named, name, address);
    // After '>' only white space, then ',' or the end.
    i = close + 1;
    while (i < t.size() && isFoldSpace(t[i])) ++i;
    if (i == t.size()) return true;
    if (t[i] != ',') return false;
    ++i;
  }
}

std::optional<AddressList> parsePlainAddressList(std::string_view value) {
  std::string joined;
  const std::optional<std::string_view> t = plainListText(value, joined);
  if (!t) return std::nullopt;
  // Counted first, so that the items are allocated once and only for a list that
  // qualifies.
  size_t count = 0;
  if (!scanPlainMailboxes(*t, [&count](bool, std::string_view, std::string_view) { ++count; })) {
    return std::nullopt;
  }
  AddressList list;
  list.ok = true;
  list.items.resize(count);
  size_t next = 0;
  scanPlainMailboxes(*t,
                     [&list, &next](bool named, std::string_view name, std::string_view address) {
                       Mailbox& mailbox = list.items[next++].mailbox;
                       if (named) mailbox.displayName.emplace(name);
                       mailbox.address.assign(address);
                     });
  return list;
}

}  // namespace

std::optional<size_t> countPlainMailboxes(const Header& header) {
  std::string joined;
  const std::optional<std::string_view> t = plainListText(header.value, joined);
  if (!t) return std::nullopt;
  size_t count = 0;
  if (!scanPlainMailboxes(*t, [&count](bool, std::string_view, std::string_view) { ++count; })) {
    return std::nullopt;
  }
  return count;
}

std::optional<uint64_t> countAddressEntries(const Header& header) {
  if (const std::optional<size_t> plain = countPlainMailboxes(header)) return *plain;
  HeaderTokenStream tokens(header.value);
  ItemReader reader(tokens);
  Machine machine(reader, false, true);
  const ListParse parsed = machine.run();
  if (!parsed.ok) return std::nullopt;
  return parsed.entries;
}

AddressList parseAddressList(const Header& header) {
  if (std::optional<AddressList> plain = parsePlainAddressList(header.value)) return *plain;
  HeaderTokenStream tokens(header.value);
  ItemReader reader(tokens);
  Machine machine(reader, false, false);
  ListParse parsed = machine.run();
  AddressList list;
  list.ok = parsed.ok;
  if (parsed.ok) {
    list.items = std::move(parsed.items);
  } else {
    list.error = std::move(parsed.error);
  }
  return list;
}

}  // namespace email::mime
