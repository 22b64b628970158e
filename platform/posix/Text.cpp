#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <string_view>

#include "PlatformText.h"

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

// Decodes one character at `i` and advances past it; a byte that does not
// start a valid, shortest-form sequence decodes to kInvalidByte + the byte.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t code = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  }
  if (length == 0 || i + length > s.size()) {
    ++i;
    return kInvalidByte + lead;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return kInvalidByte + lead;
    }
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++i;
    return kInvalidByte + lead;
  }
  i += length;
  return code;
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
