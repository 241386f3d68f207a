// A reader under test as a co-process: a long-lived child that speaks the reader protocol
// (protocol.h) on its standard input and output, one per work thread.
//
// Messages handed over ahead of their turn are queued and written as the reader's input
// takes them, several per write; replies are matched to the queue in order. The reader is
// someone else's code, so it is handled like hostile input: each message is bounded by the
// timeout, counted from when the reader is done with the one before (the writing of the
// request, the reader's work and its reply together); requests and replies go over
// non-blocking descriptors watched together with the process itself, so a reader that stops
// reading, closes its output, leaves a child holding the output open, writes an endless line
// or ends cannot stall the tool. Any such misbehaviour costs its message (verdict Failed,
// "Reader: ..."): the reader's whole process group is killed, and a new one is started for
// the next message and given the queued messages again.
#pragma once

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "readers/protocol.h"
#include "readers/reader.h"

namespace readers {

struct CoprocessOptions {
  std::string command;  // run through /bin/sh -c
  std::chrono::seconds timeout{60};
  int err = STDERR_FILENO;            // the reader's standard error
  bool (*stopRequested)() = nullptr;  // polled while waiting for the reader
};

struct StartedReaders {
  std::vector<std::unique_ptr<Reader>> readers;  // `count` readers, or none
  Hello hello;                                   // the first reader's
  std::string failure;   // why they could not be started: `cannot start reader "<command>": ...`
  bool stopped = false;  // a stop request came while they started
};

// Starts `count` readers at once and waits for each one's hello.
StartedReaders startCoprocessReaders(const CoprocessOptions& options, unsigned count);

}  // namespace readers
