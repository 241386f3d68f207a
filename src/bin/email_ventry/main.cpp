// email_ventry: runs the reader and an independent probe over every message of a list and
// writes one JSON line per message.
#include <malloc.h>

#include <csignal>
#include <string_view>
#include <vector>

#include "email_ventry/cli.h"

int main(int argc, char** argv) {
  // Every message allocates and frees buffers the size of its bodies. Keeping freed memory
  // in the heap (instead of unmapping it, or trimming the heap top, after each message) saves
  // the page faults of mapping it again; the heap still never holds more than the largest
  // message needed at once.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
  // A closed output pipe must surface as a write error (exit 101), not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv, argv + argc);
  return ventry::runTool(args);
}
