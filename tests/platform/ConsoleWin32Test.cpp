// The console calls on Windows, in a child (ConsoleProbe): without a console, and with one of its
// own that it types into and sends Ctrl+C.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Platform.h"

namespace platform {
namespace {

struct Outcome {
  DWORD exitCode = 0;
  std::string output;
};

// Runs the probe with `mode`, its standard output into a pipe read here, and no console of ours.
Outcome RunProbe(const std::wstring& mode) {
  Outcome outcome;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return outcome;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  const std::string probe = KESTRUNE_CONSOLE_PROBE;
  std::wstring command = L"\"" + std::wstring(probe.begin(), probe.end()) + L"\" " + mode;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                      DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (started) {
    char buffer[512];
    for (DWORD n; ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0;) {
      outcome.output.append(buffer, n);
    }
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  return outcome;
}

TEST(ConsoleWin32, WithoutAConsoleNothingIsATerminalAndNoSecretIsRead) {
  const Outcome outcome = RunProbe(L"detached");
  EXPECT_EQ(outcome.exitCode, 0u);
  EXPECT_EQ(outcome.output, "terminal no\nread nothing\n");
}

TEST(ConsoleWin32, TheSecretIsReadFromTheConsoleWithTheEchoOffAndTheModeRestored) {
  const Outcome outcome = RunProbe(L"secret");
  EXPECT_EQ(outcome.exitCode, 0u);
  if (outcome.output.starts_with("input unusable\n")) {
    // Wine without a display gives a console whose handles take no mode: nothing to read from.
    EXPECT_EQ(outcome.output, "input unusable\nread nothing\n");
  } else {
    EXPECT_EQ(outcome.output,
              "input usable\nread [s3cr\xD0\x95t]\necho on\nmode restored\nterminal yes\n");
  }
}

TEST(ConsoleWin32, CtrlCIsCountedAndTheSecondEndsTheProcessWith130) {
  const Outcome outcome = RunProbe(L"interrupts");
  EXPECT_EQ(outcome.exitCode, 130u);
  EXPECT_EQ(outcome.output, "counted 1\n");
}

}  // namespace
}  // namespace platform
