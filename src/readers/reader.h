// The reader seam: the one interface through which the work stage has a message read. Behind
// it stand the built-in reader, which reads the tool's own parse, and a reader under test
// that runs as a co-process (coprocess_reader.h).
//
// For each message the work stage calls, in this order: send (before its own parse, so that
// a reader in another process works while the tool parses and probes), readParsed (over the
// tool's parse, under the message's memory limit) and receive (after the probe, outside the
// memory limit). The next message may be sent before the current one is received (so that a
// reader in another process finds it waiting when it is done with this one): receive always
// finishes the earliest message sent and not yet received. Between send and receive, the
// reader's part of the record is filled in exactly once: outcome "ok" with the loss pairs and
// counts, or outcome "threw" with the failure text.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "record/record.h"

namespace readers {

// What became of one message's reading, beside the record.
enum class Verdict {
  Read,     // the reader's part of the record is filled in
  Failed,   // the reader misbehaved: `text` says how ("Reader: ..."); it was stopped and is
            // started afresh for the next message
  Stopped,  // SIGINT or SIGTERM came while the reader worked: the message gets no record
  Lost,     // the reader could not be started again: `text` is the diagnostic, and the run
            // stops before this message's record
};

struct ReaderEnd {
  Verdict verdict = Verdict::Read;
  std::string text;
};

class Reader {
 public:
  virtual ~Reader() = default;

  // Hands the message named `name` over; `bytes` stays valid until it is received.
  virtual void send(std::string_view name, std::string_view bytes) = 0;

  // Reads the message from the tool's parse of its bytes, if this reader does.
  virtual void readParsed(const email::mime::ParsedMessage& message,
                          ventry::MessageRecord& record) = 0;

  // Finishes the earliest message sent and not yet received: the reader's part of `record`
  // unless the verdict says otherwise.
  virtual ReaderEnd receive(ventry::MessageRecord& record) = 0;

  // Ends the reader at the end of the run. `wait`: the run went well, so a reader in another
  // process is told so (end of its input) and given its timeout to exit; otherwise it is
  // killed at once. The destructor does the latter.
  virtual void close(bool wait) = 0;
};

// The built-in reader, over the tool's own parse.
std::unique_ptr<Reader> builtinReader();

}  // namespace readers
