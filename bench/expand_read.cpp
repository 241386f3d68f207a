// expand_read: the floor of a container run. Expands every entry of a list file (or one
// container given with --input) with corpus::expandEntry, as `email_ventry --expand` reads
// them, and does nothing else with the messages. Prints the number of messages, bytes and
// read errors on standard error; with --names, one line per message on standard output:
// name, bytes, read error (tab-separated).
//
//   expand_read (--list <file> [--root <dir>] | --input <path>) [--mbox-format <format>]
//               [--names]
#include <cstdio>
#include <string>
#include <string_view>

#include "corpus/expand.h"
#include "corpus/list_file.h"

int main(int argc, char** argv) {
  std::string listPath;
  std::string input;
  std::string root = ".";
  bool names = false;
  corpus::ExpandOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (flag == "--names") {
      names = true;
      continue;
    }
    if (value == nullptr) break;
    ++i;
    if (flag == "--list") listPath = value;
    if (flag == "--root") root = value;
    if (flag == "--input") input = value;
    if (flag == "--mbox-format") {
      const auto format = corpus::parseMboxFormat(value);
      if (!format) {
        std::fprintf(stderr, "unknown mbox format: %s\n", value);
        return 2;
      }
      options.mboxFormat = *format;
    }
  }
  if (listPath.empty() == input.empty()) {
    std::fprintf(stderr,
                 "usage: expand_read (--list <file> [--root <dir>] | --input <path>) "
                 "[--mbox-format mboxrd|mboxo|mboxcl2] [--names]\n");
    return 2;
  }
  size_t messages = 0;
  size_t total = 0;
  size_t errors = 0;
  const corpus::MessageSink sink = [&](corpus::Message&& message) {
    ++messages;
    total += message.bytes.size();
    if (!message.readError.empty()) ++errors;
    if (names) {
      std::printf("%s\t%zu\t%s\n", message.name.c_str(), message.bytes.size(),
                  message.readError.c_str());
    }
    return true;
  };
  if (!input.empty()) {
    corpus::expandEntry(input, input, options, sink);
  } else {
    const corpus::ListFile list = corpus::readListFile(listPath);
    if (!list.ok) {
      std::fprintf(stderr, "read --list file: %s\n", list.error.c_str());
      return 2;
    }
    for (std::string_view entry : corpus::splitListEntries(list.text)) {
      corpus::expandEntry(entry, corpus::joinPath(root, entry), options, sink);
    }
  }
  std::fprintf(stderr, "%zu messages, %zu bytes, %zu read errors\n", messages, total, errors);
  return 0;
}
