#include "PatchNames.h"

namespace kestrune {

bool IsSafePatchName(std::string_view name) {
  if (name.empty() || name.front() == '\\' || name.front() == '/') return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == ':') return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("\\/", start);
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return false;
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
