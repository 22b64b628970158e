#pragma once
// Runs a program as a child process and measures it: wall-clock time, exit code and the
// child's own peak resident memory (from wait4, so the benchmark's memory never counts).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildEnvironment.h"

namespace kestrune::bench {

struct MeasuredRun {
  int exitCode = -1;  // -1: ended by a signal
  double seconds = 0;
  long peakKiB = 0;
};

// `env` is added to this process's environment, DISPLAY and WAYLAND_DISPLAY removed; stdout
// and stderr go to `out` and `err`.
inline MeasuredRun RunMeasured(const std::vector<std::string>& argv,
                               const std::filesystem::path& cwd,
                               const std::map<std::string, std::string>& env,
                               const std::filesystem::path& out, const std::filesystem::path& err) {
  std::vector<std::string> envStrings = test::ChildEnvironment({env.begin(), env.end()});
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string dir = cwd.string(), outPath = out.string(), errPath = err.string();

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::chdir(dir.c_str()) != 0) _exit(127);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  MeasuredRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

}  // namespace kestrune::bench
