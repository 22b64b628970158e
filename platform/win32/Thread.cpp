#include <windows.h>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

void SetCurrentThreadName(const std::string& name) {
  // Looked up rather than imported: Windows before 10 (1607) lacks it, and an import would keep
  // the program from loading there at all. mingw's headers do not declare it either.
  using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto describe = reinterpret_cast<Describe>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  // Debuggers and the system's tools show it; a refusal changes nothing else.
  if (describe != nullptr) (void)describe(GetCurrentThread(), Widen(name).c_str());
}

void SetCurrentThreadLowestPriority() {
  // An absolute level: a second call leaves it where the first put it.
  (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

}  // namespace platform
