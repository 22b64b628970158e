#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "Platform.h"
#include "Utf16.h"

namespace platform {
namespace {

constexpr UINT kInterruptedExitCode = 130;

// The handler runs on a thread of its own that the system starts for each event.
std::atomic<int> interrupts{0};

// Read once before the handler is installed, as on POSIX.
bool stderrTerminal = false;

// Counts Ctrl+C and Ctrl+Break; the second ends the process at once.
void Interrupted() {
  if (interrupts.fetch_add(1) > 0) {
    if (stderrTerminal) {
      // Ends a progress line that may be half drawn, so the shell's prompt starts clean.
      DWORD written = 0;
      (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\n", 1, &written, nullptr);
    }
    TerminateProcess(GetCurrentProcess(), kInterruptedExitCode);
  }
}

bool counting = false;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing, logoff
  Interrupted();
  return TRUE;
}

// Set by the handler that stands in while a secret is read.
HANDLE secretInterrupt = nullptr;
std::atomic<DWORD> secretEvent{0};

BOOL WINAPI OnSecretControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  secretEvent = event;
  SetEvent(secretInterrupt);
  return TRUE;
}

// While it lives, Ctrl+C and Ctrl+Break end the read instead of the process, which would leave
// the echo off; once it is gone (the echo restored), the interrupt takes its course: counted
// under CountInterrupts, else the end of the process as the system's own handler ends it.
class InterruptsDeferred {
 public:
  InterruptsDeferred() {
    secretEvent = 0;
    secretInterrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    installed_ = secretInterrupt != nullptr && SetConsoleCtrlHandler(OnSecretControl, TRUE);
  }
  ~InterruptsDeferred() {
    if (installed_) SetConsoleCtrlHandler(OnSecretControl, FALSE);
    if (secretInterrupt != nullptr) CloseHandle(secretInterrupt);
    secretInterrupt = nullptr;
    if (secretEvent == 0) return;
    if (counting) {
      Interrupted();
    } else {
      TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
  }
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;

  // Whether an interrupt ended the read: the system aborts the read before the handler's
  // thread runs, so that is waited for a little.
  bool Came() const {
    return secretInterrupt != nullptr &&
           WaitForSingleObject(secretInterrupt, 1000) == WAIT_OBJECT_0;
  }

 private:
  bool installed_ = false;
};

// One console handle, closed on destruction.
class ConsoleHandle {
 public:
  explicit ConsoleHandle(const wchar_t* name)
      : handle_(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~ConsoleHandle() {
    if (ok()) CloseHandle(handle_);
  }
  ConsoleHandle(const ConsoleHandle&) = delete;
  ConsoleHandle& operator=(const ConsoleHandle&) = delete;

  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The console's input with its echo off, restored however the read ends.
class SilentConsole {
 public:
  SilentConsole() : input_(L"CONIN$"), output_(L"CONOUT$") {
    if (!input_.ok() || !output_.ok() || !GetConsoleMode(input_.get(), &saved_)) return;
    const DWORD quiet = (saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                        ENABLE_PROCESSED_INPUT;
    silenced_ = SetConsoleMode(input_.get(), quiet) != 0;
  }
  ~SilentConsole() {
    if (silenced_) SetConsoleMode(input_.get(), saved_);
  }
  SilentConsole(const SilentConsole&) = delete;
  SilentConsole& operator=(const SilentConsole&) = delete;

  bool usable() const { return silenced_; }
  HANDLE input() const { return input_.get(); }

  bool Write(const std::wstring& text) const {
    DWORD written = 0;
    return text.empty() || WriteConsoleW(output_.get(), text.data(),
                                         static_cast<DWORD>(text.size()), &written, nullptr);
  }

 private:
  ConsoleHandle input_;
  ConsoleHandle output_;
  DWORD saved_ = 0;
  bool silenced_ = false;
};

}  // namespace

std::optional<std::string> ReadTerminalSecret(const std::string& prompt) {
  // Declared first, so that it goes last: the echo is back before an interrupt takes effect.
  const InterruptsDeferred deferred;
  const SilentConsole console;
  if (!console.usable() || !console.Write(Widen(prompt))) return std::nullopt;
  std::wstring line;
  for (;;) {
    wchar_t buffer[256];
    DWORD got = 0;
    const BOOL read = ReadConsoleW(console.input(), buffer, 256, &got, nullptr);
    // A Ctrl+C ends the read with nothing, as it does the end of the input.
    if (!read || got == 0) {
      if (deferred.Came()) console.Write(L"\r\n");  // the line the echo would have ended
      return std::nullopt;
    }
    line.append(buffer, got);
    if (line.back() == L'\n') break;
  }
  // The line end the echo would have shown.
  console.Write(L"\r\n");
  line.pop_back();
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  return Narrow(line);
}

bool StderrIsTerminal() {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  // A pipe or a file has no console mode.
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void CountInterrupts() {
  stderrTerminal = StderrIsTerminal();
  counting = true;
  // A process started in a new process group begins with Ctrl+C ignored; it is counted here.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

int InterruptCount() {
  return interrupts.load();
}

namespace {

bool StandardHandleOpen(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// The C stream `stream` on the console device `device`, and the standard handle `which` with
// it, so that both the C library and the system calls reach the console.
void ReopenOn(const char* device, const char* mode, FILE* stream, DWORD which) {
  if (std::freopen(device, mode, stream) == nullptr) return;
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  if (handle != -1) SetStdHandle(which, reinterpret_cast<HANDLE>(handle));
}

}  // namespace

bool AttachStartingConsole() {
  const bool output = StandardHandleOpen(STD_OUTPUT_HANDLE);
  const bool error = StandardHandleOpen(STD_ERROR_HANDLE);
  if (output && error) return true;
  // A program of the window subsystem gets no console; the one it was started from, if any,
  // is there to be attached.
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  if (!output) ReopenOn("CONOUT$", "w", stdout, STD_OUTPUT_HANDLE);
  if (!error) ReopenOn("CONOUT$", "w", stderr, STD_ERROR_HANDLE);
  if (!StandardHandleOpen(STD_INPUT_HANDLE)) ReopenOn("CONIN$", "r", stdin, STD_INPUT_HANDLE);
  return true;
}

}  // namespace platform
