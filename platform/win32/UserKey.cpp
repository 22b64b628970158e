#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "Platform.h"
#include "Utf16.h"
#include "Win32Error.h"

namespace platform {

namespace {

HKEY Handle(void* key) {
  return static_cast<HKEY>(key);
}

// The components of a key path given with "\" or "/" separators, the empty ones dropped, and
// whether the first was a leading "Software". "." and ".." are refused, as in the POSIX store,
// where a key is a folder.
struct KeyPath {
  std::vector<std::string> parts;
  bool software = false;
};

KeyPath SplitKeyPath(const std::string& path) {
  KeyPath key;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") ThrowError(ERROR_INVALID_NAME);
    key.parts.push_back(std::move(part));
  }
  key.software = !key.parts.empty() && _stricmp(key.parts.front().c_str(), "Software") == 0;
  return key;
}

// A line break or NUL is refused as in the POSIX store, where it would end the value's line.
void CheckStorable(const std::string& text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    ThrowError(ERROR_INVALID_DATA);
  }
}

// A value name or text as UTF-16; bytes that are not UTF-8 are refused rather than stored as
// replacement characters.
std::wstring StorableText(const std::string& text) {
  CheckStorable(text);
  std::wstring wide;
  if (!ToUtf16(text, CP_UTF8, MB_ERR_INVALID_CHARS, wide)) ThrowError(ERROR_NO_UNICODE_TRANSLATION);
  return wide;
}

std::optional<std::wstring> ReadableName(const std::string& name) {
  std::wstring wide;
  if (!ToUtf16(name, CP_UTF8, MB_ERR_INVALID_CHARS, wide) ||
      wide.find(L'\0') != std::wstring::npos) {
    return std::nullopt;
  }
  return wide;
}

// Creates `folder` and every missing folder above it.
void CreateFolders(const std::wstring& folder) {
  if (CreateDirectoryW(folder.c_str(), nullptr)) return;
  DWORD code = GetLastError();
  if (code == ERROR_PATH_NOT_FOUND) {
    const std::size_t cut = folder.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 0) {
      CreateFolders(folder.substr(0, cut));
      if (CreateDirectoryW(folder.c_str(), nullptr)) return;
      code = GetLastError();
    }
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  // A file of that name is in the way.
  ThrowError(code == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : code);
}

}  // namespace

std::string UserKeyFolder(const std::string& path) {
  const KeyPath key = SplitKeyPath(path);
  const std::wstring base = GrowingText([](wchar_t* buffer, DWORD size) {
    return GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, size);
  });
  if (base.empty()) ThrowError(ERROR_ENVVAR_NOT_FOUND);
  std::string folder = Narrow(base);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  // Every key the program uses lives under "Software", which would only add an empty level.
  for (std::size_t i = key.software ? 1 : 0; i < key.parts.size(); ++i) {
    folder += "\\" + key.parts[i];
  }
  CreateFolders(WidePath(folder));
  return folder;
}

UserKey UserKey::OpenOrCreate(const std::string& path) {
  const KeyPath parts = SplitKeyPath(path);
  std::string joined;
  for (const std::string& part : parts.parts) {
    if (!joined.empty()) joined += '\\';
    joined += part;
  }
  std::wstring wide;
  if (!ToUtf16(joined, CP_UTF8, MB_ERR_INVALID_CHARS, wide)) {
    ThrowError(ERROR_NO_UNICODE_TRANSLATION);
  }
  if (wide.empty() || wide.find(L'\0') != std::wstring::npos) ThrowError(ERROR_INVALID_NAME);
  HKEY key = nullptr;
  // Creates every missing parent on the way.
  const LSTATUS status =
      RegCreateKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) ThrowError(static_cast<DWORD>(status));
  UserKey result;
  result.key_ = key;
  return result;
}

UserKey::UserKey(UserKey&& other) noexcept : key_(other.key_) {
  other.key_ = nullptr;
}

UserKey& UserKey::operator=(UserKey&& other) noexcept {
  if (this != &other) {
    if (key_ != nullptr) RegCloseKey(Handle(key_));
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

UserKey::~UserKey() {
  if (key_ != nullptr) RegCloseKey(Handle(key_));
}

bool UserKey::isOpen() const noexcept {
  return key_ != nullptr;
}

// The registry matches the names without regard to case, and checks the type: a value of
// another type reads as ERROR_UNSUPPORTED_TYPE.
std::optional<std::string> UserKey::ReadText(const std::string& name) const {
  if (!isOpen()) return std::nullopt;
  const std::optional<std::wstring> wideName = ReadableName(name);
  if (!wideName) return std::nullopt;
  std::wstring text;
  DWORD bytes = 0;
  for (;;) {
    // RegGetValueW adds the terminating NUL a value written without one lacks.
    LSTATUS status =
        RegGetValueW(Handle(key_), nullptr, wideName->c_str(), RRF_RT_REG_SZ | RRF_NOEXPAND,
                     nullptr, text.empty() ? nullptr : text.data(), &bytes);
    if (status == ERROR_SUCCESS && !text.empty()) break;
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return std::nullopt;
    // Asked for the size, or the value grew meanwhile: room for what it holds now.
    text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  }
  // The text ends at its first NUL, as every reader of a REG_SZ value sees it.
  text.resize(std::wstring_view(text.c_str()).size());
  return Narrow(text);
}

std::optional<std::uint32_t> UserKey::ReadNumber(const std::string& name) const {
  if (!isOpen()) return std::nullopt;
  const std::optional<std::wstring> wideName = ReadableName(name);
  if (!wideName) return std::nullopt;
  DWORD number = 0;
  DWORD bytes = sizeof number;
  // REG_DWORD only: RRF_RT_DWORD would also take four bytes of REG_BINARY.
  if (RegGetValueW(Handle(key_), nullptr, wideName->c_str(), RRF_RT_REG_DWORD, nullptr, &number,
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return number;
}

void UserKey::WriteText(const std::string& name, const std::string& value) {
  if (!isOpen()) ThrowError(ERROR_INVALID_HANDLE);
  const std::wstring wideName = StorableText(name);
  const std::wstring text = StorableText(value);
  // With its terminating NUL, as REG_SZ is meant to be stored.
  const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  const LSTATUS status = RegSetValueExW(Handle(key_), wideName.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(text.c_str()), bytes);
  if (status != ERROR_SUCCESS) ThrowError(static_cast<DWORD>(status));
}

void UserKey::WriteNumber(const std::string& name, std::uint32_t value) {
  if (!isOpen()) ThrowError(ERROR_INVALID_HANDLE);
  const std::wstring wideName = StorableText(name);
  const DWORD number = value;
  const LSTATUS status = RegSetValueExW(Handle(key_), wideName.c_str(), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&number), sizeof number);
  if (status != ERROR_SUCCESS) ThrowError(static_cast<DWORD>(status));
}

}  // namespace platform
