// The host's shell for the tests. Under Wine a Linux program started with CreateProcessW gets
// no process handle and none of the standard handles given to it, so the shell itself sends
// the output to a file and leaves its exit status in another as the last thing it does.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "TestSupport.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "win32/Utf16.h"
#else
#include <sys/wait.h>
#endif

namespace kestrune::test {

#ifdef _WIN32

namespace {

// One argument of a command line as CommandLineToArgvW splits it, which is also how Wine
// turns the command line into the argv of a Linux program.
std::string QuoteArgument(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ShellRun {
  int status = -1;
  std::string output;
};

ShellRun RunShell(const std::string& command, bool keepOutput) {
  static std::atomic<int> counter{0};
  const std::filesystem::path folder =
      ScratchBase() /
      ("kestrune-shell-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(folder);
  const std::string out = HostPath(folder / "out");
  const std::string done = HostPath(folder / "done");
  const std::string script = "(" + command + ") >" + (keepOutput ? ShellQuote(out) : "/dev/null") +
                             " 2>/dev/null; echo $? >" + ShellQuote(done + ".tmp") + " && mv " +
                             ShellQuote(done + ".tmp") + " " + ShellQuote(done);
  std::wstring line = platform::Widen("/bin/sh -c " + QuoteArgument(script));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ShellRun run;
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                     nullptr, &startup, &process)) {
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    // Generous: some oracles sum or pack tens of megabytes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!std::filesystem::exists(folder / "done") &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string status = Slurp(folder / "done");
    if (!status.empty()) run.status = std::atoi(status.c_str());
    if (keepOutput) run.output = Slurp(folder / "out");
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return run;
}

}  // namespace

std::filesystem::path ScratchBase() {
  // GetTempPathW points into the Wine prefix, which the host reaches by another path.
  const char* host = std::getenv("TMPDIR");
  std::string base = host != nullptr && host[0] == '/' ? host : "/tmp";
  for (char& c : base) {
    if (c == '/') c = '\\';
  }
  return std::filesystem::path(platform::Widen("Z:" + base));
}

std::string HostPath(const std::filesystem::path& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  static const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  if (unixName == nullptr) throw std::runtime_error("the host's tools need Wine");
  char* name = unixName(std::filesystem::absolute(path).wstring().c_str());
  if (name == nullptr) throw std::runtime_error("no host path for " + path.string());
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::string CommandOutput(const std::string& command) {
  return RunShell(command, true).output;
}

int CommandStatus(const std::string& command) {
  return RunShell(command, false).status;
}

#else

std::filesystem::path ScratchBase() {
  return std::filesystem::temp_directory_path();
}

std::string HostPath(const std::filesystem::path& path) {
  return path.string();
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

int CommandStatus(const std::string& command) {
  // In a group of its own, so that the command's own redirections still hold.
  const int status = std::system(("{ " + command + "\n} >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

}  // namespace kestrune::test
