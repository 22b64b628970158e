#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, whose types they use.
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

namespace {

// One argument as the C runtime's (and CommandLineToArgvW's) splitting reads it back: quoted
// when it is empty or holds a blank, tab or quote; a quote and the backslashes right before a
// quote or the closing quote are escaped with backslashes.
void AppendQuoted(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count double only before a quote, which gets one of its own.
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// COM on the calling thread for as long as the object lives, as ShellExecuteW wants it for
// the shell extensions that open URLs and documents. A thread that already has COM in another
// mode keeps it.
class ComForShell {
 public:
  ComForShell()
      : initialized_(
            SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
  }
  ~ComForShell() {
    if (initialized_) CoUninitialize();
  }
  ComForShell(const ComForShell&) = delete;
  ComForShell& operator=(const ComForShell&) = delete;

 private:
  bool initialized_;
};

}  // namespace

bool ShellOpen(const std::string& target, const std::string& parameters) {
  const std::wstring file = Widen(target);
  const std::wstring given = Widen(parameters);
  const ComForShell com;
  // No working directory: a program started this way inherits ours.
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", file.c_str(), given.empty() ? nullptr : given.c_str(),
                    nullptr, SW_SHOWNORMAL));
  // Values above 32 mean success.
  return result > 32;
}

bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool idlePriority) {
  if (program.empty()) return false;
  const std::wstring application = Widen(program);
  std::wstring line;
  AppendQuoted(line, application);
  for (const std::string& argument : arguments) {
    line += L' ';
    AppendQuoted(line, Widen(argument));
  }
  // CreateProcessW may write into its command line.
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No console of ours (nor its Ctrl+C), none of our handles; the application name is given, so
  // nothing is searched for.
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  if (idlePriority) flags |= IDLE_PRIORITY_CLASS;
  if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE, flags, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace platform
