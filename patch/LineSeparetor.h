#pragma once
// Splits patch entry lines ("name" 0x06 "checksum") into their fields.

#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// The field separator of a patch entry line; it cannot occur in a file name.
inline constexpr std::string_view kFieldSeparator = "\x06";

// Splits `text` at each `separator`, left to right, and stops at the first
// empty field: once the rest begins with the separator, that rest (separator
// included) is the last element unchanged. Never returns an empty array; an
// empty text gives one empty text. An empty separator splits nothing.
std::vector<std::string> SeparateLine(std::string_view text, std::string_view separator);

}  // namespace kestrune
