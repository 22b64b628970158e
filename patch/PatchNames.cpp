#include "PatchNames.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kestrune {

namespace {

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Windows opens the device, not a file, for these base names, whatever follows the first dot.
bool IsDeviceName(std::string_view part) {
  std::string_view base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (SameIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view stem = base.substr(0, 3);
  if (!SameIgnoringAsciiCase(stem, "COM") && !SameIgnoringAsciiCase(stem, "LPT")) return false;
  const std::string_view digit = base.substr(3);
  static constexpr std::array<std::string_view, 3> kSuperscripts = {"\xC2\xB9", "\xC2\xB2",
                                                                    "\xC2\xB3"};
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') ||
         std::find(kSuperscripts.begin(), kSuperscripts.end(), digit) != kSuperscripts.end();
}

bool IsSafeComponent(std::string_view part) {
  if (part.empty() || part == "..") return false;
  // Windows drops a trailing dot or blank: "a." and "a " are "a".
  if (part.back() == '.' || part.back() == ' ') return false;
  return !IsDeviceName(part);
}

}  // namespace

bool IsSafePatchName(std::string_view name) {
  if (name.empty() || name.front() == '\\' || name.front() == '/') return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == ':') return false;
  }
  // Replacing the lock file would hand a concurrent run a fresh file to lock.
  if (SameIgnoringAsciiCase(name, kLockFileName)) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("\\/", start);
    if (!IsSafeComponent(name.substr(start, end - start))) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string DirectoryPart(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\:");
  if (cut == std::string::npos) return {};
  if (cut == 0 || path[cut] == ':' || path[cut - 1] == ':') return path.substr(0, cut + 1);
  return path.substr(0, cut);
}

std::string LastPathComponent(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace kestrune
