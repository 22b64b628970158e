#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "Open.h"
#include "Platform.h"

namespace platform {

namespace {

constexpr std::chrono::milliseconds kRetry{20};

// A plain file at `path`, never reached through a link there; -1 otherwise.
int OpenLockFile(const std::string& path) {
  // O_NONBLOCK: a FIFO of that name must not hold the open.
  const int flags = O_NOFOLLOW | O_NONBLOCK;
  int fd = OpenDescriptor(path.c_str(), O_RDWR | O_CREAT | flags, 0644);
  // flock works on a file opened for reading too: an existing lock file in a folder we may
  // not write still serves.
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = OpenDescriptor(path.c_str(), O_RDONLY | flags);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

FileLock FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait) {
  FileLock lock;
  const int fd = OpenLockFile(path);
  if (fd < 0) return lock;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lock.fd_ = fd;
      return lock;
    }
    const bool busy = errno == EWOULDBLOCK || errno == EINTR;
    if (!busy || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kRetry);
  }
  ::close(fd);
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the only descriptor of the open file releases the lock.
  if (fd_ >= 0) ::close(fd_);
}

bool FileLock::isLocked() const noexcept {
  return fd_ >= 0;
}

}  // namespace platform
