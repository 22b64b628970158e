#include "Win32Error.h"

#include "Platform.h"
#include "Utf16.h"

namespace platform {

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (n > 0 && text != nullptr) result = Narrow(std::wstring_view(text, n));
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}

void ThrowError(DWORD code) {
  std::string text = ErrorText(code);
  // A code without a description still says which it was.
  if (text.empty()) text = "System error " + std::to_string(code);
  throw SystemError(text, static_cast<int>(code), text);
}

void ThrowLastError() {
  ThrowError(GetLastError());
}

}  // namespace platform
