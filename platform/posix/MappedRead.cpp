#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Platform.h"

namespace platform {

namespace {

constexpr std::uint64_t kPiece = std::uint64_t{16} << 20;

// Where the thread summing a mapped piece goes back to when the file shrinks under it.
thread_local sigjmp_buf* cutFileJump = nullptr;
struct sigaction previousBusAction;

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (cutFileJump != nullptr) siglongjmp(*cutFileJump, 1);
  // Not a mapped read of ours: the fault happens again under the handler there was before.
  ::sigaction(SIGBUS, &previousBusAction, nullptr);
  (void)signal;
  (void)info;
  (void)context;
}

void CatchBusErrors() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousBusAction);
  });
}

[[noreturn]] void ThrowCut() {
  throw SystemError("File ended before its expected size", EIO, "unexpected end of file");
}

// One piece: false when it was cut short under the map.
bool ConsumePiece(const void* data, std::size_t length,
                  const std::function<void(const void*, std::size_t)>& consume) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) {
    cutFileJump = nullptr;
    return false;
  }
  cutFileJump = &jump;
  consume(data, length);
  cutFileJump = nullptr;
  return true;
}

}  // namespace

bool File::ReadMapped(std::uint64_t size,
                      const std::function<void(const void*, std::size_t)>& consume) {
  CatchBusErrors();
  for (std::uint64_t offset = 0; offset < size; offset += kPiece) {
    const auto length = static_cast<std::size_t>(std::min(kPiece, size - offset));
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(offset));
    if (map == MAP_FAILED) {
      if (offset == 0) return false;
      const int code = errno;
      throw SystemError(std::strerror(code), code, std::strerror(code));
    }
    ::madvise(map, length, MADV_SEQUENTIAL);
    const bool whole = ConsumePiece(map, length, consume);
    ::munmap(map, length);
    if (!whole) ThrowCut();
  }
  return true;
}

}  // namespace platform
