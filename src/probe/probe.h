// The probe: an independent look at the raw bytes of one message, set beside the reader's
// claims in every record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "email/mime/mime.h"

namespace ventry {

// Members in the order the record writes them.
struct Probe {
  // Header scan of the raw header block.
  bool hdrTo = false;
  bool hdrCc = false;
  bool hdrToEmpty = false;
  bool hdrCcEmpty = false;
  bool hdrBcc = false;
  bool hdrDate = false;
  bool hdrRefs = false;
  bool hdrInReplyTo = false;
  bool hdrMessageId = false;
  bool hdrMime = false;
  bool encWordSubject = false;
  bool encWordAny = false;
  // The parse.
  bool parseErr = false;
  std::string topCt;
  // The structure walk.
  uint32_t parts = 0;
  uint32_t depth = 0;
  uint32_t plainLeaves = 0;
  uint32_t htmlLeaves = 0;
  uint32_t plainNonempty = 0;
  uint32_t htmlNonempty = 0;
  uint32_t calUnnamed = 0;
  uint32_t calNamed = 0;
  uint32_t otherTextualUnnamed = 0;
  std::vector<std::string> otherTextualTypes;
  uint32_t rfc822Parts = 0;
  uint32_t rfc822Unnamed = 0;
  uint32_t cidParts = 0;
  bool cidRefsInHtml = false;
  bool remoteRefsInHtml = false;
  bool scriptInHtml = false;
  uint32_t attachDecl = 0;
  uint32_t oversize = 0;
  std::vector<std::string> cte;
  std::vector<std::string> charsets;
  bool undeclNonAscii = false;
  bool formatFlowed = false;
  bool isSigned = false;  // written as "signed"
  bool encrypted = false;
  bool report = false;
};

Probe probeMessage(std::string_view bytes);

// The same with the parse of `bytes` (by `mime::parseMessage`) supplied by the caller; the
// header scan still reads the raw bytes.
Probe probeParsed(std::string_view bytes, const email::mime::ParsedMessage& message);

// The header scan alone (members hdrTo .. encWordAny).
void scanHeaders(std::string_view bytes, Probe& probe);

// The structure walk over the part at `root` (nesting level of the root: its depth).
void probePart(const email::mime::ParsedMessage& message, uint32_t root, Probe& probe);

}  // namespace ventry
