// email_ventry: runs the reader and an independent probe over every message of a list and
// writes one JSON line per message.
#include <csignal>
#include <string_view>
#include <vector>

#include "email_ventry/cli.h"

int main(int argc, char** argv) {
  // A closed output pipe must surface as a write error (exit 101), not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv, argv + argc);
  return ventry::runTool(args);
}
