// mbox framing: where the messages of an mbox stream begin and end, and how their ">From "
// lines are un-quoted. The framer is fed the stream in pieces and keeps only the message it
// is reading, so memory is bounded by the largest message plus the last piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corpus {

// mboxrd: ">*From " lines are quoted with one more ">"; mboxo: only "From " lines are
// quoted (">From " cannot be told from a quoted line); mboxcl2: nothing is quoted, each
// message's "Content-Length" header gives its body size.
enum class MboxFormat { Mboxrd, Mboxo, Mboxcl2 };

// "mboxrd", "mboxo" or "mboxcl2" (exactly, lower case).
std::optional<MboxFormat> parseMboxFormat(std::string_view text);

// One message found by the framer.
struct MboxMessage {
  uint64_t number = 0;   // 1 for the stream's first message
  uint64_t offset = 0;   // stream offset of the message's separator ("From ") line
  std::string_view raw;  // the message as stored, still quoted; valid during the call, or
                         // as long as a copy of `storage` is kept
  std::shared_ptr<const char[]> storage;  // the framer's block that holds `raw`
  uint64_t size = 0;      // bytes of the message as stored (raw.size() unless oversize)
  bool oversize = false;  // larger than the framer's limit: its bytes were skipped, raw is empty
  bool whole = false;     // the stream holds no second message: raw is the whole stream,
                          // separator line and all, with nothing removed or un-quoted
};

// Returns false to stop the framer.
using MboxCallback = std::function<bool(const MboxMessage&)>;

// The framing rules:
// - Lines of white space only at the start of the stream (some writers put them there) are
//   skipped; the first other line is the first separator. Every later line that starts
//   with "From " and follows an empty line ("\n" or "\r\n") is a separator.
// - A message is the bytes after its separator line up to the next separator, without the
//   empty line before that separator (the writer's); at the end of the stream, one empty
//   last line is likewise the writer's and dropped.
// - mboxcl2: when a message's header block has a "Content-Length: N" header, the message is
//   its header block and the N bytes after it, provided that what follows them is the end
//   of the stream or a line break and then the end or a "From " line. Otherwise (no or a
//   malformed header, a length that leads elsewhere, a message above the size limit or
//   above kMaxTrustedContentLength) the message is framed by separators as above.
// - A stream in which no second message begins is one message with an envelope line, not
//   a one-message mbox: it is reported once with `whole` set, white space lines and all.
class MboxFramer {
 public:
  // Messages larger than `maxMessageBytes` (as stored) are reported with `oversize` and
  // not held in memory.
  MboxFramer(MboxFormat format, uint64_t maxMessageBytes);

  // Frames from the middle of a stream: the bytes fed begin at stream offset `offset`, where
  // message `number` (from 2) begins. Messages are then framed and numbered as from the start,
  // provided a message does begin there. Only before the first feed.
  void startAt(uint64_t number, uint64_t offset);

  // Appends the next bytes of the stream and reports each message whose end they reveal.
  // Returns false once `onMessage` has returned false (the framer is then spent).
  bool feed(std::string_view bytes, const MboxCallback& onMessage);

  // The stream has ended: reports the last message.
  bool finish(const MboxCallback& onMessage);

  // The same as feed() without the copy: room for `want` more bytes of the stream, to be
  // filled by the caller, and then the count filled.
  std::span<char> space(size_t want);
  bool commit(size_t count, const MboxCallback& onMessage);

  // Bytes of the stream in the current block now (for tests of the memory bound).
  size_t heldBytes() const { return static_cast<size_t>(total_ - base_); }

  // The stream is held in blocks of at least this many bytes. A block that fills is never
  // written again: the bytes still needed move to a new one, so that reported messages can
  // be read on other threads while the framer goes on.
  static constexpr size_t kBlockBytes = size_t{1} << 20;

 private:
  bool run(const MboxCallback& onMessage);
  bool skipBlankLines();
  bool emit(uint64_t end, bool last, const MboxCallback& onMessage);
  // Held bytes of a message beyond which it is skipped: the limit, plus the few bytes that
  // may turn out to be the writer's empty line and the next separator's start.
  uint64_t skipAbove() const {
    return maxMessageBytes_ > UINT64_MAX - 8 ? UINT64_MAX : maxMessageBytes_ + 8;
  }
  void startMessage(uint64_t offset);
  uint64_t keepFrom() const;
  std::string_view held() const { return {block_.get(), static_cast<size_t>(total_ - base_)}; }
  char at(uint64_t pos) const { return block_[pos - base_]; }
  bool fromAt(uint64_t pos) const;

  MboxFormat format_;
  uint64_t maxMessageBytes_;
  std::shared_ptr<char[]> block_;  // stream bytes from base_ on
  size_t capacity_ = 0;            // of block_
  uint64_t base_ = 0;              // stream offset of block_[0]
  uint64_t total_ = 0;
  bool eof_ = false;
  bool active_ = false;  // a message has begun and not yet been reported
  bool spent_ = false;
  bool leading_ = true;     // still in the white space lines before the first separator
  bool begun_ = false;      // the first message has begun
  uint64_t number_ = 0;     // of the current message
  uint64_t start_ = 0;      // offset of the current separator line
  uint64_t bodyStart_ = 0;  // offset after it, once lineDone_
  bool lineDone_ = false;
  uint64_t lineScan_ = 0;    // where the search for the separator line's end goes on
  uint64_t sepScan_ = 0;     // where the search for the next separator goes on
  bool headerDone_ = false;  // mboxcl2: the header block was looked at
  uint64_t headerScan_ = 0;
  uint64_t contentEnd_ = 0;  // mboxcl2: where the Content-Length says the message ends
  bool hasContentEnd_ = false;
  bool skipping_ = false;     // the current message is oversize
  bool lineDropped_ = false;  // its separator line was too long to keep
};

// Whether `c` may fill a line before an mbox's first separator: space, tab or CR, the white
// space that git's mailsplit skips there besides the line feed (its isspace, unlike C's,
// leaves out vertical tab and form feed).
constexpr bool isBlankLineByte(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// The length of the lines of white space only (each ended by "\n") at the start of `text`.
size_t blankLinesLength(std::string_view text);

// Content-Length values above this are not trusted (the message is framed by separators),
// so that a lying header cannot make the framer hold more than this.
inline constexpr uint64_t kMaxTrustedContentLength = uint64_t{256} << 20;

// Appends `raw` to `out` with the format's un-quoting: mboxrd removes one ">" from every line
// that starts with one or more ">" and then "From "; mboxo only from lines that start with
// ">From "; mboxcl2 copies.
void appendUnquoted(std::string_view raw, MboxFormat format, std::string& out);

// Whether `raw` holds a line that the format's un-quoting changes.
bool hasQuotedLine(std::string_view raw, MboxFormat format);

// `raw` un-quoted: `raw` itself when no line is quoted, else the un-quoted copy in `scratch`.
std::string_view unquotedView(std::string_view raw, MboxFormat format, std::string& scratch);

}  // namespace corpus
