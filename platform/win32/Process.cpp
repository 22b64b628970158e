#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

namespace {

std::wstring ModuleFileName() {
  return GrowingText(
      [](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}

std::wstring_view BaseName(std::wstring_view path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether `token` names the running program: its path or file name, with or without ".exe",
// as a shell or another program writes it first on a command line.
bool NamesThisProgram(std::wstring_view token) {
  const std::wstring module = ModuleFileName();
  const std::wstring_view file = BaseName(module);
  const std::wstring_view given = BaseName(token);
  if (SameIgnoringCase(given, file)) return true;
  constexpr std::wstring_view kSuffix = L".exe";
  return file.size() > kSuffix.size() &&
         SameIgnoringCase(file.substr(file.size() - kSuffix.size()), kSuffix) &&
         SameIgnoringCase(given, file.substr(0, file.size() - kSuffix.size()));
}

}  // namespace

std::string RawCommandLine() {
  const std::wstring_view line = GetCommandLineW();
  // The program name as the system's own argument splitting reads it: up to the closing quote
  // when it starts with one (no escapes), else up to the first blank or tab.
  std::size_t end = 0;
  std::wstring_view program;
  if (!line.empty() && line[0] == L'"') {
    const std::size_t close = line.find(L'"', 1);
    end = close == std::wstring_view::npos ? line.size() : close + 1;
    program = line.substr(1, (close == std::wstring_view::npos ? line.size() : close) - 1);
  } else {
    end = line.find_first_of(L" \t");
    if (end == std::wstring_view::npos) end = line.size();
    program = line.substr(0, end);
  }
  // A parent may hand over its arguments alone ("-client" as the whole command line, as the
  // game client does): a first word that is not this program is kept.
  if (!NamesThisProgram(program)) return Narrow(line);
  std::wstring_view rest = line.substr(end);
  const std::size_t start = rest.find_first_not_of(L" \t");
  return Narrow(start == std::wstring_view::npos ? std::wstring_view() : rest.substr(start));
}

std::string ExecutableFileName() {
  return Narrow(BaseName(ModuleFileName()));
}

std::string UserProfileFolder() {
  return Narrow(GrowingText([](wchar_t* buffer, DWORD size) {
    return GetEnvironmentVariableW(L"USERPROFILE", buffer, size);
  }));
}

std::string CurrentDirectory() {
  return Narrow(
      GrowingText([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); }));
}

bool AcquireNamedMutex(const std::string& name) {
  // The handles stay open to the end of the process: closing the last one would free the name.
  static std::mutex guard;
  static std::map<std::string, HANDLE> held;
  std::lock_guard<std::mutex> lock(guard);
  if (held.count(name) != 0) return true;

  // Ownership belongs to the calling thread; the launcher takes it on its user-interface
  // thread, which lives as long as the process.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, Widen(name).c_str());
  if (mutex == nullptr) {
    // A mutex of that name that we may not open belongs to another instance (another user's
    // or an elevated one); any other failure says nothing about other instances.
    return GetLastError() != ERROR_ACCESS_DENIED;
  }
  // With ERROR_ALREADY_EXISTS the ownership asked for above was not granted; the wait takes it
  // unless a running instance holds it. An abandoned mutex lost its holder: ours now.
  const DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return false;
  }
  held.emplace(name, mutex);
  return true;
}

void ExitProcessNow(int code) {
  // A console front end's last line must not die in a buffer.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace platform
