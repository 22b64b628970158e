#include "Open.h"

#include <fcntl.h>

#include <cerrno>

namespace platform {

int OpenDescriptor(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int OpenDescriptorAt(int folder, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(folder, path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace platform
