// What both systems' file views share; mapping and unmapping are in posix/ and win32/.

#include <utility>

#include "Platform.h"

namespace platform {

FileView::FileView(FileView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FileView& FileView::operator=(FileView&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

FileView::~FileView() {
  Release();
}

}  // namespace platform
