#include "Downloads.h"

#include "Platform.h"
#include "http/DownloadPool.h"
#include "http/HttpError.h"

namespace kestrune {

void RemoveDownloadTemporaries(const std::string& path) noexcept {
  platform::RemoveFile(path);
  try {
    platform::RemoveFile(PartialPath(path));
    platform::RemoveFile(ResumeRecordPath(path));
  } catch (...) {
    // Only the names could not be built (out of memory): nothing to remove them by.
  }
}

bool WorthResuming(const std::exception_ptr& error) noexcept {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const HttpError& e) {
    switch (e.kind()) {
      case HttpError::Kind::Transport:
      case HttpError::Kind::ConnectionClosed:
        return true;
      case HttpError::Kind::Protocol:
        return e.status() >= 500 && e.status() <= 599;
      default:
        return false;
    }
  } catch (...) {
  }
  return false;
}

}  // namespace kestrune
