#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "Platform.h"
#include "Utf16.h"

namespace platform {

namespace {

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (n > 0 && text != nullptr) {
    result = Narrow(std::wstring_view(text, n));
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  }
  if (text != nullptr) LocalFree(text);
  return result;
}

[[noreturn]] void ThrowLast() {
  const DWORD code = GetLastError();
  std::string text = ErrorText(code);
  throw SystemError(text, static_cast<int>(code), text);
}

HANDLE OpenOrThrow(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  HANDLE h = CreateFileW(Widen(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLast();
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
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLast();
  file.handle_ = h;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) ThrowLast();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    ThrowLast();
  }
  if (info.nNumberOfLinks != 1) {
    SetLastError(ERROR_TOO_MANY_LINKS);
    ThrowLast();
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
  if (!ReadFile(handle_, buffer, want, &got, nullptr)) ThrowLast();
  return got;
}

void File::Write(const void* buffer, std::size_t count) {
  auto* bytes = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(handle_, bytes, want, &put, nullptr)) ThrowLast();
    if (put == 0) {
      SetLastError(ERROR_DISK_FULL);
      ThrowLast();
    }
    bytes += put;
    count -= put;
  }
}

std::uint64_t File::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_, &size)) ThrowLast();
  return static_cast<std::uint64_t>(size.QuadPart);
}

void File::Seek(std::uint64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(position);
  if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) ThrowLast();
}

void File::Flush() {
  if (!FlushFileBuffers(handle_)) ThrowLast();
}

void File::Close() {
  if (handle_ == nullptr) return;
  HANDLE h = handle_;
  handle_ = nullptr;
  if (!CloseHandle(h)) ThrowLast();
}

std::string NativePath(std::string path) {
  return path;  // "\\" is already the native separator
}

bool RemoveFile(const std::string& path) noexcept {
  try {
    return DeleteFileW(Widen(path).c_str()) != 0;
  } catch (...) {
    return false;
  }
}

void ReplaceFile(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLast();
  }
}

bool IsLinkOrReparsePoint(const std::string& path) {
  try {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  } catch (...) {
    return false;
  }
}

bool CreateFolder(const std::string& path) noexcept {
  try {
    return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0;
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
  if (!GetDiskFreeSpaceExW(Widen(folder).c_str(), &available, nullptr, nullptr)) ThrowLast();
  return available.QuadPart;
}

void CheckReplaceable(const std::string& path) {
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;  // missing: a new file will do
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetLastError(ERROR_ACCESS_DENIED);
    ThrowLast();
  }
  // Held open without sharing by another program: the open fails now rather
  // than the replacement after all the decoding.
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLast();
  CloseHandle(h);
}

}  // namespace platform
