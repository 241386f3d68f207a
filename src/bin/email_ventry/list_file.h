// The list file (one message path per line) and whole-file reads of the listed messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ventry {

// Splits list text (valid UTF-8) into entries: lines end at "\n" (a "\r" right before it
// belongs to the line end), a last line without "\n" counts, each line is trimmed of
// Unicode White_Space, and empty lines and lines starting with "#" are skipped. A leading
// byte-order mark is not white space and stays part of the first line. The entries are
// views into `text`.
std::vector<std::string_view> splitListEntries(std::string_view text);

struct ListFile {
  bool ok = false;
  std::string text;   // the whole file, valid UTF-8, when ok
  std::string error;  // description of the failure, when !ok
};

// Reads the whole list file (any readable file, pipes included) and checks it is UTF-8.
ListFile readListFile(const std::string& path);

// The message path for an entry: an absolute entry stands alone; a relative one is taken
// below `root`.
std::string joinPath(std::string_view root, std::string_view entry);

// Reads the regular file at `path` whole into `bytes` (reused between calls). Anything
// that is not a readable regular file (missing, directory, pipe, device, no permission,
// read error) leaves `bytes` empty. Never blocks on a pipe.
void readMessageFile(const std::string& path, std::string& bytes);

}  // namespace ventry
