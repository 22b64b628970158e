#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "Open.h"
#include "Platform.h"

namespace platform {

namespace {

[[noreturn]] void ThrowLast() {
  const int code = errno;
  std::string text = std::strerror(code);
  throw SystemError(text, code, text);
}

int OpenOrThrow(const std::string& path, int flags) {
  const int fd = OpenDescriptor(path.c_str(), flags, 0666);
  if (fd < 0) ThrowLast();
  // open() succeeds on directories for reading; a directory is not a file.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    ThrowLast();
  }
  return fd;
}

}  // namespace

File File::OpenRead(const std::string& path, Share) {
  File file;
  file.fd_ = OpenOrThrow(path, O_RDONLY);
  return file;
}

File File::Create(const std::string& path) {
  File file;
  file.fd_ = OpenOrThrow(path, O_RDWR | O_CREAT | O_TRUNC);
  return file;
}

File File::CreateNew(const std::string& path) {
  File file;
  // O_EXCL also refuses a link at path, dangling or not.
  file.fd_ = OpenOrThrow(path, O_RDWR | O_CREAT | O_EXCL);
  return file;
}

File File::OpenPlainForWrite(const std::string& path) {
  File file;
  file.fd_ = OpenDescriptor(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
  if (file.fd_ < 0) ThrowLast();
  struct stat st;
  if (::fstat(file.fd_, &st) != 0) ThrowLast();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    ThrowLast();
  }
  if (st.st_nlink != 1) {
    errno = EMLINK;
    ThrowLast();
  }
  // Only opening a FIFO or device needed not to block.
  const int flags = ::fcntl(file.fd_, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) ThrowLast();
  return file;
}

File::File(File&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

bool File::isOpen() const noexcept {
  return fd_ >= 0;
}

std::size_t File::Read(void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) ThrowLast();
  }
}

void File::Write(const void* buffer, std::size_t count) {
  auto* bytes = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    const ssize_t n = ::write(fd_, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLast();
    }
    if (n == 0) {
      errno = ENOSPC;
      ThrowLast();
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
}

std::uint64_t File::Size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) ThrowLast();
  return static_cast<std::uint64_t>(st.st_size);
}

void File::Seek(std::uint64_t position) {
  if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) ThrowLast();
}

void File::Flush() {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) ThrowLast();
  }
}

void File::Close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) ThrowLast();
}

std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool RemoveFile(const std::string& path) noexcept {
  return ::unlink(path.c_str()) == 0;
}

void ReplaceFile(const std::string& from, const std::string& to) {
  struct stat st;
  if (::stat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    ::chmod(from.c_str(), st.st_mode & 07777);
  }
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowLast();
}

std::uint64_t FreeSpace(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) ThrowLast();
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

PathKind GetPathKind(const std::string& path) {
  struct stat st;
  // Like GetFileAttributesW, anything that cannot be examined (a dangling
  // link, a folder we may not search) is reported as missing.
  if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
  return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::File;
}

bool IsReadOnly(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

void ClearReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) ThrowLast();
  if ((st.st_mode & S_IWUSR) != 0) return;
  if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) ThrowLast();
}

bool IsLinkOrReparsePoint(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool CreateFolder(const std::string& path) noexcept {
  return ::mkdir(path.c_str(), 0777) == 0;
}

void CheckReplaceable(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return;  // missing: a new file will do
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    ThrowLast();
  }
}

}  // namespace platform
