#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <string_view>

#include "PlatformText.h"
#include "Utf8.h"

namespace platform {

namespace {

// The user's locale may not be a UTF-8 one, and a name's case folding must not
// depend on LANG; C.UTF-8 gives Unicode simple case mappings on every glibc.
locale_t FoldingLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

bool IsAscii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Above every code point, so an invalid byte never equals a character.
constexpr std::uint32_t kInvalidByte = 0x110000;

// Decodes one character at `i` and advances past it; a byte that does not start a valid
// sequence decodes to kInvalidByte + the byte.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const Utf8Char c = DecodeUtf8(s, i);
  i += c.length;
  return c.valid ? c.code : kInvalidByte + c.code;
}

std::uint32_t Fold(std::uint32_t code) {
  const locale_t locale = FoldingLocale();
  if (code >= kInvalidByte || locale == locale_t{}) return code;
  return static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(code), locale));
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
      if (AsciiUpper(a[k]) != AsciiUpper(b[k])) return false;
    }
    return true;
  }
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (Fold(NextCodePoint(a, i)) != Fold(NextCodePoint(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

}  // namespace platform
