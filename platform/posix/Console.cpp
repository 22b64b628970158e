#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>

#include "Open.h"
#include "Platform.h"

namespace platform {
namespace {

// Lock-free, so the handler may touch it and other threads may read it.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Read once before the handler is installed: isatty is not safe inside it.
bool stderrTerminal = false;

void OnInterrupt(int) {
  if (interrupts.fetch_add(1) > 0) {
    // Ends a progress line that may be half drawn, so the shell's prompt starts clean.
    if (stderrTerminal) (void)!write(STDERR_FILENO, "\n", 1);
    _exit(130);
  }
}

// The signal that ended a read of the terminal; 0 while none came.
std::atomic<int> secretSignal{0};

void OnSecretSignal(int signal) {
  secretSignal = signal;
}

// While it lives, Ctrl+C and the like interrupt the read instead of ending the process with
// the echo still off; once it is gone (the terminal restored), the signal takes its course.
// The signals stay blocked but inside WaitForInput, so one that comes between two waits is
// kept pending for the next instead of being missed by a read that then blocks for good.
// The publisher asks before it starts any thread, so no other thread takes the signal.
class SignalsDeferred {
 public:
  SignalsDeferred() {
    secretSignal = 0;
    struct sigaction action {};
    action.sa_handler = OnSecretSignal;
    sigemptyset(&action.sa_mask);
    sigset_t deferred;
    sigemptyset(&deferred);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &action, &saved_[i]);
      sigaddset(&deferred, kSignals[i]);
    }
    pthread_sigmask(SIG_BLOCK, &deferred, &savedMask_);
  }
  ~SignalsDeferred() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &saved_[i], nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    if (const int signal = secretSignal.load(); signal != 0) raise(signal);
  }
  SignalsDeferred(const SignalsDeferred&) = delete;
  SignalsDeferred& operator=(const SignalsDeferred&) = delete;

  // Waits until `fd` can be read or one of the signals came; false for a signal or an error.
  bool WaitForInput(int fd) const {
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ppoll(&p, 1, nullptr, &savedMask_);
      if (secretSignal != 0) return false;
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction saved_[std::size(kSignals)]{};
  sigset_t savedMask_{};
};

// The terminal's descriptor, closed with its echo restored however the read ends.
class SilentTerminal {
 public:
  SilentTerminal() : fd_(OpenDescriptor("/dev/tty", O_RDWR | O_NOCTTY)) {
    if (fd_ < 0 || tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    silenced_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~SilentTerminal() {
    if (silenced_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    if (fd_ >= 0) close(fd_);
  }
  SilentTerminal(const SilentTerminal&) = delete;
  SilentTerminal& operator=(const SilentTerminal&) = delete;

  bool usable() const { return silenced_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  termios saved_{};
  bool silenced_ = false;
};

}  // namespace

std::optional<std::string> ReadTerminalSecret(const std::string& prompt) {
  // Declared first, so that it goes last: the echo is back before a signal ends the process.
  const SignalsDeferred signals;
  const SilentTerminal terminal;
  if (!terminal.usable()) return std::nullopt;
  if (write(terminal.fd(), prompt.data(), prompt.size()) < 0) return std::nullopt;
  std::string line;
  for (char c;;) {
    if (!signals.WaitForInput(terminal.fd())) {
      // The line the echo would have ended.
      if (secretSignal != 0) (void)!write(terminal.fd(), "\n", 1);
      return std::nullopt;
    }
    const ssize_t n = read(terminal.fd(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

void CountInterrupts() {
  stderrTerminal = StderrIsTerminal();
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Reads and waits that the signal interrupts go on; the program acts on the count.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

int InterruptCount() {
  return interrupts.load();
}

}  // namespace platform

namespace platform {

bool AttachStartingConsole() {
  return fcntl(STDOUT_FILENO, F_GETFD) != -1 && fcntl(STDERR_FILENO, F_GETFD) != -1;
}

}  // namespace platform
