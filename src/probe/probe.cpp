#include "probe/probe.h"

#include "text/text.h"

namespace ventry {

namespace mime = email::mime;

Probe probeMessage(std::string_view bytes) {
  return probeParsed(bytes, mime::parseMessage(bytes));
}

Probe probeParsed(std::string_view bytes, const mime::ParsedMessage& message) {
  Probe probe;
  scanHeaders(bytes, probe);
  if (!message.ok() || message.parts.empty()) {
    probe.parseErr = true;
    return probe;
  }
  probe.topCt = text::unicodeLower(mime::mediaType(message, 0));
  probePart(message, 0, probe);
  return probe;
}

}  // namespace ventry
