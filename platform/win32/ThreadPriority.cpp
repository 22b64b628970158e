#include <windows.h>

#include "Platform.h"

namespace platform {

void SetCurrentThreadLowestPriority() {
  // An absolute level: a second call leaves it where the first put it.
  (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

}  // namespace platform
