#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "Platform.h"
#include "Utf16.h"
#include "Win32Error.h"

namespace platform {

namespace {

HANDLE OpenOrThrow(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError();
  return h;
}

}  // namespace

File File::OpenRead(const std::string& path, Share share) {
  File file;
  file.handle_ =
      OpenOrThrow(path, GENERIC_READ, share == Share::None ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE,
                  OPEN_EXISTING);
  return file;
}

File File::Create(const std::string& path) {
  File file;
  file.handle_ = OpenOrThrow(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  return file;
}

File File::CreateNew(const std::string& path) {
  File file;
  file.handle_ = OpenOrThrow(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  return file;
}

File File::OpenPlainForWrite(const std::string& path) {
  File file;
  // The reparse point itself is opened, never what it points to.
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError();
  file.handle_ = h;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) ThrowLastError();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ThrowError(ERROR_CANT_ACCESS_FILE);
  }
  if (info.nNumberOfLinks != 1) {
    ThrowError(ERROR_TOO_MANY_LINKS);
  }
  return file;
}

File::File(File&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

File::~File() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

bool File::isOpen() const noexcept {
  return handle_ != nullptr;
}

std::size_t File::Read(void* buffer, std::size_t count) {
  // ReadFile takes 32-bit counts.
  const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  DWORD got = 0;
  if (!ReadFile(handle_, buffer, want, &got, nullptr)) ThrowLastError();
  return got;
}

void File::Write(const void* buffer, std::size_t count) {
  auto* bytes = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(handle_, bytes, want, &put, nullptr)) ThrowLastError();
    if (put == 0) {
      ThrowError(ERROR_DISK_FULL);
    }
    bytes += put;
    count -= put;
  }
}

std::uint64_t File::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_, &size)) ThrowLastError();
  return static_cast<std::uint64_t>(size.QuadPart);
}

void File::Seek(std::uint64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(position);
  if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) ThrowLastError();
}

void File::Flush() {
  if (!FlushFileBuffers(handle_)) ThrowLastError();
}

void File::Close() {
  if (handle_ == nullptr) return;
  HANDLE h = handle_;
  handle_ = nullptr;
  if (!CloseHandle(h)) ThrowLastError();
}

std::string NativePath(std::string path) {
  return path;  // "\\" is already the native separator
}

bool RemoveFile(const std::string& path) noexcept {
  try {
    return DeleteFileW(WidePath(path).c_str()) != 0;
  } catch (...) {
    return false;
  }
}

void ReplaceFile(const std::string& from, const std::string& to) {
  const std::wstring source = WidePath(from);
  const std::wstring target = WidePath(to);
  // The marks of the replaced file go to its successor, as POSIX keeps its permission bits. The
  // read-only mark is not among them: Windows refuses to replace such a file anyway, and a
  // source left read-only after a refusal could not be deleted.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD old = GetFileAttributesW(target.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY)) {
    // What SetFileAttributesW can set at all.
    constexpr DWORD kSettable =
        kKept | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      const DWORD current = attributes & kSettable;
      const DWORD marks = (current & ~kKept) | (old & kKept);
      // Only a change is written; no mark at all is spelt "normal".
      if (marks != current) {
        SetFileAttributesW(source.c_str(), marks == 0 ? FILE_ATTRIBUTE_NORMAL : marks);
      }
    }
  }
  if (!MoveFileExW(source.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLastError();
  }
}

PathKind GetPathKind(const std::string& path) {
  try {
    const std::wstring wide = WidePath(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // The attributes are the link's own: what it leads to is found by opening through it.
      HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (h == INVALID_HANDLE_VALUE) return PathKind::Missing;
      BY_HANDLE_FILE_INFORMATION info;
      const bool known = GetFileInformationByHandle(h, &info) != 0;
      CloseHandle(h);
      if (!known) return PathKind::Missing;
      attributes = info.dwFileAttributes;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
  } catch (const SystemError&) {
    return PathKind::Missing;
  }
}

bool IsReadOnly(const std::string& path) {
  try {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    // A folder's mark only tells Explorer to look for a desktop.ini; it protects nothing.
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_READONLY);
  } catch (const SystemError&) {
    return false;
  }
}

void ClearReadOnly(const std::string& path) {
  const std::wstring wide = WidePath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return;
  // Every other mark (hidden, archive, system) stays; no mark at all is spelt "normal".
  DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(wide.c_str(), cleared)) ThrowLastError();
}

bool IsLinkOrReparsePoint(const std::string& path) {
  try {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  } catch (...) {
    return false;
  }
}

bool CreateFolder(const std::string& path) noexcept {
  try {
    return CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0;
  } catch (...) {
    return false;
  }
}

std::uint64_t FreeSpace(const std::string& path) {
  // GetDiskFreeSpaceExW wants a folder; the one holding `path` lies on the same volume.
  const std::size_t cut = path.find_last_of("\\/");
  const std::string folder =
      cut == std::string::npos ? std::string(".\\") : path.substr(0, cut + 1);
  // The quota-aware figure: what this user may still write.
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(WidePath(folder).c_str(), &available, nullptr, nullptr))
    ThrowLastError();
  return available.QuadPart;
}

void CheckReplaceable(const std::string& path) {
  const std::wstring wide = WidePath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;  // missing: a new file will do
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    ThrowError(ERROR_ACCESS_DENIED);
  }
  // Held open without sharing by another program: the open fails now rather
  // than the replacement after all the decoding.
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError();
  CloseHandle(h);
}

}  // namespace platform
