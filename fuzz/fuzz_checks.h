// Invariant checks shared by the fuzz targets. A broken invariant prints what broke and
// aborts, which libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "email/mime/mime.h"
#include "email/reader.h"
#include "probe/probe.h"

namespace fuzzcheck {

// Prints "invariant broken: <what>" to standard error and aborts.
[[noreturn]] void fail(std::string_view what);

inline void require(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

// True when `inner` lies wholly inside `outer` (pointer ranges).
bool isWithin(std::string_view inner, std::string_view outer);

// Strict RFC 8259 JSON text check (one value, no trailing bytes). Iterative.
bool isJsonText(std::string_view text);

// Shape of the flat pre-order tree: views inside the input, parent/depth/subtree links,
// child counts, headers in order, lower-case media types, valid UTF-8 everywhere.
void checkParsedMessage(std::string_view bytes, const email::mime::ParsedMessage& message);

// The probe against an independent reading of the same parse: leaf count, attachDecl,
// depth, and the bounds between the counters.
void checkProbe(const ventry::Probe& probe, const email::mime::ParsedMessage& message);

// The read outcome against the parse: outcome, failure prefix, loss pairs from the closed
// vocabulary in header-first order, the Date notice, attachment bound, UTF-8 bodies.
void checkReadOutcome(const email::ReadOutcome& outcome, const email::mime::ParsedMessage& message);

// The record line for this outcome and probe: valid JSON, one object, exactly one LF at
// the end, the members in their fixed order. Returns the line.
std::string checkRecordLine(std::string_view name, const email::ReadOutcome& outcome,
                            const ventry::Probe& probe);

// Splits fuzzer input at the first occurrence of `separator`: the head (a label, a
// boundary, ...) and the rest. Without a separator the head is empty.
struct SplitInput {
  std::string_view head;
  std::string_view rest;
};
SplitInput splitAt(std::string_view data, char separator, size_t maxHead);

inline std::string_view asView(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace fuzzcheck
