#pragma once
// The one place where win32/ turns a system error code into a SystemError.

#include <windows.h>

#include <string>

namespace platform {

// The system's description of `code`, without its trailing line break; empty when it has none.
std::string ErrorText(DWORD code);

// Throws SystemError with `code` and its description as both the message and the system text.
[[noreturn]] void ThrowError(DWORD code);

// ThrowError(GetLastError()).
[[noreturn]] void ThrowLastError();

}  // namespace platform
