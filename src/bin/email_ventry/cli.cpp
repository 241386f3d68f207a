#include "email_ventry/cli.h"

#include <unistd.h>

#include <chrono>
#include <utility>

#include "corpus/list_file.h"
#include "corpus/message_file.h"
#include "email_ventry/probe.h"
#include "email_ventry/selftest.h"
#include "text/text.h"

namespace ventry {
namespace {

// Writes a diagnostic line to standard error; there is nothing to do if that fails.
void complain(std::string_view message) {
  std::string line(message);
  line += '\n';
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int runCorpus(const Options& options) {
  const corpus::ListFile list = corpus::readListFile(options.list);
  if (!list.ok) {
    complain("read --list file: " + list.error);
    return kExitAbnormal;
  }
  std::string bytes;
  std::string line;
  for (std::string_view entry : corpus::splitListEntries(list.text)) {
    corpus::readMessageFile(corpus::joinPath(options.root, entry), bytes);

    MessageRecord record;
    record.name = entry;
    record.bytes = bytes.size();
    const auto start = std::chrono::steady_clock::now();
    // One parse serves both looks; the probe's header scan reads the raw bytes itself.
    const email::mime::ParsedMessage message = email::mime::parseMessage(bytes);
    record.probe = probeParsed(bytes, message);
    fillFromOutcome(record, email::readParsed(message));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    record.ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());

    if (auto failure = writeRecord(STDOUT_FILENO, record, line)) {
      complain(*failure);
      return kExitAbnormal;
    }
  }
  return kExitOk;
}

}  // namespace

Options scanArguments(const std::vector<std::string_view>& args) {
  Options options;
  bool rootSeen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--selftest") {
      options.selftest = true;
    } else if (arg == "--list" && !options.hasList) {
      // The first "--list" decides, even when it is the last argument (then it is missing).
      if (i + 1 < args.size()) options.list = args[i + 1];
      options.hasList = i + 1 < args.size();
      if (!options.hasList) break;
    } else if (arg == "--root" && !rootSeen) {
      rootSeen = true;
      if (i + 1 < args.size()) options.root = args[i + 1];
    }
  }
  return options;
}

void fillFromOutcome(MessageRecord& record, email::ReadOutcome&& outcome) {
  if (!outcome.ok) {
    record.threw = true;
    std::string failure = std::move(outcome.failure);
    if (!text::isValidUtf8(failure)) failure = text::utf8Lossy(failure);
    record.error = text::prefixCodePoints(failure, kMaxErrorCodePoints);
    return;
  }
  email::ReadSummary& summary = outcome.summary;
  record.threw = false;
  record.loss = std::move(summary.loss);
  record.gotHtml = !summary.html.empty();
  record.gotText = !summary.text.empty();
  record.gotAttachments = summary.attachments;
  record.gotTo = summary.to;
  record.gotCc = summary.cc;
}

int runTool(const std::vector<std::string_view>& args) {
  const Options options = scanArguments(args);
  if (options.selftest) {
    const SelftestResult result = runSelftest();
    if (result.ok) return kExitOk;
    complain(result.failure);
    return kExitSelftestFailed;
  }
  if (!options.hasList) {
    complain("--list <file of message paths> required");
    return kExitAbnormal;
  }
  return runCorpus(options);
}

}  // namespace ventry
