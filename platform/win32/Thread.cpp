#include <windows.h>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

void SetCurrentThreadName(const std::string& name) {
  // Debuggers and the system's tools show it; a refusal changes nothing else.
  (void)SetThreadDescription(GetCurrentThread(), Widen(name).c_str());
}

}  // namespace platform
