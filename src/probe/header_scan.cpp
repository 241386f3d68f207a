// The probe's header scan: cuts the raw header block itself and reads it line by line, so
// it sees the headers of messages the MIME parser rejects and owes nothing to the reader.
#include <algorithm>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "probe/probe.h"
#include "text/byte_search.h"
#include "text/text.h"

namespace ventry {

namespace {

// The header block ends just before the first LF that is followed by an empty line (LF,
// or CR LF). Without such a line the whole message is the block.
std::string_view headerBlock(std::string_view bytes) {
  size_t i = bytes.find('\n');
  while (i != std::string_view::npos && i + 1 < bytes.size()) {
    const char next = bytes[i + 1];
    if (next == '\n' || (next == '\r' && i + 2 < bytes.size() && bytes[i + 2] == '\n')) {
      return bytes.substr(0, i);
    }
    i = bytes.find('\n', i + 1);
  }
  return bytes;
}

// Whether "=?" occurs in `s`. Header values hold many "=" (signatures, parameters) and few
// "?", so the search goes by "?".
bool containsEncodedWordStart(std::string_view s) {
  for (size_t q = text::findByte(s, 1, '?'); q != std::string_view::npos;
       q = text::findByte(s, q + 1, '?')) {
    if (s[q - 1] == '=') return true;
  }
  return false;
}

enum class Recipient { None, To, Cc };

struct ScanState {
  Recipient open = Recipient::None;
  bool toHasText = false;
  bool ccHasText = false;

  void creditText() {
    if (open == Recipient::To) toHasText = true;
    if (open == Recipient::Cc) ccHasText = true;
  }
};

// `question` is false only when the line is known to hold no '?' (and so no "=?").
void scanContinuationLine(std::string_view line, bool question, ScanState& state, Probe& probe) {
  if (question && containsEncodedWordStart(line)) probe.encWordAny = true;
  // A blank continuation line neither credits text nor ends the recipient run.
  if (!text::isBlank(line)) state.creditText();
}

void scanHeaderLine(std::string_view line, bool question, ScanState& state, Probe& probe) {
  // Header names are short: the colon is found inline, without a library search call.
  const size_t colon = std::min(text::findByte(line, 0, ':'), line.size());
  if (colon == line.size()) {
    state.open = Recipient::None;
    return;
  }
  // Names are matched after trimming and A-Z to a-z lower-casing, which is the same as an
  // ASCII-case-insensitive comparison with the lower-case names below.
  const std::string_view name = text::trim(line.substr(0, colon));
  const std::string_view value = line.substr(colon + 1);
  // The length test first: most names differ from most wanted names in length already.
  auto is = [name](std::string_view want) {
    return name.size() == want.size() && text::equalsIgnoreAsciiCase(name, want);
  };

  if (is("to")) {
    state.open = Recipient::To;
    probe.hdrTo = true;
  } else if (is("cc")) {
    state.open = Recipient::Cc;
    probe.hdrCc = true;
  } else {
    state.open = Recipient::None;
  }
  if (state.open != Recipient::None && !text::isBlank(value)) state.creditText();

  if (question && containsEncodedWordStart(value)) {
    probe.encWordAny = true;
    if (is("subject")) probe.encWordSubject = true;
  }

  if (is("bcc")) {
    probe.hdrBcc = true;
  } else if (is("date")) {
    probe.hdrDate = true;
  } else if (is("references")) {
    probe.hdrRefs = true;
  } else if (is("in-reply-to")) {
    probe.hdrInReplyTo = true;
  } else if (is("message-id")) {
    probe.hdrMessageId = true;
  } else if (is("mime-version")) {
    probe.hdrMime = true;
  }
}

void scanLine(std::string_view line, bool question, ScanState& state, Probe& probe) {
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    scanContinuationLine(line, question, state, probe);
  } else {
    scanHeaderLine(line, question, state, probe);
  }
}

// Where a line ends and what it holds, found in one pass over its bytes.
struct LineFacts {
  size_t lineFeed = std::string_view::npos;  // offset of the LF ending it, if any
  bool question = false;                     // a '?' before that LF
  bool nonAscii = false;                     // a byte above 0x7F before that LF
};

LineFacts readLine(std::string_view bytes, size_t start) {
  LineFacts facts;
  size_t i = start;
#if defined(__SSE2__)
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i question = _mm_set1_epi8('?');
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    const unsigned lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, lineFeed)));
    // Only the bytes before the LF belong to the line.
    const unsigned before = lf == 0 ? 0xFFFFu : (lf & (0u - lf)) - 1;
    if (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, question))) & before) {
      facts.question = true;
    }
    if (static_cast<unsigned>(_mm_movemask_epi8(b)) & before) facts.nonAscii = true;
    if (lf != 0) {
      facts.lineFeed = i + static_cast<size_t>(__builtin_ctz(lf));
      return facts;
    }
  }
#endif
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      facts.lineFeed = i;
      return facts;
    }
    if (c == '?') facts.question = true;
    if (static_cast<unsigned char>(c) >= 0x80) facts.nonAscii = true;
  }
  return facts;
}

void finishScan(const ScanState& state, Probe& probe) {
  probe.hdrToEmpty = probe.hdrTo && !state.toHasText;
  probe.hdrCcEmpty = probe.hdrCc && !state.ccHasText;
}

void copyHeaderMembers(const Probe& from, Probe& to) {
  to.hdrTo = from.hdrTo;
  to.hdrCc = from.hdrCc;
  to.hdrToEmpty = from.hdrToEmpty;
  to.hdrCcEmpty = from.hdrCcEmpty;
  to.hdrBcc = from.hdrBcc;
  to.hdrDate = from.hdrDate;
  to.hdrRefs = from.hdrRefs;
  to.hdrInReplyTo = from.hdrInReplyTo;
  to.hdrMessageId = from.hdrMessageId;
  to.hdrMime = from.hdrMime;
  to.encWordSubject = from.encWordSubject;
  to.encWordAny = from.encWordAny;
}

// The header scan in one pass that also finds where the block ends, for a block of valid
// UTF-8; false (with `probe` untouched) when the block turns out not to be valid UTF-8, which
// is checked once the end is known. Scanning lines first is safe for any bytes.
bool scanValidHeaderBlock(std::string_view bytes, Probe& probe) {
  Probe found;
  ScanState state;
  size_t blockEnd = bytes.size();
  size_t start = 0;
  bool nonAscii = false;  // whether the block holds a byte above 0x7F
  while (start < bytes.size()) {
    const LineFacts facts = readLine(bytes, start);
    const size_t lf = facts.lineFeed;
    nonAscii = nonAscii || facts.nonAscii;
    if (lf == std::string_view::npos) {
      // No empty line: the whole message is the block; its last line keeps a trailing CR.
      scanLine(bytes.substr(start), facts.question, state, found);
      break;
    }
    std::string_view line = bytes.substr(start, lf - start);
    const char next = lf + 1 < bytes.size() ? bytes[lf + 1] : '\0';
    const bool blockEnds =
        next == '\n' || (next == '\r' && lf + 2 < bytes.size() && bytes[lf + 2] == '\n');
    if (blockEnds) {
      // The block stops before this line feed, so this last line keeps a trailing CR.
      if (!line.empty()) scanLine(line, facts.question, state, found);
      blockEnd = lf;
      break;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    scanLine(line, facts.question, state, found);
    start = lf + 1;
  }
  // ASCII is valid UTF-8 as it is.
  if (nonAscii && !text::isValidUtf8(bytes.substr(0, blockEnd))) return false;
  finishScan(state, found);
  copyHeaderMembers(found, probe);
  return true;
}

}  // namespace

void scanHeaders(std::string_view bytes, Probe& probe) {
  if (scanValidHeaderBlock(bytes, probe)) return;

  // Bad bytes become U+FFFD, and the repaired block is scanned.
  const std::string repaired = text::utf8Lossy(headerBlock(bytes));
  const std::string_view textView = repaired;
  ScanState state;
  size_t start = 0;
  while (start < textView.size()) {
    const size_t lf = textView.find('\n', start);
    std::string_view line;
    if (lf == std::string_view::npos) {
      line = textView.substr(start);  // the last line keeps a trailing CR (white space)
      start = textView.size();
    } else {
      line = textView.substr(start, lf - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      start = lf + 1;
    }
    scanLine(line, true, state, probe);
  }
  finishScan(state, probe);
}

}  // namespace ventry
