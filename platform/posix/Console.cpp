#include <signal.h>
#include <unistd.h>

#include <atomic>

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

}  // namespace

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
