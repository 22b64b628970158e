#pragma once
// Sets or clears environment variables for one test and restores them after.

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::test {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) { Set(name, value); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Apply(it->first, it->second);
  }

  // nullopt removes the variable.
  void Set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    Apply(name, value);
  }

 private:
  static void Apply(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // An empty value removes the variable, from the C runtime's copy and the process's.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
#endif
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace kestrune::test
