// The tool's usage and version texts, and whether the command line asks for one of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ventry {

enum class InfoRequest { None, Help, Version };

// "--help" or "--version" as a whole argument asks for its text, except where it is the value
// taken by the first "--list" or the first "--root" (those keep their meaning). "--help" wins
// over "--version". `args` includes the program name.
InfoRequest infoRequest(const std::vector<std::string_view>& args);

// The usage text printed by "--help" (it is also the source of the manual page).
std::string usageText();

// "email_ventry <version>" and a line end.
std::string versionText();

// Writes the requested text to standard output; the tool's exit status for it.
int printInfo(InfoRequest request);

}  // namespace ventry
