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

}  // namespace platform
