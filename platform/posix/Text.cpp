#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

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

// One iconv conversion descriptor, closed on destruction.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `in` block by block; at a sequence it cannot convert, `onFailure` appends what
  // stands for it and returns how many bytes of the rest to skip.
  template <typename OnFailure>
  std::string Convert(std::string_view in, OnFailure&& onFailure) {
    std::string out;
    out.reserve(in.size() + in.size() / 2);
    std::vector<char> buffer(16384);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    while (srcLeft > 0) {
      char* dst = buffer.data();
      std::size_t dstLeft = buffer.size();
      const std::size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      out.append(buffer.data(), static_cast<std::size_t>(dst - buffer.data()));
      if (r != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut off at the end).
      const std::size_t skip = onFailure(out, std::string_view(src, srcLeft));
      src += skip;
      srcLeft -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

// iconv's names differ from IANA's in one way that matters: "UTF-16"/"UTF-32" swallow the
// byte-order mark, which must stay in the text, so those are given an explicit byte order.
// They are recognised as glibc recognises them, with the punctuation left out ("utf_16").
std::string IconvName(const std::string& charset, std::string_view bytes) {
  std::string letters;
  for (const char c : charset) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) letters += c;
  }
  if (letters == "utf16" || letters == "utf32") {
    const bool le = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                    static_cast<unsigned char>(bytes[1]) == 0xFE;
    return (letters == "utf16" ? std::string("utf-16") : std::string("utf-32")) +
           (le ? "le" : "be");
  }
  return charset;
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

std::string ToCodePage866(std::string_view utf8) {
  Converter converter("CP866", "UTF-8");
  if (!converter.ok()) throw std::runtime_error("no CP866 conversion");
  return converter.Convert(utf8, [](std::string& out, std::string_view rest) {
    // A character the code page lacks is skipped whole, so that it becomes exactly one "?".
    out += '?';
    return DecodeUtf8(rest, 0).length;
  });
}

bool IsKnownCharset(const std::string& charset) {
  return Converter("UTF-8", IconvName(charset, {})).ok();
}

std::optional<std::string> ConvertToUtf8(std::string_view bytes, const std::string& charset) {
  Converter converter("UTF-8", IconvName(charset, bytes));
  if (!converter.ok()) return std::nullopt;
  return converter.Convert(bytes, [](std::string& out, std::string_view) {
    out += "\xEF\xBF\xBD";
    return std::size_t{1};
  });
}

}  // namespace platform
