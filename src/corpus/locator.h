// The name of a message inside a container: the listed path followed by locators, one per
// container level, and the parsing of those locators back (docs/corpus.md gives the grammar).
//
//   name     = path *locator
//   locator  = "!" member [ "~" occurrence ]   ; an archive member (escaped path)
//            / "#" number "@" offset          ; an mbox message: number from 1, byte offset
//                                             ; of its "From " line, both decimal
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corpus {

struct Locator {
  enum class Kind { Member, MboxMessage };
  Kind kind = Kind::Member;
  std::string member;       // Member: the member path, unescaped
  uint64_t occurrence = 1;  // Member: 2 and up for later members of the same path
  uint64_t number = 0;      // MboxMessage
  uint64_t offset = 0;      // MboxMessage
};

// Appends "!" and `memberPath` with '%', '!', '#', '~', the bytes below 0x20, 0x7F and bytes
// that are not part of valid UTF-8 written as "%XX" (upper-case hex); then "~N" when
// `occurrence` is above 1.
void appendMemberLocator(std::string& name, std::string_view memberPath, uint64_t occurrence);

// Appends "#<number>@<offset>".
void appendMboxLocator(std::string& name, uint64_t number, uint64_t offset);

// Appends a path found by walking a directory: as it is, except that bytes which are not
// part of valid UTF-8 are written as "%XX" (so that the name survives as JSON text).
void appendWalkedPath(std::string& name, std::string_view path);

// Appends the locators in their written form.
void appendLocators(std::string& name, const std::vector<Locator>& locators);

// Parses a run of locators (the part of a name after its path); empty text gives none.
// Rejects text that does not start with '!' or '#', malformed numbers or escapes, an empty
// member path and an occurrence below 2.
std::optional<std::vector<Locator>> parseLocators(std::string_view text);

// The way back from appendWalkedPath: replaces every "%XX" (hex) of a byte from 0x80 up by
// that byte; other text stays, so that a '%' of the file's own name followed by an ASCII
// byte's hex digits ("100%41.eml") is kept beside the escapes.
std::string unescapeWalkedPath(std::string_view text);

}  // namespace corpus
