#pragma once
// Reading UTF-8 one character at a time: one strict decoder for every text rule that needs
// code points (name comparison, code page conversion, the publisher's character references).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

struct Utf8Char {
  std::uint32_t code = 0;  // the code point; for an invalid byte, the byte's value
  std::size_t length = 1;  // the bytes it takes; always 1 for an invalid byte
  bool valid = false;
};

// Decodes the character that starts at s[at] (at < s.size()). A byte that does not start a
// complete, shortest-form sequence of a code point up to U+10FFFF outside the surrogates is
// invalid on its own, so that the next call resynchronises on the byte after it.
Utf8Char DecodeUtf8(std::string_view s, std::size_t at);

// Appends the UTF-8 form of `code` (a code point up to U+10FFFF, not a surrogate) to `out`.
void AppendUtf8(std::string& out, std::uint32_t code);

}  // namespace platform
