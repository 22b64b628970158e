#pragma once
// The environment of a child process that a test or benchmark starts: this process's own,
// without a display (so the launcher never opens a window), with the caller's overrides.

#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace kestrune::test {

// "NAME=VALUE" strings; a nullopt override removes the variable.
inline std::vector<std::string> ChildEnvironment(
    const std::map<std::string, std::optional<std::string>>& overrides) {
  std::map<std::string, std::optional<std::string>> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  merged.erase("DISPLAY");
  merged.erase("WAYLAND_DISPLAY");
  for (const auto& [name, value] : overrides) merged[name] = value;
  std::vector<std::string> strings;
  for (const auto& [name, value] : merged) {
    if (value) strings.push_back(name + "=" + *value);
  }
  return strings;
}

}  // namespace kestrune::test
