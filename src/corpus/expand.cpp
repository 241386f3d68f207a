#include "corpus/expand.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "corpus/detect.h"
#include "corpus/expand_walk.h"
#include "corpus/list_file.h"
#include "corpus/locator.h"
#include "corpus/mbox.h"
#include "corpus/message_file.h"

namespace corpus {

void emitMessage(Walk& walk, Message&& message) {
  if (walk.stopped) return;
  if (walk.sink == nullptr) {
    if (message.name == walk.target) {
      walk.found = std::move(message);
      walk.stopped = true;
    } else if (!message.readError.empty()) {
      walk.lastFault = message.name + ": " + message.readError;
    }
    return;
  }
  if (WrittenRecords* written = walk.options.written) {
    const WrittenRecords::Verdict verdict = written->take(message.name);
    if (verdict == WrittenRecords::Verdict::Refused) walk.stopped = true;
    if (verdict != WrittenRecords::Verdict::New) return;
  }
  if (!(*walk.sink)(std::move(message))) walk.stopped = true;
}

std::string_view messageBytes(const Message& message, std::string& scratch) {
  if (message.storage == nullptr) return message.bytes;
  if (!message.quoting) return message.stored;
  return unquotedView(message.stored, *message.quoting, scratch);
}

void reportConsumed(Walk& walk, uint64_t position) {
  const ExpandProgress* progress = walk.options.progress;
  position = std::min(position, walk.size);
  if (progress == nullptr || position <= walk.consumed) return;
  if (progress->read) progress->read(position - walk.consumed);
  walk.consumed = position;
}

void emitFault(Walk& walk, const std::string& name, std::string readError) {
  Message message;
  message.name = name;
  message.readError = std::move(readError);
  emitMessage(walk, std::move(message));
}

bool readSome(Stream& stream, std::string& out, size_t want, bool& atEnd) {
  const size_t used = out.size();
  out.resize(used + want);
  const ptrdiff_t n = stream.read(out.data() + used, want);
  out.resize(used + static_cast<size_t>(n > 0 ? n : 0));
  if (n < 0) return false;
  if (n == 0) atEnd = true;
  return true;
}

uint64_t messageLimit(const ExpandOptions& options, const StreamPlace& place) {
  return place.archived ? std::min(options.maxMessageBytes, options.maxArchivedMessageBytes)
                        : options.maxMessageBytes;
}

namespace {

constexpr size_t kChunk = size_t{256} << 10;
constexpr size_t kFirstFileRead = size_t{1} << 20;

// The readError of a message over `limit`: the tool's own words for its memory limit, or
// the limit for messages out of archives.
std::string tooLarge(const ExpandOptions& options, uint64_t limit) {
  if (limit == options.maxMessageBytes) return describeReadError(kTooLarge);
  return "Message out of an archive larger than " + std::to_string(limit) + " bytes (not held)";
}

// The listed file (or a file in a listed directory), reporting how far it has been read.
class FileStream : public Stream {
 public:
  FileStream(Walk& walk, int fd) : walk_(walk), fd_(fd) {}
  ptrdiff_t read(char* out, size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_, out, size);
      if (n >= 0) {
        position_ += static_cast<uint64_t>(n);
        reportConsumed(walk_, position_);
        return n;
      }
      if (errno == EINTR) continue;
      error = describeReadError(errno);
      return -1;
    }
  }

 private:
  Walk& walk_;
  int fd_;
  uint64_t position_ = 0;
};

// A resumed run: whether the message `name`, which gives one record whatever its bytes hold,
// was written before (it is then taken and not read). A refusal stops the walk.
bool takenUnread(Walk& walk, const std::string& name) {
  WrittenRecords* written = walk.sink != nullptr ? walk.options.written : nullptr;
  if (written == nullptr || walk.stopped || !written->taking()) return false;
  const WrittenRecords::Verdict verdict = written->take(name);
  if (verdict == WrittenRecords::Verdict::Refused) walk.stopped = true;
  return verdict != WrittenRecords::Verdict::New;
}

// Whether `edge`, the bytes of a stream from `lead` bytes before a message's offset on, shows
// a separator line there that the framing of `format` would have found: "From " after an
// empty line (mboxcl2, whose Content-Length may end a message anywhere: after a line break).
bool separatorAt(std::string_view edge, size_t lead, MboxFormat format) {
  if (edge.substr(lead, 5) != "From ") return false;
  const std::string_view before = edge.substr(0, lead);
  if (format == MboxFormat::Mboxcl2 && before.ends_with('\n')) return true;
  return before.ends_with("\n\n") || before.ends_with("\n\r\n");
}

// The rest of a message whose first bytes are `bytes`.
void readWholeMessage(Walk& walk, const std::string& name, Stream& stream, std::string bytes,
                      bool atEnd, const StreamPlace& place) {
  const uint64_t limit = messageLimit(walk.options, place);
  while (!atEnd && bytes.size() <= limit) {
    // Up to the expected size and one byte more, so that the end shows without growing the
    // buffer again.
    size_t want = bytes.size() <= place.sizeHint ? place.sizeHint - bytes.size() + 1 : kChunk;
    if (limit - bytes.size() < want) want = limit - bytes.size() + 1;
    if (!readSome(stream, bytes, want, atEnd)) {
      emitFault(walk, name, stream.error);
      return;
    }
  }
  if (bytes.size() > limit) {
    emitFault(walk, name, tooLarge(walk.options, limit));
    return;
  }
  Message message;
  message.name = name;
  message.bytes = std::move(bytes);
  emitMessage(walk, std::move(message));
}

void readMbox(Walk& walk, const std::string& name, Stream& stream, std::string head, bool atEnd,
              const StreamPlace& place) {
  const MboxFormat format = walk.options.mboxFormat;
  const uint64_t limit = messageLimit(walk.options, place);
  // A resumed run: the messages written before are passed over, up to the last of them, where
  // the framing starts again (in a file by seeking there; in a stream by dropping the bytes
  // before it, read as before so that they count against the expansion limit alike).
  std::optional<WrittenRecords::MboxMark> mark;
  if (walk.sink != nullptr && walk.options.written != nullptr) {
    mark = walk.options.written->takeMboxMessages(name);
  }
  std::string messageName;
  const MboxCallback onMessage = [&](const MboxMessage& found) {
    if (mark && found.number == mark->number) {
      if (!found.whole && found.offset == mark->offset) return true;  // written before
      walk.options.written->refuseTaken(
          found.whole ? std::string("the file holds one message, not an mbox")
                      : "no message of the mbox starts at byte " + std::to_string(mark->offset));
      walk.stopped = true;
      return false;
    }
    messageName = name;
    if (!found.whole) appendMboxLocator(messageName, found.number, found.offset);
    if (walk.sink == nullptr && messageName != walk.target) return true;
    if (found.oversize) {
      emitFault(walk, messageName, tooLarge(walk.options, limit));
    } else {
      Message message;
      message.name = messageName;
      if (walk.options.keepStored && walk.sink != nullptr) {
        message.storage = found.storage;
        message.stored = found.raw;
        if (!found.whole) message.quoting = format;
      } else if (found.whole) {
        message.bytes.assign(found.raw);
      } else {
        appendUnquoted(found.raw, format, message.bytes);
      }
      emitMessage(walk, std::move(message));
    }
    return !walk.stopped;
  };
  MboxFramer framer(format, limit);
  const bool jump = mark && mark->number > 1;
  const uint64_t lead = jump ? std::min<uint64_t>(mark->offset, 3) : 0;
  uint64_t at = 0;   // stream offset of the next byte to arrive
  std::string edge;  // from `lead` bytes before the mark on, until its separator is checked
  bool framing = !jump;
  if (jump) {
    framer.startAt(mark->number, mark->offset);
    if (place.fd >= 0) {
      at = mark->offset - lead;
      if (::lseek(place.fd, static_cast<off_t>(at), SEEK_SET) < 0) {
        emitFault(walk, name, describeReadError(errno));
        return;
      }
      head.clear();
      atEnd = false;
    }
  }
  const auto feed = [&](std::string_view bytes, bool last) {
    if (framing) return framer.feed(bytes, onMessage);
    const uint64_t from = mark->offset - lead;
    if (at + bytes.size() > from) edge.append(bytes.substr(at < from ? from - at : 0));
    at += bytes.size();
    if (edge.size() < lead + 5 && !last) return true;
    framing = true;
    if (!separatorAt(edge, lead, format)) {
      walk.options.written->refuseTaken("no message of the mbox starts at byte " +
                                        std::to_string(mark->offset));
      walk.stopped = true;
      return false;
    }
    const bool going = framer.feed(std::string_view(edge).substr(lead), onMessage);
    edge = std::string();
    return going;
  };
  if (!feed(head, atEnd)) return;
  head.clear();
  head.shrink_to_fit();
  std::unique_ptr<char[]> chunk;  // while the bytes before a resumed run's mark go by
  while (!atEnd) {
    if (framing) {
      // Read straight into the framer's block.
      const std::span<char> room = framer.space(kChunk);
      const ptrdiff_t n = stream.read(room.data(), room.size());
      if (n < 0) {
        emitFault(walk, name, stream.error);
        return;
      }
      atEnd = n == 0;
      if (!framer.commit(static_cast<size_t>(n), onMessage) || walk.ended) return;
      continue;
    }
    if (!chunk) chunk.reset(new char[kChunk]);
    const ptrdiff_t n = stream.read(chunk.get(), kChunk);
    if (n < 0) {
      emitFault(walk, name, stream.error);
      return;
    }
    atEnd = n == 0;
    if (!feed({chunk.get(), static_cast<size_t>(n)}, atEnd) || walk.ended) return;
  }
  framer.finish(onMessage);
}

// Whether `path` (a directory) holds the directories "cur" and "new".
bool isMaildir(const std::string& path) {
  struct stat info {};
  return ::stat((path + "/cur").c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::stat((path + "/new").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The directory part of `path` (without the last "/"), or "." when there is none.
std::string parentOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view baseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Whether `dir` is the "cur" or "new" folder of a maildir, whose files are one message each.
bool isMaildirFolder(const std::string& dir) {
  const std::string_view base = baseName(dir);
  return (base == "cur" || base == "new") && isMaildir(parentOf(dir));
}

void expandFile(Walk& walk, const std::string& name, const std::string& path, bool messageOnly) {
  if (messageOnly && takenUnread(walk, name)) return;
  int error = kReadOk;
  uint64_t size = 0;
  const int fd = openMessageFile(path, error, size);
  if (fd < 0) {
    emitFault(walk, name, describeReadError(error));
    return;
  }
  walk.expanded = 0;
  walk.ended = false;
  walk.size = size;
  walk.consumed = 0;
  const ExpandOptions& options = walk.options;
  if (walk.inDirectory && options.progress != nullptr && options.progress->found) {
    options.progress->found(size);
  }
  walk.budget = options.expansionRatio != 0 && size > UINT64_MAX / options.expansionRatio
                    ? UINT64_MAX
                    : std::max(options.expansionFloor, size * options.expansionRatio);

  FileStream stream(walk, fd);
  std::string head;
  bool atEnd = false;
  size_t first = size < kFirstFileRead ? static_cast<size_t>(size) + 1 : kFirstFileRead;
  // A resumed run reads only what detection needs until it knows the file is new.
  if (walk.sink != nullptr && options.written != nullptr && options.written->taking()) {
    first = std::min(first, kDetectBytes);
  }
  bool ok = readSome(stream, head, first, atEnd);
  // Only what detection needs: the head may become a small message's bytes, capacity and all.
  while (ok && !atEnd && head.size() < kDetectBytes) {
    ok = readSome(stream, head, kDetectBytes - head.size(), atEnd);
  }
  if (!ok) {
    emitFault(walk, name, stream.error);
  } else {
    StreamPlace place;
    place.fd = fd;
    place.sizeHint = size;
    place.messageOnly = messageOnly;
    expandStream(walk, name, stream, std::move(head), atEnd, place);
  }
  ::close(fd);
  reportConsumed(walk, size);
}

// A directory tree, depth first, every directory's entries in byte order of their names (a
// directory's name taken with a "/" after it, so that the order is that of the whole
// paths). Dot-files and a maildir's "tmp" are left out; a maildir's dot-directories that
// are maildirs themselves (Maildir++ folders) are walked. Symbolic links are followed to
// regular files only, so that no walk can loop.
void walkDirectory(Walk& walk, std::string_view entry, const std::string& path) {
  struct Item {
    std::string key;  // name, with "/" after it for a directory
    std::string rel;  // path below the listed directory
    bool dir = false;
    bool maildirFolder = false;  // a dir: the cur or new of a maildir
    bool messageOnly = false;    // a file in such a folder
    std::string fault;           // not to be read: the readError
  };
  const auto join = [](std::string_view base, std::string_view rel) {
    std::string out(base);
    if (!rel.empty()) {
      if (!out.empty() && out.back() != '/') out += '/';
      out += rel;
    }
    return out;
  };
  const auto nameOf = [&](std::string_view rel) {
    std::string out(entry);
    if (!rel.empty()) {
      if (!out.empty() && out.back() != '/') out += '/';
      appendWalkedPath(out, rel);
    }
    return out;
  };

  walk.inDirectory = true;
  std::vector<Item> stack;
  Item root;
  root.dir = true;
  root.maildirFolder = isMaildirFolder(path);
  stack.push_back(std::move(root));
  std::vector<Item> children;
  while (!stack.empty() && !walk.stopped) {
    Item item = std::move(stack.back());
    stack.pop_back();
    const std::string full = join(path, item.rel);
    if (!item.fault.empty()) {
      emitFault(walk, nameOf(item.rel), item.fault);
      continue;
    }
    if (!item.dir) {
      expandFile(walk, nameOf(item.rel), full, item.messageOnly);
      continue;
    }
    DIR* dir = ::opendir(full.c_str());
    if (dir == nullptr) {
      emitFault(walk, nameOf(item.rel), describeReadError(errno));
      continue;
    }
    children.clear();
    bool hasCur = false;
    bool hasNew = false;
    while (const dirent* found = ::readdir(dir)) {
      const std::string_view childName = found->d_name;
      if (childName == "." || childName == "..") continue;
      Item child;
      child.rel = join(item.rel, childName);
      const std::string childPath = join(full, childName);
      unsigned char type = found->d_type;
      struct stat info {};
      if (type == DT_UNKNOWN) {
        if (::lstat(childPath.c_str(), &info) != 0) {
          child.fault = describeReadError(errno);
        } else if (S_ISDIR(info.st_mode)) {
          type = DT_DIR;
        } else if (S_ISREG(info.st_mode)) {
          type = DT_REG;
        } else if (S_ISLNK(info.st_mode)) {
          type = DT_LNK;
        }
      }
      if (!child.fault.empty()) {
      } else if (type == DT_DIR) {
        child.dir = true;
      } else if (type == DT_LNK) {
        if (::stat(childPath.c_str(), &info) != 0) {
          child.fault = describeReadError(errno);
        } else if (S_ISDIR(info.st_mode)) {
          child.fault = "Symbolic link to a directory (not followed)";
        } else if (!S_ISREG(info.st_mode)) {
          child.fault = describeReadError(kNotRegularFile);
        }
      } else if (type != DT_REG) {
        child.fault = describeReadError(kNotRegularFile);
      }
      if (child.dir && childName == "cur") hasCur = true;
      if (child.dir && childName == "new") hasNew = true;
      child.key = childName;
      if (child.dir) child.key += '/';
      child.messageOnly = !child.dir && item.maildirFolder;
      children.push_back(std::move(child));
    }
    ::closedir(dir);
    const bool maildir = hasCur && hasNew;
    std::erase_if(children, [&](const Item& child) {
      const std::string_view key = child.key;
      if (key.front() == '.') return !(maildir && child.dir && isMaildir(join(path, child.rel)));
      return maildir && key == "tmp/";
    });
    for (Item& child : children) {
      child.maildirFolder = maildir && (child.key == "cur/" || child.key == "new/");
    }
    std::sort(children.begin(), children.end(),
              [](const Item& a, const Item& b) { return a.key < b.key; });
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(std::move(*it));
  }
}

}  // namespace

void expandStream(Walk& walk, const std::string& name, Stream& stream, std::string head, bool atEnd,
                  const StreamPlace& place) {
  if (walk.stopped || walk.ended) return;
  const ContentKind kind = place.messageOnly ? ContentKind::Message : detectContent(head);
  switch (kind) {
    case ContentKind::Message:
      // Taken unread only from a listed or walked file: a member is read as before, so that
      // it counts against the expansion limit alike.
      if (place.fd < 0 || !takenUnread(walk, name)) {
        readWholeMessage(walk, name, stream, std::move(head), atEnd, place);
      }
      break;
    case ContentKind::Mbox:
      readMbox(walk, name, stream, std::move(head), atEnd, place);
      break;
    case ContentKind::Archive:
      if (place.depth + 1 > walk.options.maxDepth) {
        emitFault(walk, name,
                  "Archive nested deeper than " + std::to_string(walk.options.maxDepth) +
                      " levels (not opened)");
        break;
      }
      expandArchive(walk, name, stream, std::move(head), atEnd, place);
      break;
  }
}

void expandEntry(std::string_view entry, std::string_view path, const ExpandOptions& options,
                 const MessageSink& sink) {
  if (options.written != nullptr && options.written->refused()) return;
  Walk walk(options);
  walk.sink = &sink;
  const std::string name(entry);
  const std::string filePath(path);
  struct stat info {};
  if (filePath.find('\0') == std::string::npos && ::stat(filePath.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    walkDirectory(walk, entry, filePath);
    return;
  }
  expandFile(walk, name, filePath, false);
}

Extracted extractMessage(std::string_view name, std::string_view root,
                         const ExpandOptions& options) {
  Extracted result;
  // The file part of the name is its longest prefix that names a file and is followed by
  // nothing or by locators.
  for (size_t cut = name.size();; --cut) {
    if (cut == name.size() || name[cut] == '!' || name[cut] == '#') {
      const std::string_view prefix = name.substr(0, cut);
      const std::string_view rest = name.substr(cut);
      if (!prefix.empty() && parseLocators(rest)) {
        std::string path = joinPath(root, prefix);
        struct stat info {};
        bool exists = path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
        if (!exists && prefix.find('%') != std::string_view::npos) {
          path = joinPath(root, unescapeWalkedPath(prefix));
          exists = path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
        }
        if (exists && S_ISDIR(info.st_mode) && rest.empty()) {
          result.error = "Names a directory, not a message";
          return result;
        }
        if (exists && !S_ISDIR(info.st_mode)) {
          Walk walk(options);
          walk.target = name;
          expandFile(walk, std::string(prefix), path, isMaildirFolder(parentOf(path)));
          if (!walk.found) {
            result.error = "No message of this name in " + std::string(prefix);
            if (!walk.lastFault.empty()) result.error += " (" + walk.lastFault + ")";
          } else if (!walk.found->readError.empty()) {
            result.error = walk.found->readError;
          } else {
            result.ok = true;
            result.bytes = std::move(walk.found->bytes);
          }
          return result;
        }
      }
    }
    if (cut == 0) break;
  }
  result.error = "No file for this name";
  return result;
}

}  // namespace corpus
