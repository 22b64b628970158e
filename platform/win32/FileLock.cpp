#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <thread>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

namespace {

constexpr std::chrono::milliseconds kRetry{20};

// A plain file at `path`, never reached through a reparse point there; nullptr otherwise.
HANDLE OpenLockFile(const std::string& path) {
  std::wstring wide;
  try {
    wide = WidePath(path);
  } catch (...) {
    return nullptr;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which is then refused below.
  HANDLE h =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // An existing lock file in a folder we may not write still serves.
    h = CreateFileW(wide.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

}  // namespace

FileLock FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait) {
  FileLock lock;
  HANDLE h = OpenLockFile(path);
  if (h == nullptr) return lock;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED at{};
    // One byte at offset 0 stands for the whole folder.
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      lock.handle_ = h;
      return lock;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(kRetry);
  }
  CloseHandle(h);
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the handle releases its locks.
  if (handle_ != nullptr) CloseHandle(handle_);
}

bool FileLock::isLocked() const noexcept {
  return handle_ != nullptr;
}

}  // namespace platform
