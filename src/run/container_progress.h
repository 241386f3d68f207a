// Progress over containers goes by the bytes of the listed files: their sizes on disk, taken
// before the run, against the bytes the expansion reports as it reads them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "corpus/expand.h"
#include "run/console.h"

namespace run {

// The sizes of the listed entries that are regular files (or links to them), each joined
// with `root`. A listed directory adds nothing here: its files count as the expansion meets
// them. One stat per entry.
uint64_t listedFileBytes(std::span<const std::string_view> entries, std::string_view root);

// The expansion's reports, passed on to `console` (which must outlive the expansion).
corpus::ExpandProgress progressInto(Console& console);

}  // namespace run
