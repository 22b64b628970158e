#include <windows.h>

#include <string>

#include "PlatformText.h"
#include "Utf16.h"

namespace platform {

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  // Invalid UTF-8 is compared exactly rather than as replacement characters.
  std::wstring wideA;
  std::wstring wideB;
  if (!ToUtf16(a, CP_UTF8, MB_ERR_INVALID_CHARS, wideA) ||
      !ToUtf16(b, CP_UTF8, MB_ERR_INVALID_CHARS, wideB)) {
    return a == b;
  }
  // No wider than the UTF-8 input, so the sizes fit the API's int.
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wideA.c_str(),
                        static_cast<int>(wideA.size()), wideB.c_str(),
                        static_cast<int>(wideB.size())) == CSTR_EQUAL;
}

}  // namespace platform
