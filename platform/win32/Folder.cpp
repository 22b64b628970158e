#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <functional>
#include <string>

#include "Platform.h"
#include "Utf16.h"
#include "Win32Error.h"

// Windows resolves names below an open folder handle only through NtCreateFile; until that is
// wanted a Folder keeps its path and each name is joined to it. Links are refused by their
// reparse-point mark, which FILE_FLAG_OPEN_REPARSE_POINT lets the calls see rather than follow.

namespace platform {

namespace {

void CheckOneComponent(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/") != std::string::npos) {
    ThrowError(ERROR_INVALID_NAME);
  }
}

// 100-nanosecond ticks since 1601 as nanoseconds since 1970.
std::int64_t UnixNanoseconds(FILETIME time) {
  const std::int64_t ticks =
      (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;
}

FileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStamp stamp;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.modified = UnixNanoseconds(info.ftLastWriteTime);
  stamp.device = info.dwVolumeSerialNumber;
  stamp.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return stamp;
}

}  // namespace

FileStamp File::Stamp() {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_, &info)) ThrowLastError();
  return StampOf(info);
}

bool File::ReadMapped(std::uint64_t size,
                      const std::function<void(const void*, std::size_t)>& consume) {
  // The file was opened without sharing: nothing can cut it while it is mapped.
  constexpr std::uint64_t kPiece = std::uint64_t{16} << 20;
  if (size == 0) return true;
  HANDLE mapping = CreateFileMappingW(handle_, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  for (std::uint64_t offset = 0; offset < size; offset += kPiece) {
    const auto length = static_cast<SIZE_T>(size - offset < kPiece ? size - offset : kPiece);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                                     static_cast<DWORD>(offset & 0xFFFFFFFFu), length);
    if (view == nullptr) {
      const DWORD code = GetLastError();
      CloseHandle(mapping);
      if (offset == 0) return false;
      ThrowError(code);
    }
    try {
      consume(view, length);
    } catch (...) {
      UnmapViewOfFile(view);
      CloseHandle(mapping);
      throw;
    }
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  return true;
}

Folder Folder::Open(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) ThrowError(ERROR_DIRECTORY);
  Folder folder;
  folder.path_ = path;
  return folder;
}

Folder Folder::OpenFolder(const std::string& name) const {
  CheckOneComponent(name);
  const std::string path = path_ + "\\" + name;
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ThrowError(ERROR_CANT_ACCESS_FILE);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) ThrowError(ERROR_DIRECTORY);
  Folder folder;
  folder.path_ = path;
  return folder;
}

FolderEntry Folder::Examine(const std::string& name) const {
  FolderEntry entry;
  if (name.empty() || name.find_first_of("\\/") != std::string::npos) return entry;
  std::wstring wide;
  try {
    wide = WidePath(path_ + "\\" + name);
  } catch (const SystemError&) {
    return entry;
  }
  // Attributes only, shared with everyone: examining never conflicts with another program.
  HANDLE h = CreateFileW(
      wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return entry;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!known) return entry;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    entry.kind = FolderEntry::Kind::Link;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry.kind = FolderEntry::Kind::Directory;
  } else {
    entry.kind = FolderEntry::Kind::File;
    entry.readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    entry.stamp = StampOf(info);
  }
  return entry;
}

File Folder::OpenRead(const std::string& name, File::Share share) const {
  CheckOneComponent(name);
  HANDLE h =
      CreateFileW(WidePath(path_ + "\\" + name).c_str(), GENERIC_READ,
                  share == File::Share::None ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError();
  File file;
  file.handle_ = h;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) ThrowLastError();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    ThrowError(ERROR_ACCESS_DENIED);
  }
  return file;
}

Folder::Folder(Folder&& other) noexcept : path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  path_ = std::move(other.path_);
  return *this;
}

Folder::~Folder() = default;

}  // namespace platform
