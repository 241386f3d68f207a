// The self-test: built-in fixture messages run through the reader and the probe, and the
// labelled claims that pin down where the two must agree.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "email/reader.h"
#include "probe/probe.h"

namespace ventry {

struct SelftestResult {
  bool ok = false;
  // When !ok: "selftest FAILED (n/m): label; label", or the reader's failure text
  // ("Parse: ...") when a fixture whose read the run depends on was rejected.
  std::string failure;
};

// The two looks the claims are made about; tests substitute stubs.
struct SelftestDeps {
  std::function<email::ReadOutcome(std::string_view)> read;
  std::function<Probe(std::string_view)> probe;
};

// Evaluates every claim. On success writes "selftest OK — <count> claims\n" to `out` (and
// flushes it); on failure writes nothing. Printing the failure text is the caller's job.
SelftestResult runSelftest(const SelftestDeps& deps, std::ostream& out);

// The same with the real reader and probe, writing the success line to standard output.
SelftestResult runSelftest();

}  // namespace ventry
