#include <cerrno>
#include <cstring>

#include "Platform.h"

namespace platform {

std::string SocketErrorText(int code) {
  return std::strerror(code);
}

int SocketTimedOut() {
  return ETIMEDOUT;
}

}  // namespace platform
