#include <windows.h>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

void SetCurrentThreadName(const std::string& name) {
  // Looked up at run time: older systems lack the call, and mingw's headers do not declare it.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  // By way of void (*)(), the one function pointer type any other converts to unwarned.
  const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
  // Debuggers and the system's tools show it; a refusal changes nothing else.
  if (set != nullptr) (void)set(GetCurrentThread(), Widen(name).c_str());
}

}  // namespace platform
