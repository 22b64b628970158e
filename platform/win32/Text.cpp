#include <windows.h>

#include <climits>
#include <string>

#include "PlatformText.h"

namespace platform {

namespace {

// False when `s` is not valid UTF-8 (or too long for the API), so that the
// caller compares invalid bytes exactly instead of as replacement characters.
bool Widen(std::string_view s, std::wstring& out) {
  out.clear();
  if (s.empty()) return true;
  if (s.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const int size = static_cast<int>(s.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), size, nullptr, 0);
  if (length <= 0) return false;
  out.resize(static_cast<std::size_t>(length));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), size, out.data(), length) ==
         length;
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  std::wstring wideA;
  std::wstring wideB;
  if (!Widen(a, wideA) || !Widen(b, wideB)) return a == b;
  // No wider than the UTF-8 input, so the sizes fit the API's int.
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wideA.c_str(),
                        static_cast<int>(wideA.size()), wideB.c_str(),
                        static_cast<int>(wideB.size())) == CSTR_EQUAL;
}

}  // namespace platform
