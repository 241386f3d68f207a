#include "run/resume.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corpus/list_file.h"
#include "corpus/locator.h"

namespace run {
namespace {

// Names in diagnostics are cut to this many bytes (a name may be long).
constexpr size_t kShownName = 200;

std::string shown(const ventry::WrittenRecord& record) {
  if (record.name.empty() && !record.nameWhole) return "no name";
  std::string_view name = record.name;
  const bool cut = name.size() > kShownName || !record.nameWhole;
  if (name.size() > kShownName) {
    name = name.substr(0, kShownName);
    // Not in the middle of a UTF-8 sequence.
    while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) {
      name.remove_suffix(1);
    }
    if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.remove_suffix(1);
  }
  std::string out = "\"";
  out.append(name);
  out += cut ? "...\"" : "\"";
  return out;
}

}  // namespace

OutputFile openOutput(const std::string& path, bool resume) {
  OutputFile output;
  const auto fail = [&](std::string_view what, int error) {
    output.error = "open --output file \"" + path + "\": " + std::string(what) +
                   (error != 0 ? std::strerror(error) : "");
  };
  // Never truncated before it is locked, so that a second run cannot empty the file of one
  // that is still writing it.
  const int flags = O_CLOEXEC | O_CREAT | (resume ? O_RDWR | O_APPEND : O_WRONLY);
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    fail("", errno);
    return output;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    fail("", errno);
  } else if (resume && !S_ISREG(info.st_mode)) {
    fail("a run resumes only into a regular file", 0);
  } else if (S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    // Other failures mean a file system without locks: the run goes on without.
    fail("another run is writing it", 0);
  } else if (!resume && S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
    fail("", errno);
  } else {
    output.fd = fd;
    return output;
  }
  ::close(fd);
  return output;
}

Resume::Resume(int fd, std::string path) : fd_(fd), path_(std::move(path)), reader_(fd) {}

void Resume::reportTo(Console& console) {
  console_ = &console;
  if (state_ == State::Writing && taken_ > 0) {
    console.line("resumed after " + std::to_string(taken_) + " records");
  }
}

const ventry::WrittenRecord* Resume::peek() {
  if (state_ == State::Refused) return nullptr;
  if (!nextRead_) {
    std::string problem;
    const ventry::LineStatus status = reader_.next(next_, problem);
    nextRead_ = true;
    nextWhole_ = status == ventry::LineStatus::Record;
    if (status == ventry::LineStatus::Malformed) {
      refuse(next_, "not a record line: " + problem);
    } else if (status == ventry::LineStatus::Failed) {
      failure_ = "cannot resume \"" + path_ + "\": read: " + problem;
      state_ = State::Refused;
    }
  }
  return nextWhole_ && state_ != State::Refused ? &next_ : nullptr;
}

void Resume::refuse(const ventry::WrittenRecord& record, std::string_view why) {
  failure_ = "cannot resume \"" + path_ + "\": line " + std::to_string(record.line) + " (" +
             shown(record) + "): " + std::string(why) + "; the file is left as it was";
  state_ = State::Refused;
}

void Resume::refuseTaken(std::string_view why) {
  if (state_ != State::Refused) refuse(last_, why);
}

void Resume::startWriting() {
  // Only whole records stay: a cut line after them goes before the first new record.
  if (reader_.cutBytes() != 0 && ::ftruncate(fd_, static_cast<off_t>(reader_.wholeEnd())) != 0) {
    failure_ = "cannot resume \"" + path_ + "\": drop the cut last line: " + std::strerror(errno);
    state_ = State::Refused;
    return;
  }
  state_ = State::Writing;
  if (console_ != nullptr && taken_ > 0) {
    console_->line("resumed after " + std::to_string(taken_) + " records");
  }
}

corpus::WrittenRecords::Verdict Resume::take(std::string_view name) {
  if (state_ == State::Writing) return Verdict::New;
  const ventry::WrittenRecord* record = peek();
  if (state_ == State::Refused) return Verdict::Refused;
  if (record == nullptr) {
    startWriting();
    return state_ == State::Writing ? Verdict::New : Verdict::Refused;
  }
  const std::string expected = ventry::writtenName(name);
  if (record->name != expected) {
    std::string why = "this run's message " + std::to_string(taken_ + 1) + " is \"";
    why += expected.size() > kShownName ? expected.substr(0, kShownName) + "..." : expected;
    refuse(*record, why + "\"");
    return Verdict::Refused;
  }
  last_ = std::move(next_);
  nextRead_ = false;
  ++taken_;
  return Verdict::Written;
}

std::optional<corpus::WrittenRecords::MboxMark> Resume::takeMboxMessages(std::string_view mbox) {
  if (state_ != State::Taking) return std::nullopt;
  const std::string prefix = ventry::writtenName(mbox);
  MboxMark mark;
  while (const ventry::WrittenRecord* record = peek()) {
    const std::string_view name = record->name;
    if (!name.starts_with(prefix) || name.size() == prefix.size() || name[prefix.size()] != '#') {
      break;
    }
    const auto locators = corpus::parseLocators(name.substr(prefix.size()));
    if (!locators || locators->size() != 1 ||
        locators->front().kind != corpus::Locator::Kind::MboxMessage) {
      break;
    }
    const corpus::Locator& at = locators->front();
    // The first message begins at 0, or after the lines of white space an mbox may begin
    // with (the framing checks where).
    if (at.number != mark.number + 1 || (mark.number != 0 && at.offset <= mark.offset)) {
      break;
    }
    mark = {at.number, at.offset};
    last_ = std::move(next_);
    nextRead_ = false;
    ++taken_;
  }
  if (mark.number == 0) return std::nullopt;
  return mark;
}

size_t Resume::takeEntries(std::span<const std::string_view> entries, std::string_view root) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const Verdict verdict = take(entries[i]);
    if (verdict == Verdict::Refused) return 0;
    if (verdict == Verdict::New) return i;
    if (last_.readError) continue;
    // A record of a file that was read holds its size: a stat tells whether it still fits.
    const std::string path = corpus::joinPath(root, entries[i]);
    struct stat info {};
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) {
      refuse(last_, std::string("was read, but the file cannot be read now: ") +
                        std::strerror(path.find('\0') != std::string::npos ? EINVAL : errno));
      return 0;
    }
    if (!S_ISREG(info.st_mode)) {
      refuse(last_, "was read, but is not a regular file now");
      return 0;
    }
    if (static_cast<uint64_t>(info.st_size) != last_.bytes) {
      refuse(last_, "has \"bytes\":" + std::to_string(last_.bytes) + ", but the file has " +
                        std::to_string(info.st_size) + " bytes now");
      return 0;
    }
  }
  return entries.size();
}

void Resume::finish() {
  if (state_ != State::Taking) return;
  if (const ventry::WrittenRecord* record = peek()) {
    refuse(*record, "beyond the " + std::to_string(taken_) + " messages of this run");
    return;
  }
  if (state_ == State::Taking) startWriting();
}

}  // namespace run
