// The tool's usage and version texts.
#pragma once

#include <string>

namespace ventry {

enum class InfoRequest { None, Help, Version };

// The usage text printed by "--help" (it is also the source of the manual page).
std::string usageText();

// "email_ventry <version>" and a line end.
std::string versionText();

// Writes the requested text to standard output; the tool's exit status for it.
int printInfo(InfoRequest request);

}  // namespace ventry
