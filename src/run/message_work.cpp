#include "run/message_work.h"

#include <chrono>
#include <new>
#include <utility>

#include "email/reader.h"
#include "probe/probe.h"
#include "record/record.h"
#include "run/memory_limit.h"
#include "text/text.h"

namespace run {
namespace {

enum class Stage { Parse, Probe, Read, Done };

std::string failureText(Stage stage, bool overLimit, uint64_t memoryLimit) {
  std::string text = "Resource: ";
  if (overLimit) {
    text += "memory limit of ";
    text += std::to_string(memoryLimit / (1024 * 1024));
    text += " MiB exceeded";
  } else {
    text += "out of memory";
  }
  switch (stage) {
    case Stage::Parse:
      text += " while parsing";
      break;
    case Stage::Probe:
      text += " in the probe";
      break;
    default:
      text += " in the reader";
  }
  return text;
}

}  // namespace

MessageWork makeRecordLine(std::string& buffer, std::string_view name, std::string_view bytes,
                           std::string_view readError, uint64_t memoryLimit,
                           readers::Reader& reader, bool handedOver) {
  ventry::MessageRecord record;
  record.name = name;
  record.bytes = bytes.size();
  record.readError = readError;
  MessageWork work;
  work.unreadable = !readError.empty();

  Stage stage = Stage::Parse;
  bool overLimit = false;
  const auto start = std::chrono::steady_clock::now();
  // A reader in another process starts on the message while this one parses and probes it.
  if (!handedOver) reader.send(name, bytes);
  {
    MemoryLimit limit(memoryLimit);
    try {
      // One parse serves both looks; the probe's header scan reads the raw bytes itself.
      const email::mime::ParsedMessage message = email::mime::parseMessage(bytes);
      stage = Stage::Probe;
      record.probe = ventry::probeParsed(bytes, message);
      stage = Stage::Read;
      reader.readParsed(message, record);
      stage = Stage::Done;
    } catch (const std::bad_alloc&) {
      overLimit = limit.exceeded();
    }
  }
  // Always taken, so that a reader in another process stays in step.
  const readers::ReaderEnd end = reader.receive(record);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  record.ms =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());

  if (end.verdict == readers::Verdict::Stopped || end.verdict == readers::Verdict::Lost) {
    work.stopped = end.verdict == readers::Verdict::Stopped;
    work.lost = end.text;
    return work;
  }
  if (stage != Stage::Done) {
    work.failure = failureText(stage, overLimit, memoryLimit);
  } else if (end.verdict == readers::Verdict::Failed) {
    work.failure = text::prefixCodePoints(end.text, ventry::kMaxErrorCodePoints);
  }
  if (!work.failure.empty()) {
    work.failed = true;
    record.failed = true;
    record.threw = false;
    record.error = work.failure;
    record.loss.clear();
    record.gotHtml = record.gotText = false;
    record.gotAttachments = record.gotTo = record.gotCc = 0;
    record.probeDone = stage > Stage::Probe;
  }
  work.line = ventry::formatRecordLine(buffer, record);
  return work;
}

}  // namespace run
