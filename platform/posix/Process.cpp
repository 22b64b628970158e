#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>

#include "Open.h"
#include "Platform.h"

extern char** environ;

namespace platform {

namespace {

std::string ReadWholeFile(const char* path) {
  std::string bytes;
  const int fd = OpenDescriptor(path, O_RDONLY);
  if (fd < 0) return bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return bytes;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything the child needs is prepared before fork(): between fork and
// exec a multi-threaded process may only make async-signal-safe calls.
struct Launch {
  std::string program;
  std::vector<std::string> arguments;  // argv[0] first
  bool idlePriority = false;
};

[[noreturn]] void RunChild(const Launch& launch, char* const* argv, int devNull, int errorPipe) {
  // The program must not inherit our terminal, our pipes (a caller reading
  // our output to its end would wait for it) or signal settings.
  ::setsid();
  ::dup2(devNull, STDIN_FILENO);
  ::dup2(devNull, STDOUT_FILENO);
  ::dup2(devNull, STDERR_FILENO);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
  if (launch.idlePriority) ::setpriority(PRIO_PROCESS, 0, 19);

  ::execve(launch.program.c_str(), argv, environ);
  const int code = errno;
  ssize_t ignored = ::write(errorPipe, &code, sizeof code);
  (void)ignored;
  ::_exit(127);
}

// With our own standard handles closed, a new descriptor can land on 0 to 2,
// where the child's redirection would overwrite it; moves it above them.
int AboveStandard(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

// Starts the program as a grandchild whose parent has already ended, so it is
// adopted by init: no zombie here, and it outlives us. A close-on-exec pipe
// tells whether execve succeeded.
bool SpawnDetached(const Launch& launch) {
  std::vector<char*> argv;
  for (const std::string& argument : launch.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  const int devNull = AboveStandard(OpenDescriptor("/dev/null", O_RDWR));
  if (devNull < 0) return false;
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    ::close(devNull);
    return false;
  }
  errorPipe[0] = AboveStandard(errorPipe[0]);
  errorPipe[1] = AboveStandard(errorPipe[1]);
  if (errorPipe[0] < 0 || errorPipe[1] < 0) {
    for (const int fd : {devNull, errorPipe[0], errorPipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return false;
  }

  const pid_t middle = ::fork();
  if (middle == 0) {
    ::close(errorPipe[0]);
    const pid_t grandchild = ::fork();
    if (grandchild == 0) RunChild(launch, argv.data(), devNull, errorPipe[1]);
    if (grandchild < 0) {
      const int code = errno;
      ssize_t ignored = ::write(errorPipe[1], &code, sizeof code);
      (void)ignored;
    }
    ::_exit(0);
  }
  ::close(errorPipe[1]);
  ::close(devNull);
  if (middle < 0) {
    ::close(errorPipe[0]);
    return false;
  }
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }

  // End of file without data: the pipe was closed by a successful execve.
  int code = 0;
  ssize_t n;
  do {
    n = ::read(errorPipe[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  ::close(errorPipe[0]);
  return n == 0;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// The PATH search is done here rather than by execvp so that the child only
// calls execve, and a missing opener is known before anything is forked.
std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = end == start ? "." : folders.substr(start, end - start);
    start = end + 1;
    const std::string candidate = folder + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(" \t", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::string RawCommandLine() {
  const std::string bytes = ReadWholeFile("/proc/self/cmdline");
  // NUL-terminated arguments; the first is the program.
  std::size_t start = bytes.find('\0');
  if (start == std::string::npos) return {};
  ++start;
  std::string line;
  bool first = true;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    if (!first) line += ' ';
    line.append(bytes, start, end - start);
    first = false;
    start = end + 1;
  }
  return line;
}

std::string ExecutableFileName() {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return BaseName(program_invocation_name);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  // The running file has been replaced (a self-update) or removed.
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) {
    target.resize(target.size() - kDeleted.size());
  }
  return BaseName(target);
}

std::string UserProfileFolder() {
  for (const char* variable : {"USERPROFILE", "HOME"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

std::string CurrentDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool AcquireNamedMutex(const std::string& name) {
  // A Windows mutex is recursive for its owner; a second flock through a new
  // descriptor would conflict with our own lock instead.
  static std::mutex guard;
  static std::map<std::string, int> held;
  std::lock_guard<std::mutex> lock(guard);
  if (held.count(name) != 0) return true;

  std::string fileName = name;
  std::replace(fileName.begin(), fileName.end(), '/', '_');
  std::replace(fileName.begin(), fileName.end(), '\0', '_');
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
  const std::string path = folder + "/" + fileName + ".lock";

  const int fd = OpenDescriptor(path.c_str(), O_RDWR | O_CREAT, 0600);
  // An unusable lock folder says nothing about other instances; refusing to
  // start because of it would be worse than a rare second instance.
  if (fd < 0) return true;
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return !busy;
  }
  // Kept open to the end of the process: closing it would release the lock.
  held.emplace(name, fd);
  return true;
}

void ExitProcessNow(int code) {
  // A console front end's last line must not die in a buffer.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

void SetCurrentThreadName(const std::string& name) {
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

void SetCurrentThreadLowestPriority() {
  // THREAD_PRIORITY_LOWEST is two of the seven thread steps below normal,
  // the strongest demotion short of idle. nice 10 (the nice command's own
  // default) gives such a thread about a tenth of a normal thread's share
  // while 19 stays for idle work. Done once per thread, like the absolute
  // Windows setting, so a second call does not lower it further.
  thread_local bool lowered = false;
  if (lowered) return;
  lowered = true;
  const pid_t thread = ::gettid();
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  if (current == -1 && errno != 0) return;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), std::min(current + 10, 19));
}

bool ShellOpen(const std::string& target, const std::string& parameters) {
  Launch launch;
  if (IsExecutableFile(target)) {
    launch.program = target;
    launch.arguments.push_back(target);
    for (std::string& piece : SplitAtBlanks(parameters))
      launch.arguments.push_back(std::move(piece));
  } else {
    launch.program = FindInPath("xdg-open");
    if (launch.program.empty()) return false;
    launch.arguments = {"xdg-open", target};
  }
  return SpawnDetached(launch);
}

bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool idlePriority) {
  if (program.empty()) return false;
  Launch launch;
  launch.program = program;
  launch.arguments.push_back(program);
  launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
  launch.idlePriority = idlePriority;
  return SpawnDetached(launch);
}

bool StartHandOverScript(const std::string& batchScript, const std::string& shellScript) {
  std::string path = batchScript;
  const std::string suffix = ".cmd";
  if (path.size() >= suffix.size() &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
    path.resize(path.size() - suffix.size());
  }
  path += ".sh";
  try {
    // Never a half-written script for /bin/sh to run.
    ReplaceFileContents(path, shellScript);
  } catch (const SystemError&) {
    return false;
  }
  return StartDetachedProcess("/bin/sh", {path}, true);
}

}  // namespace platform
