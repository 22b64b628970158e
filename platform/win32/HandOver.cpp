#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include "Platform.h"

namespace platform {

bool StartHandOverScript(const std::string& batchScript, const std::string& /*shellScript*/) {
  std::wstring commandLine;
  if (!batchScript.empty()) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, batchScript.data(),
                                      static_cast<int>(batchScript.size()), nullptr, 0);
    commandLine.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, batchScript.data(), static_cast<int>(batchScript.size()),
                        commandLine.data(), n);
  }
  // CreateProcessW may write into its command line.
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace platform
