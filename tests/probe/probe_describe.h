// Compact, order-stable descriptions of a probe object, so a table row can state every
// member it expects and any other member that changes shows up as a difference.
#pragma once

#include <string>

#include "probe/probe.h"

namespace probe_test {

// The set header-scan flags (hdrTo .. encWordAny), space-separated, in member order.
std::string headerFlags(const ventry::Probe& p);

// Members parseErr .. report that differ from their initial values, as "name=value" words
// in member order (lists as [a,b]).
std::string walkMembers(const ventry::Probe& p);

}  // namespace probe_test
