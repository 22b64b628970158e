#include "Platform.h"

namespace platform {

bool LooksLikeExecutable(std::string_view firstBytes) {
  // What execve runs: an ELF image, or a script naming its interpreter.
  return firstBytes.starts_with(
             "\x7f"
             "ELF") ||
         firstBytes.starts_with("#!");
}

}  // namespace platform
