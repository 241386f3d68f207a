// Whole messages: the reader and the probe over the same bytes, the parse tree, and the
// record line the tool would write for them.
#include <cstddef>
#include <cstdint>

#include "email/mime/mime.h"
#include "email/reader.h"
#include "email_ventry/probe.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto bytes = fuzzcheck::asView(data, size);
  auto parsed = email::mime::parseMessage(bytes);
  fuzzcheck::checkParsedMessage(bytes, parsed);
  auto probe = ventry::probeMessage(bytes);
  fuzzcheck::checkProbe(probe, parsed);
  auto outcome = email::readMessage(bytes);
  fuzzcheck::checkReadOutcome(outcome, parsed);
  fuzzcheck::checkRecordLine("msgs/fuzz.eml", outcome, probe);
  return 0;
}
