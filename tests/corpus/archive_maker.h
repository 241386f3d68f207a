// Archives and compressed streams made in memory with libarchive's writer, for tests that
// expand them.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <utility>
#include <vector>

namespace testarchives {

struct Member {
  Member(std::string memberPath, std::string memberBytes, unsigned memberType = AE_IFREG,
         std::string linkTarget = {})
      : path(std::move(memberPath)),
        bytes(std::move(memberBytes)),
        type(memberType),
        link(std::move(linkTarget)) {}
  std::string path;
  std::string bytes;
  unsigned type;
  std::string link;  // symbolic link target
};

inline la_ssize_t appendOut(archive*, void* data, const void* buffer, size_t size) {
  static_cast<std::string*>(data)->append(static_cast<const char*>(buffer), size);
  return static_cast<la_ssize_t>(size);
}

// An archive of `format` (ARCHIVE_FORMAT_*; ARCHIVE_FORMAT_RAW for a compressed stream of
// the first member) through `filter` (ARCHIVE_FILTER_*).
inline std::string makeArchive(int format, int filter, const std::vector<Member>& members) {
  std::string out;
  archive* writer = archive_write_new();
  archive_write_set_format(writer, format);
  if (filter != ARCHIVE_FILTER_NONE) archive_write_add_filter(writer, filter);
  archive_write_set_bytes_in_last_block(writer, 1);
  archive_write_open(writer, &out, nullptr, appendOut, nullptr);
  for (const Member& member : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.path.c_str());
    archive_entry_set_filetype(entry, member.type);
    archive_entry_set_perm(entry, 0644);
    if (member.type == AE_IFLNK) archive_entry_set_symlink(entry, member.link.c_str());
    if (member.type == AE_IFREG) archive_entry_set_size(entry, la_int64_t(member.bytes.size()));
    archive_write_header(writer, entry);
    if (!member.bytes.empty()) archive_write_data(writer, member.bytes.data(), member.bytes.size());
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return out;
}

inline std::string compress(int filter, const std::string& bytes) {
  return makeArchive(ARCHIVE_FORMAT_RAW, filter, {{"data", bytes}});
}

}  // namespace testarchives
