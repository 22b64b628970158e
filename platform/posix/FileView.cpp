#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "Platform.h"

namespace platform {

FileView FileView::Of(File& file) {
  const std::uint64_t size = file.Size();
  FileView view;
  if (size == 0) return view;
  if (size > std::numeric_limits<std::size_t>::max()) {
    throw SystemError(std::strerror(EFBIG), EFBIG, std::strerror(EFBIG));
  }
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, file.fd_, 0);
  if (map == MAP_FAILED) {
    const int code = errno;
    throw SystemError(std::strerror(code), code, std::strerror(code));
  }
  view.data_ = static_cast<const std::uint8_t*>(map);
  view.size_ = static_cast<std::size_t>(size);
  return view;
}

void FileView::Release() noexcept {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
