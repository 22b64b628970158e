#pragma once
// The one place where win32/ turns text into the UTF-16 of the wide API and back.

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

// `bytes` in code page `codePage` (CP_UTF8, 866, 1251...) as UTF-16, converted by
// MultiByteToWideChar with `flags`. False, with `out` empty, when the system refuses (with
// MB_ERR_INVALID_CHARS: a byte sequence invalid in the code page) or `bytes` is longer than
// the API takes.
bool ToUtf16(std::string_view bytes, UINT codePage, DWORD flags, std::wstring& out);

// UTF-8 as UTF-16; bytes that are not UTF-8 become U+FFFD, as the system converts them.
std::wstring Widen(std::string_view utf8);

// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view utf16);

// The UTF-8 `path` as every file call of win32/ takes it: made absolute by GetFullPathNameW
// (which also turns "/" into "\" and resolves "." and ".."), then prefixed with "\\?\" so that
// it may be longer than MAX_PATH. A path already prefixed, and a device ("\\.\CON"), stay as
// they are. Throws SystemError for bytes that are not UTF-8 (ERROR_NO_UNICODE_TRANSLATION), a
// NUL in the path, or a path the system cannot make absolute.
std::wstring WidePath(std::string_view path);

// The text of a call that fills a wide buffer and, when it is too small, tells the size it
// needs (counting the NUL or not) or fills it to its end (GetModuleFileNameW): retried with a
// larger buffer until the whole text fits. Empty when the call fails.
template <typename Fill>
std::wstring GrowingText(Fill fill) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() < n ? n : buffer.size() * 2);
  }
}

}  // namespace platform
