// A child of the console tests on Windows, started without a console, so that the test process
// keeps whatever it has. Its first argument selects what it does:
//   detached    prints whether its standard error stream is a terminal and what
//               ReadTerminalSecret reads, without any console
// and, with a console of its own (AllocConsole):
//   secret      types "s3cr\u0415t" and Enter into its console's input, reads it with
//               ReadTerminalSecret and prints the line read, whether the console mode came back
//               and whether the standard error stream on the console is a terminal. A console
//               without an input mode (Wine's without a display) only reads nothing.
//   interrupts  CountInterrupts, then Ctrl+C: prints the count; then another, which must end
//               it with exit code 130 before it prints "survived"
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "Platform.h"

namespace {

void Type(HANDLE input, const std::wstring& text) {
  for (const wchar_t c : text) {
    INPUT_RECORD records[2]{};
    for (int k = 0; k < 2; ++k) {
      records[k].EventType = KEY_EVENT;
      records[k].Event.KeyEvent.bKeyDown = k == 0;
      records[k].Event.KeyEvent.wRepeatCount = 1;
      records[k].Event.KeyEvent.wVirtualKeyCode = c == L'\r' ? VK_RETURN : 0;
      records[k].Event.KeyEvent.uChar.UnicodeChar = c;
    }
    DWORD written = 0;
    WriteConsoleInputW(input, records, 2, &written);
  }
}

// Waits up to five seconds for the handler's thread to count.
bool CountReaches(int count) {
  for (int i = 0; i < 500 && platform::InterruptCount() < count; ++i) Sleep(10);
  return platform::InterruptCount() >= count;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  _setmode(_fileno(stdout), _O_BINARY);
  FreeConsole();
  if (mode == "detached") {
    std::printf("terminal %s\n", platform::StderrIsTerminal() ? "yes" : "no");
    const std::optional<std::string> secret = platform::ReadTerminalSecret("Key: ");
    std::printf("read %s\n", secret ? ("[" + *secret + "]").c_str() : "nothing");
    return 0;
  }
  if (!AllocConsole()) {
    std::printf("no console\n");
    return 3;
  }
  if (mode == "secret") {
    HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD before = 0;
    const bool usable = GetConsoleMode(input, &before) != 0;
    std::printf("input %s\n", usable ? "usable" : "unusable");
    if (usable) Type(input, L"s3cr\u0415t\r");
    const std::optional<std::string> secret = platform::ReadTerminalSecret("Key: ");
    std::printf("read %s\n", secret ? ("[" + *secret + "]").c_str() : "nothing");
    if (!usable) return 0;
    DWORD after = 0;
    GetConsoleMode(input, &after);
    std::printf("echo %s\n", (after & ENABLE_ECHO_INPUT) ? "on" : "off");
    std::printf("mode %s\n", after == before ? "restored" : "changed");
    SetStdHandle(STD_ERROR_HANDLE, CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    std::printf("terminal %s\n", platform::StderrIsTerminal() ? "yes" : "no");
    return 0;
  }
  if (mode == "interrupts") {
    platform::CountInterrupts();
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    std::printf("counted %d\n", CountReaches(1) ? platform::InterruptCount() : 0);
    std::fflush(stdout);
    // Ctrl+Break counts alike, but Wine cannot send it to a console without a display.
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    Sleep(5000);
    std::printf("survived\n");
    return 0;
  }
  std::printf("unknown mode\n");
  return 2;
}
