// Archives and compressed streams through libarchive, streamed member by member.
#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <unordered_map>

#include "corpus/detect.h"
#include "corpus/expand_walk.h"
#include "corpus/locator.h"

namespace corpus {
namespace {

constexpr size_t kBlock = size_t{64} << 10;
constexpr size_t kMemberHead = size_t{64} << 10;

// Reports how far an archive that reads the listed file itself has read it (the compressed
// bytes).
void reportFileRead(Walk& walk, archive* reader) {
  const la_int64_t position = archive_filter_bytes(reader, -1);
  if (position > 0) reportConsumed(walk, static_cast<uint64_t>(position));
}

// The data of the current member, counted against the listed file's expansion budget.
class MemberStream : public Stream {
 public:
  // `onFile`: the archive reads the listed file itself, and the member's reads report how
  // far.
  MemberStream(Walk& walk, archive* reader, bool onFile)
      : walk_(walk), reader_(reader), onFile_(onFile) {}
  ptrdiff_t read(char* out, size_t size) override {
    const la_ssize_t n = archive_read_data(reader_, out, size);
    if (onFile_) reportFileRead(walk_, reader_);
    if (n < 0) {
      const char* text = archive_error_string(reader_);
      error = text != nullptr && *text != '\0' ? text : "Read error";
      failed = true;
      fatal = n == ARCHIVE_FATAL;
      return -1;
    }
    walk_.expanded += static_cast<uint64_t>(n);
    if (walk_.expanded > walk_.budget) {
      error = "Expansion limit: more than " + std::to_string(walk_.budget) +
              " bytes decompressed from one listed file";
      walk_.ended = true;
      failed = fatal = true;
      return -1;
    }
    return n;
  }
  bool failed = false;
  bool fatal = false;

 private:
  Walk& walk_;
  archive* reader_;
  bool onFile_;
};

// What a nested archive reads: the head already taken from the enclosing stream, then the
// rest of that stream.
struct NestedSource {
  Stream* stream = nullptr;
  std::string head;
  bool headGiven = false;
  bool atEnd = false;
  std::string block;
};

la_ssize_t readNested(archive* reader, void* data, const void** buffer) {
  auto* source = static_cast<NestedSource*>(data);
  if (!source->headGiven) {
    source->headGiven = true;
    if (!source->head.empty()) {
      *buffer = source->head.data();
      return static_cast<la_ssize_t>(source->head.size());
    }
  }
  if (source->atEnd) return 0;
  source->block.resize(kBlock);
  const ptrdiff_t n = source->stream->read(source->block.data(), source->block.size());
  if (n < 0) {
    archive_set_error(reader, EIO, "%s", source->stream->error.c_str());
    return ARCHIVE_FATAL;
  }
  if (n == 0) source->atEnd = true;
  *buffer = source->block.data();
  return n;
}

std::string describeArchiveError(archive* reader, const char* fallback) {
  const char* text = archive_error_string(reader);
  return text != nullptr && *text != '\0' ? text : fallback;
}

struct ReaderDeleter {
  void operator()(archive* reader) const { archive_read_free(reader); }
};

}  // namespace

void expandArchive(Walk& walk, const std::string& name, Stream& stream, std::string head,
                   bool atEnd, const StreamPlace& place) {
  std::unique_ptr<archive, ReaderDeleter> owner(archive_read_new());
  archive* reader = owner.get();
  if (reader == nullptr) {
    emitFault(walk, name, "Out of memory");
    return;
  }
  archive_read_support_filter_all(reader);
  // Every format but mtree, whose text form a message could pass for; raw last, for
  // compressed streams that hold no archive.
  archive_read_support_format_7zip(reader);
  archive_read_support_format_ar(reader);
  archive_read_support_format_cab(reader);
  archive_read_support_format_cpio(reader);
  archive_read_support_format_iso9660(reader);
  archive_read_support_format_lha(reader);
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_format_warc(reader);
  archive_read_support_format_xar(reader);
  archive_read_support_format_zip(reader);
  archive_read_support_format_raw(reader);

  NestedSource source;
  int opened = ARCHIVE_FATAL;
  bool onFile = false;
  if (place.fd >= 0 && ::lseek(place.fd, 0, SEEK_SET) == 0) {
    opened = archive_read_open_fd(reader, place.fd, kBlock);
    onFile = true;
  } else {
    source.stream = &stream;
    source.head = std::move(head);
    source.atEnd = atEnd;
    opened = archive_read_open(reader, &source, nullptr, readNested, nullptr);
  }
  if (opened != ARCHIVE_OK) {
    emitFault(walk, name, describeArchiveError(reader, "Unreadable archive"));
    return;
  }

  // How often each member path was seen, by hash: a later member of the same path gets "~N".
  std::unordered_map<size_t, uint64_t> seen;
  std::string memberName;
  std::string memberHead;
  std::string scratch(kBlock, '\0');
  for (;;) {
    if (walk.stopped || walk.ended) return;
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader, &entry);
    if (onFile) reportFileRead(walk, reader);
    if (status == ARCHIVE_EOF) return;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
      if (!walk.ended) emitFault(walk, name, describeArchiveError(reader, "Unreadable archive"));
      return;
    }
    const bool raw = archive_format(reader) == ARCHIVE_FORMAT_RAW;
    bool sized = false;
    StreamPlace inner;
    inner.depth = place.depth + 1;
    inner.archived = true;
    if (raw) {
      // A compressed stream: its content stands in the container's place, without a
      // locator. Not compressed after all: it is a message.
      memberName = name;
      inner.messageOnly = archive_filter_count(reader) <= 1;
    } else {
      const char* path = archive_entry_pathname(entry);
      std::string_view memberPath = path != nullptr ? path : "";
      if (memberPath.empty()) memberPath = ".";
      const uint64_t occurrence = ++seen[std::hash<std::string_view>{}(memberPath)];
      memberName = name;
      appendMemberLocator(memberName, memberPath, occurrence);
      const auto type = archive_entry_filetype(entry);
      if (type == AE_IFDIR) continue;
      if (archive_entry_hardlink(entry) != nullptr) {
        emitFault(walk, memberName, "Not a regular file (hard link)");
        continue;
      }
      if (type != AE_IFREG) {
        emitFault(walk, memberName,
                  type == AE_IFLNK ? "Not a regular file (symbolic link)" : "Not a regular file");
        continue;
      }
      if (archive_entry_size_is_set(entry)) {
        sized = true;
        inner.sizeHint = static_cast<uint64_t>(archive_entry_size(entry));
      }
    }
    MemberStream member(walk, reader, onFile);
    bool memberEnd = false;
    memberHead.clear();
    // A member of known size is read whole at once (and one byte more, for the end).
    const size_t first = sized && inner.sizeHint < kMemberHead
                             ? static_cast<size_t>(inner.sizeHint) + 1
                             : kMemberHead;
    bool ok = readSome(member, memberHead, first, memberEnd);
    // Only what detection needs: the head may become a small message's bytes, capacity and all.
    while (ok && !memberEnd && memberHead.size() < kDetectBytes) {
      ok = readSome(member, memberHead, kDetectBytes - memberHead.size(), memberEnd);
    }
    if (!ok) {
      emitFault(walk, memberName, member.error);
    } else {
      expandStream(walk, memberName, member, std::move(memberHead), memberEnd, inner);
      memberHead = std::string();
    }
    if (member.fatal || walk.ended || walk.stopped) return;
    // What was left unread of the member is read here rather than skipped by libarchive, so
    // that it counts against the expansion budget; only a plain listed archive, whose
    // members are skipped by seeking, is spared.
    if (!raw && !member.failed && (place.fd < 0 || archive_filter_count(reader) > 1)) {
      ptrdiff_t n = 0;
      while ((n = member.read(scratch.data(), scratch.size())) > 0) {
      }
      if (n < 0) {
        emitFault(walk, member.fatal ? name : memberName, member.error);
        if (member.fatal) return;
      }
    }
  }
}

}  // namespace corpus
