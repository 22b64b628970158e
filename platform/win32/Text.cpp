#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "PlatformText.h"
#include "Utf16.h"
#include "Utf8.h"

namespace platform {

namespace {

constexpr UINT kCodePage866 = 866;

// Charsets MultiByteToWideChar cannot read; they are decoded here.
enum class Units { Utf16Le, Utf16Be, Utf32Le, Utf32Be };

// A charset as the system converts it: a code page, or units decoded by hand.
struct Charset {
  UINT codePage = 0;  // 0 when `units` applies
  Units units = Units::Utf16Le;
};

// The letters and digits of a name, lower-case: "UTF_16", "utf-16" and "utf16" are one name.
std::string NameKey(const std::string& charset) {
  std::string key;
  for (const char c : charset) {
    if (c >= 'A' && c <= 'Z') {
      key += static_cast<char>(c - 'A' + 'a');
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      key += c;
    }
  }
  return key;
}

struct NamedCodePage {
  const char* key;
  UINT codePage;
};

// The IANA names (and the common aliases) of the charsets web servers declare, by the
// Windows code page that reads them.
constexpr NamedCodePage kCodePages[] = {
    {"utf8", CP_UTF8},     {"usascii", 20127},      {"ascii", 20127},      {"iso88591", 28591},
    {"latin1", 28591},     {"l1", 28591},           {"iso88592", 28592},   {"latin2", 28592},
    {"iso88593", 28593},   {"iso88594", 28594},     {"iso88595", 28595},   {"cyrillic", 28595},
    {"iso88596", 28596},   {"iso88597", 28597},     {"iso88598", 28598},   {"iso88599", 28599},
    {"latin5", 28599},     {"iso885913", 28603},    {"iso885915", 28605},  {"latin9", 28605},
    {"windows1250", 1250}, {"cp1250", 1250},        {"windows1251", 1251}, {"cp1251", 1251},
    {"windows1252", 1252}, {"cp1252", 1252},        {"windows1253", 1253}, {"cp1253", 1253},
    {"windows1254", 1254}, {"cp1254", 1254},        {"windows1255", 1255}, {"cp1255", 1255},
    {"windows1256", 1256}, {"cp1256", 1256},        {"windows1257", 1257}, {"cp1257", 1257},
    {"windows1258", 1258}, {"cp1258", 1258},        {"koi8r", 20866},      {"koi8u", 21866},
    {"ibm866", 866},       {"cp866", 866},          {"866", 866},          {"ibm437", 437},
    {"cp437", 437},        {"ibm850", 850},         {"cp850", 850},        {"ibm852", 852},
    {"cp852", 852},        {"ibm855", 855},         {"cp855", 855},        {"macintosh", 10000},
    {"mac", 10000},        {"xmaccyrillic", 10007}, {"shiftjis", 932},     {"sjis", 932},
    {"windows31j", 932},   {"eucjp", 20932},        {"iso2022jp", 50220},  {"gb2312", 936},
    {"gbk", 936},          {"cp936", 936},          {"gb18030", 54936},    {"big5", 950},
    {"euckr", 949},        {"ksc56011987", 949},
};

// False when the system cannot read the charset.
bool FindCharset(const std::string& charset, std::string_view bytes, Charset& found) {
  const std::string key = NameKey(charset);
  // "UTF-16" and "UTF-32" take their byte order from the mark, which the text keeps;
  // without one they are big-endian.
  const bool littleMark = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                          static_cast<unsigned char>(bytes[1]) == 0xFE;
  if (key == "utf16le" || (key == "utf16" && littleMark)) {
    found.units = Units::Utf16Le;
  } else if (key == "utf16be" || key == "utf16") {
    found.units = Units::Utf16Be;
  } else if (key == "utf32le" || (key == "utf32" && littleMark)) {
    found.units = Units::Utf32Le;
  } else if (key == "utf32be" || key == "utf32") {
    found.units = Units::Utf32Be;
  } else {
    for (const NamedCodePage& row : kCodePages) {
      if (key == row.key) {
        found.codePage = row.codePage;
        return IsValidCodePage(row.codePage) != 0;
      }
    }
    return false;
  }
  found.codePage = 0;
  return true;
}

void AppendUtf16(std::wstring& out, std::uint32_t code) {
  if (code < 0x10000) {
    out += static_cast<wchar_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<wchar_t>(0xD800 | (code >> 10));
    out += static_cast<wchar_t>(0xDC00 | (code & 0x3FF));
  }
}

// UTF-16 or UTF-32 units as UTF-16; an incomplete unit at the end and, in UTF-32, a value that
// is no character become U+FFFD. Narrow turns unpaired surrogates into U+FFFD.
std::wstring DecodeUnits(std::string_view bytes, Units units) {
  const auto byte = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  const bool wide = units == Units::Utf32Le || units == Units::Utf32Be;
  const bool little = units == Units::Utf16Le || units == Units::Utf32Le;
  const std::size_t size = wide ? 4 : 2;
  std::wstring out;
  std::size_t i = 0;
  for (; i + size <= bytes.size(); i += size) {
    std::uint32_t unit = 0;
    for (std::size_t k = 0; k < size; ++k) {
      unit |= byte(i + (little ? k : size - 1 - k)) << (8 * k);
    }
    if (wide && (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF))) unit = 0xFFFD;
    AppendUtf16(out, unit);
  }
  for (; i < bytes.size(); ++i) out += static_cast<wchar_t>(0xFFFD);
  return out;
}

// The length of the valid UTF-8 from `start` up to the first byte that is not UTF-8.
std::size_t ValidRun(std::string_view text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size()) {
    const Utf8Char c = DecodeUtf8(text, end);
    if (!c.valid) break;
    end += c.length;
  }
  return end - start;
}

// Two texts of valid UTF-8 under the user's locale.
bool SameRunIgnoringCase(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  std::wstring wideA;
  std::wstring wideB;
  if (!ToUtf16(a, CP_UTF8, MB_ERR_INVALID_CHARS, wideA) ||
      !ToUtf16(b, CP_UTF8, MB_ERR_INVALID_CHARS, wideB)) {
    return a == b;
  }
  // No wider than the UTF-8 input, so the sizes fit the API's int.
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wideA.c_str(),
                        static_cast<int>(wideA.size()), wideB.c_str(),
                        static_cast<int>(wideB.size())) == CSTR_EQUAL;
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  // Runs of characters are compared by the system; a byte that is not UTF-8 ends a run and must
  // meet the same byte in the other text, as it only equals itself.
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    const std::size_t runA = ValidRun(a, i);
    const std::size_t runB = ValidRun(b, j);
    if (!SameRunIgnoringCase(a.substr(i, runA), b.substr(j, runB))) return false;
    i += runA;
    j += runB;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (a[i] != b[j]) return false;
    ++i;
    ++j;
  }
}

std::string ToCodePage866(std::string_view utf8) {
  if (IsValidCodePage(kCodePage866) == 0) throw std::runtime_error("no CP866 conversion");
  std::string out;
  out.reserve(utf8.size());
  // Character by character: the system would turn a character outside the BMP into two "?".
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Char c = DecodeUtf8(utf8, i);
    i += c.length;
    char byte = '?';
    if (c.valid && c.code < 0x80) {
      byte = static_cast<char>(c.code);
    } else if (c.valid && c.code < 0x10000) {
      const wchar_t unit = static_cast<wchar_t>(c.code);
      BOOL usedDefault = FALSE;
      // No "best fit" (ë as e): a character the code page lacks is a "?".
      if (WideCharToMultiByte(kCodePage866, WC_NO_BEST_FIT_CHARS, &unit, 1, &byte, 1, "?",
                              &usedDefault) != 1 ||
          usedDefault) {
        byte = '?';
      }
    }
    out += byte;
  }
  return out;
}

bool IsKnownCharset(const std::string& charset) {
  Charset found;
  return FindCharset(charset, {}, found);
}

std::optional<std::string> ConvertToUtf8(std::string_view bytes, const std::string& charset) {
  Charset found;
  if (!FindCharset(charset, bytes, found)) return std::nullopt;
  if (bytes.empty()) return std::string();
  if (found.codePage == 0) return Narrow(DecodeUnits(bytes, found.units));
  // Without MB_ERR_INVALID_CHARS the system puts U+FFFD (or the code page's default
  // character) where a sequence is invalid.
  std::wstring wide;
  if (!ToUtf16(bytes, found.codePage, 0, wide)) return std::string();
  return Narrow(wide);
}

}  // namespace platform
