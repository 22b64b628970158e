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
//             "failed" and leaves through ExitProcessNow(0)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"

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
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
  }
  if (probe == "lock" && argc >= 2) {
    const platform::FileLock lock = platform::FileLock::Acquire(argv[1], {});
    std::printf("%s\n", lock.isLocked() ? "held" : "busy");
    std::fflush(stdout);
    char c;
    while (lock.isLocked() && ::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
  }
  if (probe == "spawn" && argc >= 2) {
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    const bool started = platform::StartDetachedProcess(argv[1], arguments, false);
    std::printf("%s\n", started ? "started" : "failed");
    platform::ExitProcessNow(0);
  }
  std::fprintf(stderr, "unknown KESTRUNE_PROBE mode\n");
  return 2;
}
