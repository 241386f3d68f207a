// The list file: one message path per line, and how an entry becomes a path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corpus {

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

}  // namespace corpus
