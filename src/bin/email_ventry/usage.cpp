#include "email_ventry/usage.h"

#include <unistd.h>

#include "email_ventry/cli.h"
#include "ventry_version.h"

namespace ventry {
namespace {

// Laid out for help2man: the "Usage:" lines, a description, then headed blocks of options.
constexpr std::string_view kUsage =
    "Usage: email_ventry --list FILE [--root DIR] [options]\n"
    "  or:  email_ventry --input PATH [options]\n"
    "  or:  email_ventry --extract NAME [--root DIR] [--mbox-format F]\n"
    "  or:  email_ventry --serve-reader\n"
    "  or:  email_ventry --selftest | --help | --version\n"
    "Runs the mail reader and an independent probe over the same bytes of every message and\n"
    "writes one JSON line per message that sets the two side by side.\n"
    "\n"
    "Commands:\n"
    "  --list FILE           run over the messages a list file names\n"
    "  --input PATH          run over one file, directory, mbox or archive (implies --expand)\n"
    "  --extract NAME        write the exact bytes measured for a record's name to standard\n"
    "                        output\n"
    "  --serve-reader        serve the built-in reader over the reader protocol on standard\n"
    "                        input and output (see --reader)\n"
    "  --selftest            run the built-in checks of the reader and the probe\n"
    "  --help                print this text and exit\n"
    "  --version             print the version and exit\n"
    "\n"
    "Options:\n"
    "  --root DIR            directory below which relative list entries are taken (default .)\n"
    "  --expand              a list entry naming a directory, mbox file or archive yields one\n"
    "                        record per message inside it\n"
    "  --mbox-format F       mboxrd (default), mboxo or mboxcl2\n"
    "  --jobs N              work on N threads (0: one per online core); records stay in list\n"
    "                        order\n"
    "  --shard K/N           take the K-th of N contiguous slices of the entries (K from 0)\n"
    "  --output FILE         write the records to FILE (created, or emptied) instead of\n"
    "                        standard output\n"
    "  --resume              with --output: continue the same command's run that stopped; the\n"
    "                        records in FILE are checked against this run's first messages, a\n"
    "                        cut last line is dropped, and the rest is written after them (a\n"
    "                        missing or empty FILE starts from the beginning)\n"
    "  --progress            progress on standard error\n"
    "  --plain-reads         read messages with plain reads, never io_uring\n"
    "  --memory-limit MIB    memory one message may use before it is recorded as failed\n"
    "                        (default: a share of the machine's memory)\n"
    "  --reader COMMAND      measure the reader under test COMMAND instead of the built-in\n"
    "                        reader: run by /bin/sh -c (start it with exec to replace the\n"
    "                        shell), one per thread, speaking the reader protocol on its\n"
    "                        standard input and output; the probe still runs here; a message\n"
    "                        the reader fails on is recorded as failed\n"
    "  --reader-timeout SECONDS\n"
    "                        time the reader under test may take for one message, and for\n"
    "                        its hello when it starts (default 60)\n"
    "\n"
    "Exit status:\n"
    "  0 after a complete run or a passed self-test, 1 after a failed self-test, 101 when the\n"
    "  tool's own input or output fails, FILE does not match the run to resume or the reader\n"
    "  under test cannot be started (or started again after it failed), 130/143 when stopped\n"
    "  by SIGINT/SIGTERM.\n";

}  // namespace

std::string usageText() {
  return std::string(kUsage);
}

std::string versionText() {
  return "email_ventry " + std::string(kVersion) + "\n";
}

int printInfo(InfoRequest request) {
  const std::string text = request == InfoRequest::Help ? usageText() : versionText();
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return kExitAbnormal;
    done += static_cast<size_t>(n);
  }
  return kExitOk;
}

}  // namespace ventry
