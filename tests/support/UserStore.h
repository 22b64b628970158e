#pragma once
// A per-user store of the test's own while the object lives. On POSIX the store is a folder
// under $XDG_CONFIG_HOME, pointed into the test's scratch folder. On Windows it is the registry
// of the Wine prefix, shared by every test: the launcher's key is removed before and after, and
// the files kept beside it go under a %LOCALAPPDATA% in the scratch folder.

#include <filesystem>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "ScopedEnv.h"

namespace kestrune::test {

class FreshUserStore {
 public:
  explicit FreshUserStore(const std::filesystem::path& folder) {
#ifdef _WIN32
    RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherKey);
    env_.Set("LOCALAPPDATA", (folder / "appdata").string());
#else
    env_.Set("XDG_CONFIG_HOME", (folder / "config").string());
#endif
  }
  ~FreshUserStore() {
#ifdef _WIN32
    RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherKey);
#endif
  }
  FreshUserStore(const FreshUserStore&) = delete;
  FreshUserStore& operator=(const FreshUserStore&) = delete;

 private:
#ifdef _WIN32
  static constexpr const wchar_t* kLauncherKey = L"Software\\KestruneUpdaterPts";
#endif
  ScopedEnv env_;
};

}  // namespace kestrune::test
