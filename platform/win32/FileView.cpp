#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <limits>

#include "Platform.h"
#include "Win32Error.h"

namespace platform {

FileView FileView::Of(File& file) {
  const std::uint64_t size = file.Size();
  FileView view;
  if (size == 0) return view;
  if (size > std::numeric_limits<SIZE_T>::max()) ThrowError(ERROR_FILE_TOO_LARGE);
  HANDLE mapping = CreateFileMappingW(file.handle_, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) ThrowLastError();
  const void* map = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  const DWORD code = GetLastError();
  // The view keeps the mapping object alive by itself.
  CloseHandle(mapping);
  if (map == nullptr) ThrowError(code);
  view.data_ = static_cast<const std::uint8_t*>(map);
  view.size_ = static_cast<std::size_t>(size);
  return view;
}

void FileView::Release() noexcept {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
