#include <winsock2.h>

#include "Platform.h"
#include "Win32Error.h"

namespace platform {

std::string SocketErrorText(int code) {
  // Winsock's codes are system error codes: FormatMessage knows their texts.
  return ErrorText(static_cast<DWORD>(code));
}

int SocketTimedOut() {
  return WSAETIMEDOUT;
}

}  // namespace platform
