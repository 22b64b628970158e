#include "Platform.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace platform {

namespace {

int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(::getpid());
#endif
}

}  // namespace

void ReplaceFileContents(const std::string& path, std::string_view bytes) {
  // Per process, so that two launchers writing the same file never share a temporary one.
  const std::string temporary = path + ".tmp-" + std::to_string(ProcessId());
  try {
    File file = File::Create(temporary);
    file.Write(bytes.data(), bytes.size());
    file.Flush();
    file.Close();
    ReplaceFile(temporary, path);
  } catch (...) {
    RemoveFile(temporary);
    throw;
  }
}

}  // namespace platform
