#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Open.h"
#include "Platform.h"

namespace platform {

namespace {

[[noreturn]] void ThrowErrno(int code) {
  std::string text = std::strerror(code);
  throw SystemError(text, code, text);
}

// A name of more than one component would be resolved, links and all, past the folder.
void CheckOneComponent(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) ThrowErrno(EINVAL);
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.index = static_cast<std::uint64_t>(st.st_ino);
  return stamp;
}

}  // namespace

FileStamp File::Stamp() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) ThrowErrno(errno);
  return StampOf(st);
}

Folder Folder::Open(const std::string& path) {
  Folder folder;
  folder.fd_ = OpenDescriptor(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (folder.fd_ < 0) ThrowErrno(errno);
  return folder;
}

Folder Folder::OpenFolder(const std::string& name) const {
  CheckOneComponent(name);
  Folder folder;
  // O_NOFOLLOW makes a link there fail (ELOOP) rather than lead anywhere.
  folder.fd_ = OpenDescriptorAt(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (folder.fd_ < 0) ThrowErrno(errno);
  return folder;
}

FolderEntry Folder::Examine(const std::string& name) const {
  FolderEntry entry;
  struct stat st;
  if (name.empty() || name.find('/') != std::string::npos ||
      ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return entry;
  }
  if (S_ISLNK(st.st_mode)) {
    entry.kind = FolderEntry::Kind::Link;
  } else if (S_ISDIR(st.st_mode)) {
    entry.kind = FolderEntry::Kind::Directory;
  } else {
    entry.kind = FolderEntry::Kind::File;
    entry.readOnly = S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
    entry.stamp = StampOf(st);
  }
  return entry;
}

File Folder::OpenRead(const std::string& name, File::Share) const {
  CheckOneComponent(name);
  const int fd = OpenDescriptorAt(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) ThrowErrno(errno);
  File file;
  file.fd_ = fd;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ThrowErrno(EISDIR);
  return file;
}

Folder::Folder(Folder&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform
