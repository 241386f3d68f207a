// The reader protocol's lines from a reader under test: any bytes give a value or a rejection
// text, never a crash; an accepted reply holds only feature IDs from the reader's table and
// the two actions; an accepted line written back parses to the same value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "email/read_result.h"
#include "fuzz_checks.h"
#include "readers/protocol.h"
#include "text/text.h"

namespace {

bool sameReply(const readers::Reply& a, const readers::Reply& b) {
  if (a.name != b.name || a.threw != b.threw || a.error != b.error ||
      a.loss.size() != b.loss.size() || a.gotHtml != b.gotHtml || a.gotText != b.gotText ||
      a.gotAttachments != b.gotAttachments || a.gotTo != b.gotTo || a.gotCc != b.gotCc) {
    return false;
  }
  for (size_t i = 0; i < a.loss.size(); ++i) {
    if (a.loss[i].featureId != b.loss[i].featureId || a.loss[i].action != b.loss[i].action) {
      return false;
    }
  }
  return true;
}

bool knownFeatureId(std::string_view id) {
  for (int i = 0; i <= static_cast<int>(email::FeatureId::MimeMessageRfc822); ++i) {
    if (id == email::featureIdText(static_cast<email::FeatureId>(i))) return true;
  }
  return false;
}

// The line written for a value, without its "\n", after checking that it is one JSON text.
std::string_view writtenLine(const std::string& line) {
  fuzzcheck::require(!line.empty() && line.back() == '\n', "a written line ends in one LF");
  const std::string_view object(line.data(), line.size() - 1);
  fuzzcheck::require(object.find('\n') == std::string_view::npos, "a written line is one line");
  fuzzcheck::require(fuzzcheck::isJsonText(object), "a written line is JSON");
  return object;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzzcheck::asView(data, size);
  readers::LineParser parser;

  const readers::Parsed<readers::Reply> reply = parser.reply(input);
  fuzzcheck::require(reply.value.has_value() == reply.error.empty(),
                     "a reply is accepted or has a rejection text");
  fuzzcheck::require(text::isValidUtf8(reply.error), "rejection texts are UTF-8");
  if (reply.value) {
    const readers::Reply& value = *reply.value;
    fuzzcheck::require(text::isValidUtf8(value.name) && text::isValidUtf8(value.error),
                       "reply texts are UTF-8");
    fuzzcheck::require(value.threw || value.error.empty(), "only a threw reply has an error");
    fuzzcheck::require(!value.threw || value.loss.empty(), "a threw reply has no loss");
    for (const auto& pair : value.loss) {
      fuzzcheck::require(knownFeatureId(pair.featureId), "loss IDs come from the table");
      fuzzcheck::require(pair.action == "dropped" || pair.action == "degraded",
                         "loss actions are dropped or degraded");
    }
    std::string line;
    readers::appendReplyLine(line, value);
    const readers::Parsed<readers::Reply> again = parser.reply(writtenLine(line));
    fuzzcheck::require(again.value && sameReply(*again.value, value),
                       "a written reply parses to the same reply");
  }

  const readers::Parsed<readers::Request> request = parser.request(input);
  fuzzcheck::require(request.value.has_value() == request.error.empty(),
                     "a request is accepted or has a rejection text");
  if (request.value) {
    std::string line;
    readers::appendRequestLine(line, request.value->name, request.value->bytes);
    const readers::Parsed<readers::Request> again = parser.request(writtenLine(line));
    fuzzcheck::require(again.value && again.value->name == request.value->name &&
                           again.value->bytes == request.value->bytes,
                       "a written request parses to the same request");
  }

  const readers::Parsed<readers::Hello> hello = parser.hello(input);
  fuzzcheck::require(hello.value.has_value() == hello.error.empty(),
                     "a hello is accepted or has a rejection text");
  if (hello.value) {
    std::string line;
    readers::appendHelloLine(line, hello.value->reader, hello.value->version);
    const readers::Parsed<readers::Hello> again = parser.hello(writtenLine(line));
    fuzzcheck::require(again.value && again.value->reader == hello.value->reader &&
                           again.value->version == hello.value->version,
                       "a written hello parses to the same hello");
  }
  return 0;
}
