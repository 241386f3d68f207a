// Record lines read back to resume a run, from a file of any content: the same outcome in
// pieces of any size; a line ends at its first LF; a line read as a record is one JSON object
// with its name a JSON string within the bound; no LF follows the last whole line, and a last
// line without one is malformed only when it is not all NUL bytes; and the line the writer
// makes of a record built from the input is read back with its name, bytes and readError.
//
// Input: byte 0 picks the piece size (1..64); the rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "record/record.h"
#include "record/record_reader.h"

namespace {

using ventry::LineStatus;

struct Read {
  LineStatus status;
  ventry::WrittenRecord record;
  std::string problem;
  bool operator==(const Read& other) const {
    return status == other.status && record.line == other.record.line &&
           record.end == other.record.end && record.name == other.record.name &&
           record.nameWhole == other.record.nameWhole && record.bytes == other.record.bytes &&
           record.readError == other.record.readError && problem == other.problem;
  }
};

// A file in memory holding `bytes`, or -1.
int fileOf(std::string_view bytes) {
  const int fd = memfd_create("records", 0);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return fd;
}

std::vector<Read> readLines(int fd, size_t piece) {
  ventry::RecordLineReader reader(fd, piece);
  std::vector<Read> out;
  for (;;) {
    Read read{};
    read.status = reader.next(read.record, read.problem);
    out.push_back(std::move(read));
    if (out.back().status == LineStatus::End || out.back().status == LineStatus::Failed) break;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 64;
  const std::string_view file = fuzzcheck::asView(data + 1, size - 1);

  const int fd = fileOf(file);
  if (fd < 0) return 0;
  const std::vector<Read> reads = readLines(fd, 4096);
  fuzzcheck::require(readLines(fd, piece) == reads, "the same lines in pieces of any size");
  ::close(fd);
  size_t lineStart = 0;
  for (const Read& read : reads) {
    fuzzcheck::require(read.status != LineStatus::Failed, "a file in memory is read");
    if (read.status == LineStatus::End) {
      fuzzcheck::require(file.find('\n', lineStart) == std::string_view::npos,
                         "no line end after the last whole line");
      break;
    }
    const size_t end = read.record.end;
    if (read.status == LineStatus::Malformed && end == file.size() &&
        file.find('\n', lineStart) == std::string_view::npos) {
      fuzzcheck::require(end > lineStart && file.substr(lineStart).find_first_not_of('\0') !=
                                                std::string_view::npos,
                         "a last line without its end is malformed only when not all zeros");
      continue;
    }
    fuzzcheck::require(
        end > lineStart && end <= file.size() && file[end - 1] == '\n' &&
            file.substr(lineStart, end - 1 - lineStart).find('\n') == std::string_view::npos,
        "a line ends at its first line end");
    fuzzcheck::require(read.record.name.size() <= ventry::kMaxWrittenName, "the name is bounded");
    if (read.status == LineStatus::Record) {
      fuzzcheck::require(fuzzcheck::isJsonText(file.substr(lineStart, end - 1 - lineStart)),
                         "a record line is JSON");
      fuzzcheck::require(fuzzcheck::isJsonText("\"" + read.record.name + "\""),
                         "a record's name is a JSON string");
    } else {
      fuzzcheck::require(!read.problem.empty(), "a malformed line says why");
    }
    lineStart = end;
  }

  // The writer's line for a record made of the input's bytes.
  ventry::MessageRecord record;
  const std::string_view head = file.substr(0, file.size() / 2);
  const std::string_view tail = file.substr(file.size() / 2);
  record.name = head;
  record.bytes = size * 7919;
  if (data[0] & 1) record.readError = tail;
  record.threw = (data[0] & 2) != 0;
  record.failed = (data[0] & 4) != 0;
  record.error = tail;
  record.probeDone = (data[0] & 8) == 0;
  if (data[0] & 16) record.loss = {{std::string(tail), std::string(head)}};
  record.probe.topCt = tail;
  record.probe.cte = {std::string(head), std::string(tail)};
  std::string buffer;
  const std::string_view line = ventry::formatRecordLine(buffer, record);
  const int written = fileOf(line);
  if (written < 0) return 0;
  const std::vector<Read> back = readLines(written, piece);
  ::close(written);
  const bool readBack = back.size() == 2 && back[0].status == LineStatus::Record;
  fuzzcheck::require(readBack || ventry::writtenName(record.name).size() > ventry::kMaxWrittenName,
                     "the writer's line is read as a record");
  if (readBack) {
    fuzzcheck::require(back[0].record.name == ventry::writtenName(record.name) &&
                           back[0].record.bytes == record.bytes &&
                           back[0].record.readError == !record.readError.empty(),
                       "the writer's name, bytes and readError are read back");
  }
  return 0;
}
