#include "Platform.h"

namespace platform {

bool LooksLikeExecutable(std::string_view firstBytes) {
  // Every image CreateProcessW starts opens with the DOS header's signature.
  return firstBytes.starts_with("MZ");
}

}  // namespace platform
