#pragma once
// Runs one of the project's executables as a child process, in a folder of the test's, with
// a controlled environment and its output streams captured in files.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildEnvironment.h"
#include "TestSupport.h"

namespace kestrune::test {

struct ChildResult {
  int exitCode = -1;  // -1: killed after the time limit or by a signal
  std::string out;
  std::string err;
  std::vector<std::string> OutLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// Where the child's stdout and stderr go.
enum class Streams {
  Files,     // two files: ChildResult::out and ::err
  Terminal,  // one raw pseudo-terminal for both, as a player's console: all in ChildResult::out
};

class Child {
 public:
  // `env` overrides this process's environment; a nullopt value removes the variable.
  // DISPLAY and WAYLAND_DISPLAY are always removed. `scratch` holds the captured streams.
  Child(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
        const std::map<std::string, std::optional<std::string>>& env,
        const std::filesystem::path& scratch, Streams streams = Streams::Files)
      : outPath_(scratch / ("child-out-" + std::to_string(++count_))),
        errPath_(scratch / ("child-err-" + std::to_string(count_))) {
    int terminal = -1;
    if (streams == Streams::Terminal) terminal = OpenTerminal();
    std::vector<std::string> envStrings = ChildEnvironment(env);
    // Everything the child needs is built before fork: only async-signal-safe calls after it.
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string dir = cwd.string(), out = outPath_.string(), err = errPath_.string();
    pid_ = fork();
    if (pid_ == 0) {
      const int o =
          terminal >= 0 ? terminal : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e =
          terminal >= 0 ? terminal : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || ::chdir(dir.c_str()) != 0) _exit(127);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    if (terminal >= 0) {
      ::close(terminal);
      // The master reports an error once the child and everything it started closed the
      // terminal; until then its bytes are kept as they come, so the child never blocks.
      reader_ = std::thread([this] {
        char buffer[4096];
        for (;;) {
          const ssize_t n = ::read(master_, buffer, sizeof buffer);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) return;
          std::lock_guard<std::mutex> lock(mutex_);
          transcript_.append(buffer, static_cast<std::size_t>(n));
        }
      });
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) ::close(master_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Signal(int signal) { ::kill(pid_, signal); }
  std::string OutSoFar() {
    if (master_ < 0) return ReadFileOrEmpty(outPath_);
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_;
  }

  ChildResult Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    ChildResult result;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reaped_ = true;
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (master_ >= 0) {
      reader_.join();
      result.out = transcript_;
    } else {
      result.out = ReadFileOrEmpty(outPath_);
      result.err = ReadFileOrEmpty(errPath_);
    }
    return result;
  }

 private:
  // Opens a pseudo-terminal in raw mode (no "\r" added to line ends) and returns its child
  // side; the parent side is kept in master_. Throws std::runtime_error.
  int OpenTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || ::grantpt(master_) != 0 ||
        ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    const int child = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    termios mode{};
    if (child < 0 || ::tcgetattr(child, &mode) != 0) throw std::runtime_error("no pseudo-terminal");
    ::cfmakeraw(&mode);
    ::tcsetattr(child, TCSANOW, &mode);
    return child;
  }

  static std::string ReadFileOrEmpty(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec) ? ReadFile(path.string()) : std::string();
  }

  static inline int count_ = 0;
  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int master_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string transcript_;
};

inline ChildResult RunChild(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                            const std::map<std::string, std::optional<std::string>>& env,
                            const std::filesystem::path& scratch) {
  Child child(argv, cwd, env, scratch);
  return child.Wait();
}

// Every regular file below `root` by its relative path, with its bytes.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) {
      tree[e.path().lexically_relative(root).generic_string()] = ReadFile(e.path().string());
    }
  }
  return tree;
}

}  // namespace kestrune::test
