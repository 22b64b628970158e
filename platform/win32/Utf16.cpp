#include "Utf16.h"

#include <climits>

#include "Win32Error.h"

namespace platform {

bool ToUtf16(std::string_view bytes, UINT codePage, DWORD flags, std::wstring& out) {
  out.clear();
  if (bytes.empty()) return true;
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const int size = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
  if (length <= 0) return false;
  out.resize(static_cast<std::size_t>(length));
  if (MultiByteToWideChar(codePage, flags, bytes.data(), size, out.data(), length) != length) {
    out.clear();
    return false;
  }
  return true;
}

std::wstring Widen(std::string_view utf8) {
  std::wstring wide;
  ToUtf16(utf8, CP_UTF8, 0, wide);
  return wide;
}

std::string Narrow(std::wstring_view utf16) {
  std::string utf8;
  if (utf16.empty() || utf16.size() > static_cast<std::size_t>(INT_MAX)) return utf8;
  const int size = static_cast<int>(utf16.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return utf8;
  utf8.resize(static_cast<std::size_t>(length));
  if (WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, utf8.data(), length, nullptr, nullptr) !=
      length) {
    utf8.clear();
  }
  return utf8;
}

std::wstring WidePath(std::string_view path) {
  std::wstring wide;
  // Replacement characters would name another file than the one meant.
  if (!ToUtf16(path, CP_UTF8, MB_ERR_INVALID_CHARS, wide)) ThrowError(ERROR_NO_UNICODE_TRANSLATION);
  // The wide calls would stop at the NUL and reach a shorter path.
  if (wide.empty() || wide.find(L'\0') != std::wstring::npos) ThrowError(ERROR_INVALID_NAME);
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) return wide;
  std::wstring full;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (size == 0) ThrowLastError();
    full.resize(size);
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0) ThrowLastError();
    if (length < size) {
      full.resize(length);
      break;
    }
    size = length;  // the current directory grew meanwhile
  }
  if (full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace platform
