#pragma once
// What the Windows versions of the file tests need: a file another program holds open without
// sharing, and the system's own text for an error code.

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "win32/Utf16.h"

namespace kestrune::test {

// `path` opened with share mode 0 for as long as the object lives, as a running game client
// holds its files: every other open of it fails with ERROR_SHARING_VIOLATION meanwhile.
class HeldWithoutSharing {
 public:
  explicit HeldWithoutSharing(const std::filesystem::path& path) {
    handle_ = CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold " + path.string());
  }
  ~HeldWithoutSharing() { CloseHandle(handle_); }
  HeldWithoutSharing(const HeldWithoutSharing&) = delete;
  HeldWithoutSharing& operator=(const HeldWithoutSharing&) = delete;

 private:
  HANDLE handle_;
};

// FormatMessageW's text for the Win32 error `code`, in UTF-8 and without the line end.
inline std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string utf8 = length > 0 ? platform::Narrow(std::wstring_view(text, length)) : "";
  if (text != nullptr) LocalFree(text);
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r')) utf8.pop_back();
  return utf8;
}

}  // namespace kestrune::test

#endif
