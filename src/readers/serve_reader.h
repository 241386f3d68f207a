// The built-in reader served over the reader protocol: the protocol's reference
// implementation, and the built-in reader measured the way a reader under test is.
#pragma once

#include <string_view>

namespace readers {

// Writes the hello (`name`, `version`) on `out`, then answers each request read from `in`
// in order, until the end of `in`. Returns 0 then; 101 after a diagnostic on `err` when a
// request is malformed or cut short, or reading or writing fails.
int serveReader(int in, int out, int err, std::string_view name, std::string_view version);

}  // namespace readers
