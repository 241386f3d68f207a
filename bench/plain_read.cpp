// plain_read: the floor of a corpus run. Reads every message of a list file whole, with the
// same list parsing, path joining and file reads as email_ventry, and does nothing else.
// Prints the number of files and bytes read on standard error.
//
//   plain_read --list <file> [--root <dir>]
#include <cstdio>
#include <string>
#include <string_view>

#include "corpus/list_file.h"
#include "corpus/message_file.h"

int main(int argc, char** argv) {
  std::string listPath;
  std::string root = ".";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--list") listPath = argv[i + 1];
    if (flag == "--root") root = argv[i + 1];
  }
  if (listPath.empty()) {
    std::fprintf(stderr, "usage: plain_read --list <file> [--root <dir>]\n");
    return 2;
  }
  const corpus::ListFile list = corpus::readListFile(listPath);
  if (!list.ok) {
    std::fprintf(stderr, "read --list file: %s\n", list.error.c_str());
    return 2;
  }
  std::string bytes;
  size_t files = 0;
  size_t total = 0;
  for (std::string_view entry : corpus::splitListEntries(list.text)) {
    corpus::readMessageFile(corpus::joinPath(root, entry), bytes);
    ++files;
    total += bytes.size();
  }
  std::fprintf(stderr, "%zu files, %zu bytes\n", files, total);
  return 0;
}
