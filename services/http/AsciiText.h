#pragma once
// Case and blank rules for the ASCII parts of HTTP: header names and values, media types,
// charset names and markup found in bodies. Bytes above 0x7F are left as they are.

#include <string>
#include <string_view>

namespace kestrune::http {

// 'A'..'Z' become 'a'..'z'; every other byte stays.
char LowerAscii(char c);
std::string LowerAscii(std::string_view s);

// Whether a and b are equal when ASCII letter case is ignored.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `s` without the bytes found in `front` at its start and those found in `back` at its end.
std::string_view Trim(std::string_view s, std::string_view front, std::string_view back);

}  // namespace kestrune::http
