// Whole messages: the reader and the probe over the same bytes, the parse tree, the record
// line the tool would write for them, and the same record from one shared parse.
#include <cstddef>
#include <cstdint>
#include <string>

#include "email/mime/mime.h"
#include "email/reader.h"
#include "fuzz_checks.h"
#include "probe/probe.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto bytes = fuzzcheck::asView(data, size);
  auto parsed = email::mime::parseMessage(bytes);
  fuzzcheck::checkParsedMessage(bytes, parsed);
  auto probe = ventry::probeMessage(bytes);
  fuzzcheck::checkProbe(probe, parsed);
  auto outcome = email::readMessage(bytes);
  fuzzcheck::checkReadOutcome(outcome, parsed);
  // The entry name is list-file text, so UTF-8; take it from the input to exercise escapes.
  std::string name = text::utf8Lossy(bytes.substr(0, 24));
  std::string line = fuzzcheck::checkRecordLine(name, outcome, probe);

  // The run loop's path: one parse shared by the probe and the reader.
  auto sharedProbe = ventry::probeParsed(bytes, parsed);
  auto sharedOutcome = email::readParsed(parsed);
  fuzzcheck::require(fuzzcheck::checkRecordLine(name, sharedOutcome, sharedProbe) == line,
                     "one shared parse gives the same record as two parses");
  return 0;
}
