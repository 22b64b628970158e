// A small program the platform tests run as a child, under names of their
// choosing, to observe what the process functions report from inside it.
// KESTRUNE_PROBE selects what it does, so that its arguments stay free:
//   identity  prints RawCommandLine() and ExecutableFileName(), one a line
//   mutex     takes the mutex named after its file name; prints "held" and
//             waits for the end of its input, or prints "busy" and leaves
//             through ExitProcessNow(0)
//   lock      takes the FileLock on argv[1] without waiting; prints "held" and
//             waits for the end of its input, or prints "busy"
//   spawn     StartDetachedProcess(argv[1], argv[2...]); prints "started" or
//             "failed" and leaves through ExitProcessNow(0). The program it starts
//             sees KESTRUNE_PROBE set to KESTRUNE_PROBE_THEN, when that is set.
//   record    (Windows) waits KESTRUNE_PROBE_DELAY milliseconds, then writes what it
//             sees of how it was started into the file KESTRUNE_PROBE_OUT, whole or
//             not at all: each argument as "[arg]" on a line, then "name=value" lines
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <thread>

#include "Utf16.h"
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"

#ifdef _WIN32
namespace {

std::wstring Variable(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

std::string Record() {
  std::string text;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; argv != nullptr && i < count; ++i) {
    text += "[" + platform::Narrow(argv[i]) + "]\n";
  }
  LocalFree(argv);
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  text += "commandline=" + platform::Narrow(GetCommandLineW()) + "\n";
  text += "cwd=" + platform::CurrentDirectory() + "\n";
  text += "priority=" + std::to_string(GetPriorityClass(GetCurrentProcess())) + "\n";
  text += "startflags=" + std::to_string(startup.dwFlags) + "\n";
  text += "showwindow=" + std::to_string(startup.wShowWindow) + "\n";
  text += "console=" + std::string(GetConsoleWindow() != nullptr ? "yes" : "no") + "\n";
  text +=
      "stdout=" + std::string(output != nullptr && output != INVALID_HANDLE_VALUE ? "yes" : "no") +
      "\n";
  return text;
}

int WriteRecord() {
  const std::wstring delay = Variable(L"KESTRUNE_PROBE_DELAY");
  if (!delay.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(delay)));
  const std::wstring out = Variable(L"KESTRUNE_PROBE_OUT");
  const std::wstring part = out + L".part";
  const std::string text = Record();
  HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  CloseHandle(file);
  return ok && MoveFileExW(part.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}

// Reads standard input to its end.
void Drain() {
  char buffer[256];
  DWORD n = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
  }
}

}  // namespace
#else
namespace {

void Drain() {
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
}

}  // namespace
#endif

int main(int argc, char** argv) {
  const char* mode = std::getenv("KESTRUNE_PROBE");
  const std::string probe = mode != nullptr ? mode : "";
  if (probe == "identity") {
    std::printf("%s\n%s\n", platform::RawCommandLine().c_str(),
                platform::ExecutableFileName().c_str());
    return 0;
  }
  if (probe == "mutex") {
    if (!platform::AcquireNamedMutex(platform::ExecutableFileName())) {
      // Left in the buffer on purpose: ExitProcessNow must flush it.
      std::printf("busy\n");
      platform::ExitProcessNow(0);
    }
    std::printf("held\n");
    std::fflush(stdout);
    Drain();
    return 0;
  }
  if (probe == "lock" && argc >= 2) {
    const platform::FileLock lock = platform::FileLock::Acquire(argv[1], {});
    std::printf("%s\n", lock.isLocked() ? "held" : "busy");
    std::fflush(stdout);
    if (lock.isLocked()) Drain();
    return 0;
  }
  if (probe == "spawn" && argc >= 2) {
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (const char* then = std::getenv("KESTRUNE_PROBE_THEN")) {
#ifdef _WIN32
      SetEnvironmentVariableW(L"KESTRUNE_PROBE", platform::Widen(then).c_str());
#else
      ::setenv("KESTRUNE_PROBE", then, 1);
#endif
    }
    const bool started = platform::StartDetachedProcess(argv[1], arguments, false);
    std::printf("%s\n", started ? "started" : "failed");
    platform::ExitProcessNow(0);
  }
#ifdef _WIN32
  if (probe == "record") return WriteRecord();
#endif
  std::fprintf(stderr, "unknown KESTRUNE_PROBE mode\n");
  return 2;
}
